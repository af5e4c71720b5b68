#include "storage/http_client.hpp"

#include "util/startup.hpp"

#include "storage/curl_handles.hpp"

#include <curl/curl.h>

#include <memory>

namespace vorn {
namespace {



size_t appendToString(char* bytes, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(bytes, size * count);
  return size * count;
}

// The optional bearer header; false only when the list cannot be allocated.
bool bearerHeader(const std::string& token, HeaderList* out) {
  if (token.empty()) return true;
  out->reset(curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str()));
  return *out != nullptr;
}

// Runs the prepared transfer and releases the handle and list, list first.
bool finish(CurlHandle handle, HeaderList headers, int32_t* status, std::string* err) {
  const CURLcode code = curl_easy_perform(handle.get());
  long response = 0;
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &response);
  headers.reset();
  handle.reset();
  if (code != CURLE_OK) {
    if (err) *err = std::string("curl: ") + curl_easy_strerror(code);
    return false;
  }
  if (status) *status = static_cast<int32_t>(response);
  return true;
}

}  // namespace

bool httpGet(const std::string& url, std::string* out, int32_t* status, std::string* err,
             const std::string& token) {
  CurlHandle handle(curl_easy_init());
  HeaderList headers;
  if (!handle || !bearerHeader(token, &headers)) {
    if (err) *err = "curl init failed";
    return false;
  }
  std::string scratch;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, out ? out : &scratch);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kTransferBufferBytes);
  return finish(std::move(handle), std::move(headers), status, err);
}

bool httpPost(const std::string& url, const std::string& token, int32_t* status, std::string* err) {
  CurlHandle handle(curl_easy_init());
  HeaderList headers;
  if (!handle || !bearerHeader(token, &headers)) {
    if (err) *err = "curl init failed";
    return false;
  }
  std::string discarded;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &discarded);
  return finish(std::move(handle), std::move(headers), status, err);
}

}  // namespace vorn
