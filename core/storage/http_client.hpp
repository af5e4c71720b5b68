#pragma once
// Unsigned HTTP for URLs rather than store keys: presigned objects, sync
// descriptors, channel registration. Nothing here sees store credentials.

#include <cstdint>
#include <string>

namespace vorn {

// GET url (following redirects), appending the body to *out. True when any
// HTTP answer arrived; the caller judges *status. A non-empty token adds
// "Authorization: Bearer " + token. Errors: "curl init failed", "curl: " + text.
bool httpGet(const std::string& url, std::string* out, int32_t* status, std::string* err,
             const std::string& token);

// An empty POST (no redirects followed); the answer's body is discarded.
bool httpPost(const std::string& url, const std::string& token, int32_t* status, std::string* err);

}  // namespace vorn
