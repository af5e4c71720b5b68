#include "storage/http_client.hpp"

#include "storage/curl_handles.hpp"
#include "storage/http_exchange.hpp"

#include <curl/curl.h>

namespace vorn {
namespace {

// The optional bearer header; false only when the list cannot be allocated.
bool bearerHeader(const std::string& token, HeaderList* out) {
  if (token.empty()) return true;
  out->reset(curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str()));
  return *out != nullptr;
}

bool send(const char* method, bool followRedirects, const TransferSettings& settings,
          const HttpRequest& request, std::string* out, int32_t* status, std::string* err) {
  HeaderList headers;
  if (!bearerHeader(request.token, &headers)) {
    if (err) *err = "curl init failed";
    return false;
  }
  HttpExchange exchange;
  exchange.method = method;
  exchange.url = request.url;
  exchange.headers = headers.get();
  exchange.body = out;
  exchange.followRedirects = followRedirects;
  exchange.label = std::string(method) + " " + urlForMessages(request.url);
  exchange.settings = &settings;
  exchange.received = request.received;
  HttpOutcome outcome;
  if (!performExchange(exchange, &outcome, err)) return false;
  if (status) *status = outcome.status;
  return true;
}

}  // namespace

bool httpGet(const TransferSettings& settings, const HttpRequest& request, std::string* out,
             int32_t* status, std::string* err) {
  std::string scratch;
  return send("GET", true, settings, request, out ? out : &scratch, status, err);
}

bool httpPost(const TransferSettings& settings, const HttpRequest& request, int32_t* status,
              std::string* err) {
  std::string discarded;
  return send("POST", false, settings, request, &discarded, status, err);
}

}  // namespace vorn
