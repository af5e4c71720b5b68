#pragma once
// Owners for libcurl's easy handles and header lists, shared by the S3
// provider and the plain HTTP client (the storage layer's own; not exported).

#include <curl/curl.h>

#include <memory>

namespace vorn {

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// Larger than libcurl's defaults (16 KiB down, 64 KiB up): a chunk-sized body
// then moves in about a hundred blocks instead of a thousand.
constexpr long kTransferBufferBytes = 256 * 1024;

}  // namespace vorn
