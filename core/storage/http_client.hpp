#pragma once
// Unsigned HTTP for URLs rather than store keys: presigned objects, sync
// descriptors, channel registration. Nothing here sees store credentials.

#include "storage/transfer_settings.hpp"

#include <cstdint>
#include <string>

namespace vorn {

struct HttpRequest {
  std::string url;
  std::string token;                // non-empty: "Authorization: Bearer " + token
  ByteCounter* received = nullptr;  // grows by the body bytes as they arrive; may be null
};

// GET the URL (following redirects), appending the body to *out. True when any
// HTTP answer arrived; the caller judges *status. Errors: "curl init failed",
// "curl: " + text and what libcurl knows of the failure, or the time-out line.
bool httpGet(const TransferSettings& settings, const HttpRequest& request, std::string* out,
             int32_t* status, std::string* err);

// An empty POST (no redirects followed); the answer's body is discarded.
bool httpPost(const TransferSettings& settings, const HttpRequest& request, int32_t* status,
              std::string* err);

}  // namespace vorn
