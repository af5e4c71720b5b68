// Presigned sync descriptors: what the maker puts in them, and how strictly
// the parser reads a document that came from outside.

#include <gtest/gtest.h>

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <memory>
#include <regex>

#include "engine/channel_manifest.hpp"
#include "engine/sync_descriptor.hpp"
#include "storage/request_signing.hpp"
#include "support/memory_store.hpp"
#include "support/test_data.hpp"
#include "util/digest.hpp"

using vorn::ChunkUrlMap;
using vorn::makeSyncDescriptor;
using vorn::parseSyncDescriptor;
using vorn_test::MemoryStore;

namespace {

vorn::S3Config testConfig() {
  vorn::S3Config config;
  config.endpoint = "http://127.0.0.1:9000/";
  config.region = "eu-test-1";
  config.bucket = "builds";
  config.accessKey = "AKIDTEST";
  config.secretKey = "secret";
  return config;
}

std::string idFor(uint64_t seed) { return vorn::blake3Hex(vorn_test::seededBytes(64, seed)); }

std::string writeJson(const Json::Value& doc) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  return Json::writeString(writer, doc);
}

// A manifest whose files name the given ids (each chunk 10 bytes).
Json::Value manifestNaming(const std::vector<std::vector<std::string>>& files) {
  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < files.size(); ++i) {
    Json::Value file(Json::objectValue);
    file["path"] = "file" + std::to_string(i);
    file["size"] = Json::UInt64(10 * files[i].size());
    file["chunks"] = Json::Value(Json::arrayValue);
    for (const std::string& id : files[i]) {
      Json::Value ref(Json::objectValue);
      ref["h"] = id;
      ref["n"] = 10;
      file["chunks"].append(ref);
    }
    doc["files"].append(file);
  }
  return doc;
}

// A presigned URL without the parts that depend on the clock, so URLs made a
// moment apart compare equal when they address the same key and lifetime.
std::string timeless(const std::string& url) {
  static const std::regex volatileParts("(X-Amz-Credential|X-Amz-Date|X-Amz-Signature)=[^&]*");
  return std::regex_replace(url, volatileParts, "$1=");
}

Json::Value parsed(const std::string& text) {
  Json::Value doc;
  std::string err;
  EXPECT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
  return doc;
}

const char kManifestKey[] = "channels/stable/manifest.json";

}  // namespace

TEST(DescriptorMake, NamesEachDistinctChunkOnceWithAUrlForItsObject) {
  MemoryStore store;
  const std::string a = idFor(1), b = idFor(2), c = idFor(3);
  Json::Value manifest = manifestNaming({{a, b, a}, {c, b}});
  manifest["build"] = std::string(64, 'e');
  manifest["channel"] = "stable";
  manifest["created"] = Json::Int64(1767323045);
  store.objects[kManifestKey] = writeJson(manifest);

  std::string text, err;
  ASSERT_TRUE(makeSyncDescriptor(store, testConfig(), "stable", 900, &text, &err)) << err;
  const Json::Value doc = parsed(text);
  ASSERT_TRUE(doc.isObject());
  EXPECT_EQ(doc["build"].asString(), std::string(64, 'e'));
  EXPECT_EQ(doc["channel"].asString(), "stable");
  EXPECT_TRUE(doc["created"].isIntegral());
  EXPECT_EQ(doc["created"].asInt64(), 1767323045);

  const vorn::S3Config config = testConfig();
  EXPECT_EQ(timeless(doc["manifest_url"].asString()),
            timeless(vorn::presignGet(config, kManifestKey, 900)));
  EXPECT_EQ(timeless(doc["manifest_sig_url"].asString()),
            timeless(vorn::presignGet(config, std::string(kManifestKey) + ".sig", 900)));
  ASSERT_TRUE(doc["chunks"].isObject());
  EXPECT_EQ(doc["chunks"].size(), 3u);
  for (const std::string& id : {a, b, c}) {
    const std::string url = doc["chunks"][id].asString();
    EXPECT_EQ(timeless(url), timeless(vorn::presignGet(config, vorn::plainChunkKey(id), 900)));
    EXPECT_NE(url.find("http://127.0.0.1:9000/builds/chunks/" + id.substr(0, 2) + "/" + id + "?"),
              std::string::npos)
        << url;
    EXPECT_NE(url.find("&X-Amz-Expires=900&"), std::string::npos) << url;
  }
  // Nothing but the manifest is read: the signature URL is made, not probed.
  EXPECT_EQ(store.calls, std::vector<std::string>{std::string("get ") + kManifestKey});
}

