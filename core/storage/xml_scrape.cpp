#include "storage/xml_scrape.hpp"

#include <cstdlib>

namespace vorn {

std::string extractTag(const std::string& body, const std::string& tag, size_t from,
                       size_t* endOut) {
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  *endOut = std::string::npos;
  if (from > body.size()) return std::string();
  const size_t start = body.find(open, from);
  if (start == std::string::npos) return std::string();
  const size_t textStart = start + open.size();
  const size_t stop = body.find(close, textStart);
  if (stop == std::string::npos) return std::string();
  *endOut = stop + close.size();
  return body.substr(textStart, stop - textStart);
}

size_t scanListPage(const std::string& body, std::vector<ObjectEntry>* out) {
  size_t appended = 0;
  size_t pos = 0;
  for (;;) {
    size_t keyEnd = 0;
    std::string key = extractTag(body, "Key", pos, &keyEnd);
    if (keyEnd == std::string::npos) break;
    size_t sizeEnd = 0;
    const std::string sizeText = extractTag(body, "Size", keyEnd, &sizeEnd);
    // strtoll semantics: leading digits only, 0 when there are none.
    const int64_t size = sizeText.empty() ? 0 : std::strtoll(sizeText.c_str(), nullptr, 10);
    out->push_back(ObjectEntry{std::move(key), size});
    ++appended;
    pos = sizeEnd == std::string::npos ? keyEnd : sizeEnd;
  }
  return appended;
}

std::string nextContinuationToken(const std::string& body) {
  size_t end = 0;
  if (extractTag(body, "IsTruncated", 0, &end) != "true") return std::string();
  return extractTag(body, "NextContinuationToken", 0, &end);
}

}  // namespace vorn
