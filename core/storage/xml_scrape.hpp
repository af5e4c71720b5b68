#pragma once
// Minimal scraping of the few values the store's XML answers carry. No parser:
// texts are returned verbatim (no entity decoding, no trimming, no CDATA).

#include "storage/storage_provider.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// Text between the first "<tag>" at or after from and the next "</tag>";
// *endOut is set just past "</tag>". Not found: returns "" and sets *endOut
// to std::string::npos. Elements with attributes are not matched.
std::string extractTag(const std::string& body, const std::string& tag, size_t from,
                       size_t* endOut);

// Appends one entry per Key element of a ListObjectsV2 page, each with the
// Size element that follows it (0 when none) and the LastModified element of
// its Contents element (-1 when none, or not a time parseIsoTime reads).
// Returns the number appended.
size_t scanListPage(const std::string& body, std::vector<ObjectEntry>* out);

// "YYYY-MM-DDTHH:MM:SS" with optional fractional seconds and a final "Z", as
// seconds since 1970 (fractions dropped); -1 for any other text.
int64_t parseIsoTime(const std::string& text);

// The page's NextContinuationToken when IsTruncated is exactly "true", else "".
std::string nextContinuationToken(const std::string& body);

}  // namespace vorn