TEST(DescriptorMake, TextIsIndentedWithMembersInKeyOrder) {
  MemoryStore store;
  store.objects[kManifestKey] = writeJson(manifestNaming({{idFor(1)}}));
  std::string text;
  ASSERT_TRUE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, nullptr));
  std::vector<size_t> positions;
  for (const char* member : {"\"build\"", "\"channel\"", "\"chunks\"", "\"created\"",
                             "\"manifest_sig_url\"", "\"manifest_url\""}) {
    positions.push_back(text.find(std::string("\n  ") + member + " : "));
    EXPECT_NE(positions.back(), std::string::npos) << member << "\n" << text;
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << text;
  EXPECT_EQ(text.find("\n\t"), std::string::npos);
}

TEST(DescriptorMake, MissingInformationalMembersTakeTheirDefaults) {
  MemoryStore store;
  store.objects[kManifestKey] = writeJson(manifestNaming({}));
  std::string text;
  ASSERT_TRUE(makeSyncDescriptor(store, testConfig(), "stable", 60, &text, nullptr));
  const Json::Value doc = parsed(text);
  EXPECT_EQ(doc["build"], Json::Value(""));
  EXPECT_EQ(doc["channel"], Json::Value("stable"));
  EXPECT_EQ(doc["created"], Json::Value(0));
  EXPECT_TRUE(doc["chunks"].isObject());
  EXPECT_EQ(doc["chunks"].size(), 0u);

  // A manifest with no files gives a descriptor that parses to no chunk URLs.
  std::string url;
  ChunkUrlMap urls;
  ASSERT_TRUE(parseSyncDescriptor(text, &url, nullptr, &urls, nullptr));
  EXPECT_TRUE(urls.empty());
  EXPECT_FALSE(url.empty());
}

TEST(DescriptorMake, ChunkUrlsAddressTheEncryptedStoresKeyedNames) {
  auto memory = std::make_unique<MemoryStore>();
  MemoryStore* raw = memory.get();
  auto store = vorn::makeEncryptedProvider(std::move(memory), std::string(32, '\x42'));
  const std::string a = idFor(7);
  ASSERT_TRUE(store->put(kManifestKey, writeJson(manifestNaming({{a}})), nullptr));
  ASSERT_EQ(raw->objects.at(kManifestKey).compare(0, 8, "VORNENC1"), 0);

  std::string text, err;
  ASSERT_TRUE(makeSyncDescriptor(*store, testConfig(), "stable", 300, &text, &err)) << err;
  const Json::Value doc = parsed(text);
  const vorn::S3Config config = testConfig();
  const std::string keyed = store->chunkKey(a);
  EXPECT_EQ(timeless(doc["chunks"][a].asString()), timeless(vorn::presignGet(config, keyed, 300)));
  EXPECT_EQ(doc["chunks"][a].asString().find(a), std::string::npos);
  // The manifest URL names the stored (sealed) object under its usual key.
  EXPECT_EQ(timeless(doc["manifest_url"].asString()),
            timeless(vorn::presignGet(config, kManifestKey, 300)));
}

TEST(DescriptorMake, FailuresLeaveTheOutputAlone) {
  MemoryStore store;
  std::string text = "untouched", err;
  EXPECT_FALSE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, &err));
  EXPECT_EQ(err, std::string("GET ") + kManifestKey + " -> HTTP 404 ");
  EXPECT_EQ(text, "untouched");

  store.objects[kManifestKey] = "{\"files\": [";
  EXPECT_FALSE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, &err));
  EXPECT_EQ(err.rfind("manifest parse error: ", 0), 0u) << err;
  EXPECT_EQ(text, "untouched");

  for (const char* shape : {"[]", "\"x\"", "{\"files\": 3}",
                            "{\"files\": [{\"path\": \"a\", \"size\": 0, \"chunks\": [{\"h\": 1, "
                            "\"n\": 0}]}]}"}) {
    store.objects[kManifestKey] = shape;
    err.clear();
    EXPECT_FALSE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, &err)) << shape;
    EXPECT_NE(err.find(kManifestKey), std::string::npos) << shape << ": " << err;
    EXPECT_EQ(text, "untouched");
  }
}

TEST(DescriptorMake, MembersOfTheWrongTypeAreNotCopied) {
  MemoryStore store;
  Json::Value manifest = manifestNaming({});
  manifest["build"] = 5;
  manifest["channel"] = Json::Value(Json::arrayValue);
  manifest["created"] = 1.5e9;
  store.objects[kManifestKey] = writeJson(manifest);
  std::string text;
  ASSERT_TRUE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, nullptr));
  const Json::Value doc = parsed(text);
  EXPECT_EQ(doc["build"], Json::Value(""));
  EXPECT_EQ(doc["channel"], Json::Value("stable"));
  EXPECT_EQ(doc["created"], Json::Value(0));
}

