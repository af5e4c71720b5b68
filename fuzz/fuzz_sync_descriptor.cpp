// Sync descriptor text, as sync and verify read it from a file or a URL.

#include "fuzz_support.hpp"

#include "engine/channel_manifest.hpp"
#include "engine/sync_descriptor.hpp"

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const char kKeptId[] = "kept-entry";

// The string member, or "" when absent.
std::string urlMember(const Json::Value& doc, const char* name) {
  const Json::Value& value = doc[name];
  return value.isString() ? value.asString() : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vorn::ChannelSource source;
  source.manifestUrl = "before";
  source.manifestSigUrl = "before";
  source.chunkUrls = {{kKeptId, "before"}};
  std::string err;
  const bool ok = vorn::parseSyncDescriptor(text, &source, &err);
  const std::string& manifestUrl = source.manifestUrl;
  const std::string& sigUrl = source.manifestSigUrl;
  const vorn::ChunkUrlMap& urls = source.chunkUrls;

  if (!ok) {
    // A refused descriptor changes none of the outputs.
    FUZZ_CHECK(!err.empty() && err.find('\n') == std::string::npos);
    FUZZ_CHECK(manifestUrl == "before" && sigUrl == "before");
    FUZZ_CHECK(urls.size() == 1 && urls.begin()->first == kKeptId &&
               urls.begin()->second == "before");
    return 0;
  }

  Json::Value doc;
  FUZZ_CHECK(vorn::parseJson(text, &doc, nullptr));
  const Json::Value& read = doc;  // const lookups add no members
  FUZZ_CHECK(read.isObject());
  FUZZ_CHECK(manifestUrl == urlMember(read, "manifest_url"));
  FUZZ_CHECK(sigUrl == urlMember(read, "manifest_sig_url"));
  const Json::Value& chunks = read["chunks"];
  FUZZ_CHECK(chunks.isNull() || chunks.isObject());
  size_t expected = 1;
  for (auto it = chunks.begin(); it != chunks.end(); ++it) {
    auto found = urls.find(it.name());
    FUZZ_CHECK(found != urls.end() && found->second == it->asString());
    if (it.name() != kKeptId) ++expected;
  }
  FUZZ_CHECK(urls.size() == expected);
  return 0;
}
