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

bool request(const char* method, const std::string& url, std::string* out, int32_t* status,
             std::string* err, const std::string& token, bool followRedirects) {
  HeaderList headers;
  if (!bearerHeader(token, &headers)) {
    if (err) *err = "curl init failed";
    return false;
  }
  std::string discarded;
  HttpExchange exchange;
  exchange.method = method;
  exchange.url = url;
  exchange.headers = headers.get();
  exchange.body = out ? out : &discarded;
  exchange.followRedirects = followRedirects;
  exchange.label = std::string(method) + " " + urlForMessages(url);
  HttpOutcome outcome;
  if (!performExchange(exchange, &outcome, err)) return false;
  if (status) *status = outcome.status;
  return true;
}

}  // namespace

bool httpGet(const std::string& url, std::string* out, int32_t* status, std::string* err,
             const std::string& token) {
  return request("GET", url, out, status, err, token, true);
}

bool httpPost(const std::string& url, const std::string& token, int32_t* status, std::string* err) {
  return request("POST", url, nullptr, status, err, token, false);
}

}  // namespace vorn