TEST(DescriptorParse, RoundTripsWhatTheMakerWrote) {
  MemoryStore store;
  const std::string a = idFor(1), b = idFor(2);
  store.objects[kManifestKey] = writeJson(manifestNaming({{a}, {b}}));
  std::string text;
  ASSERT_TRUE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, nullptr));
  const Json::Value doc = parsed(text);

  std::string url, sigUrl, err;
  ChunkUrlMap urls;
  ASSERT_TRUE(parseSyncDescriptor(text, &url, &sigUrl, &urls, &err)) << err;
  EXPECT_EQ(url, doc["manifest_url"].asString());
  EXPECT_EQ(sigUrl, doc["manifest_sig_url"].asString());
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls.at(a), doc["chunks"][a].asString());
  EXPECT_EQ(urls.at(b), doc["chunks"][b].asString());
}

TEST(DescriptorParse, MissingMembersReadAsEmpty) {
  std::string url = "old", sigUrl = "old";
  ChunkUrlMap urls{{"kept", "u"}};
  ASSERT_TRUE(parseSyncDescriptor("{}", &url, &sigUrl, &urls, nullptr));
  EXPECT_EQ(url, "");
  EXPECT_EQ(sigUrl, "");
  EXPECT_EQ(urls, (ChunkUrlMap{{"kept", "u"}}));

  ASSERT_TRUE(parseSyncDescriptor("{\"manifest_url\": \"m\", \"chunks\": {}}", &url, &sigUrl, &urls,
                                  nullptr));
  EXPECT_EQ(url, "m");
  EXPECT_EQ(sigUrl, "");
}

TEST(DescriptorParse, EntriesAlreadyInTheMapStayUnlessOverwritten) {
  ChunkUrlMap urls{{"a", "old-a"}, {"z", "old-z"}};
  ASSERT_TRUE(parseSyncDescriptor("{\"chunks\": {\"a\": \"new-a\", \"b\": \"new-b\"}}", nullptr,
                                  nullptr, &urls, nullptr));
  EXPECT_EQ(urls, (ChunkUrlMap{{"a", "new-a"}, {"b", "new-b"}, {"z", "old-z"}}));
}

TEST(DescriptorParse, UnknownMembersAndEmptyValuesAreAccepted) {
  std::string url = "old";
  ChunkUrlMap urls;
  ASSERT_TRUE(parseSyncDescriptor(
      "{\"manifest_url\": \"\", \"build\": 5, \"extra\": [1], \"chunks\": {\"x\": \"\"}}", &url,
      nullptr, &urls, nullptr));
  EXPECT_EQ(url, "");
  EXPECT_EQ(urls, (ChunkUrlMap{{"x", ""}}));
}

TEST(DescriptorParse, InvalidJsonFailsWithTheParseMessage) {
  std::string err;
  ChunkUrlMap urls;
  EXPECT_FALSE(parseSyncDescriptor("{\"chunks\": ", nullptr, nullptr, &urls, &err));
  EXPECT_EQ(err.rfind("manifest parse error: ", 0), 0u) << err;
}

class DescriptorWrongShape : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
};

TEST_P(DescriptorWrongShape, IsRefusedAndChangesNoOutput) {
  std::string url = "old-url", sigUrl = "old-sig", err;
  ChunkUrlMap urls{{"kept", "u"}};
  EXPECT_FALSE(parseSyncDescriptor(GetParam().first, &url, &sigUrl, &urls, &err));
  EXPECT_NE(err.find(GetParam().second), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  EXPECT_EQ(url, "old-url");
  EXPECT_EQ(sigUrl, "old-sig");
  EXPECT_EQ(urls, (ChunkUrlMap{{"kept", "u"}}));
  // The same refusal when the caller wants no URLs back.
  EXPECT_FALSE(parseSyncDescriptor(GetParam().first, nullptr, nullptr, &urls, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DescriptorWrongShape,
    ::testing::Values(std::make_pair("[\"http://x\"]", "not a JSON object"),
                      std::make_pair("\"http://x\"", "not a JSON object"),
                      std::make_pair("null", "not a JSON object"),
                      std::make_pair("{\"manifest_url\": 5}", "\"manifest_url\""),
                      std::make_pair("{\"manifest_url\": {\"u\": \"v\"}}", "\"manifest_url\""),
                      std::make_pair("{\"manifest_url\": \"m\", \"manifest_sig_url\": null}",
                                     "\"manifest_sig_url\""),
                      std::make_pair("{\"chunks\": [\"http://x\"]}", "\"chunks\""),
                      std::make_pair("{\"chunks\": \"http://x\"}", "\"chunks\""),
                      std::make_pair("{\"chunks\": {\"a\": \"u\", \"bad-id\": 7}}", "bad-id"),
                      std::make_pair("{\"chunks\": {\"bad-id\": [\"u\"]}}", "bad-id")));
