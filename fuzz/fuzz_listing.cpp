// A store's ListObjectsV2 answer, as the S3 provider scrapes it. The first
// input byte also picks a tag and a start offset for extractTag.

#include "fuzz_support.hpp"

#include "storage/xml_scrape.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const char* const kTags[] = {"Key", "Size", "IsTruncated", "NextContinuationToken", "Contents", ""};

void checkExtract(const std::string& body, const std::string& tag, size_t from) {
  size_t end = 0;
  const std::string text = vorn::extractTag(body, tag, from, &end);
  if (end == std::string::npos) {
    FUZZ_CHECK(text.empty());
    return;
  }
  // The text sits between an opening tag at or after from and the closing tag just before end.
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  FUZZ_CHECK(end <= body.size() && end >= from + open.size() + text.size() + close.size());
  const size_t textStart = end - close.size() - text.size();
  FUZZ_CHECK(body.compare(end - close.size(), close.size(), close) == 0);
  FUZZ_CHECK(body.compare(textStart, text.size(), text) == 0);
  FUZZ_CHECK(body.compare(textStart - open.size(), open.size(), open) == 0);
  FUZZ_CHECK(text.find(close) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);

  std::vector<vorn::ObjectEntry> entries{{"already there", 7}};
  const size_t appended = vorn::scanListPage(body, &entries);
  FUZZ_CHECK(entries.size() == appended + 1);
  FUZZ_CHECK(entries[0].key == "already there" && entries[0].size == 7);
  size_t from = 0;
  for (size_t i = 1; i < entries.size(); ++i) {
    // Keys come back verbatim and in page order.
    const size_t at = body.find("<Key>" + entries[i].key + "</Key>", from);
    FUZZ_CHECK(at != std::string::npos);
    from = at + 1;
  }

  const std::string token = vorn::nextContinuationToken(body);
  if (!token.empty()) {
    FUZZ_CHECK(body.find("<IsTruncated>true</IsTruncated>") != std::string::npos);
    FUZZ_CHECK(body.find("<NextContinuationToken>" + token + "</NextContinuationToken>") !=
               std::string::npos);
  }

  if (size > 0) {
    const std::string tag = kTags[data[0] % (sizeof kTags / sizeof kTags[0])];
    checkExtract(body, tag, 0);
    checkExtract(body, tag, static_cast<size_t>(data[0]) * 4);
    checkExtract(body, tag, std::string::npos);
  }
  return 0;
}
