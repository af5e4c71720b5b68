// Presigned sync descriptors: what the maker puts in them, and how strictly
// the parser reads a document that came from outside.

#include <gtest/gtest.h>

#include <json/value.h>

#include <algorithm>
#include <memory>
#include <regex>

#include "chunking/manifest.hpp"
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

const std::string kManifestKey = "channels/stable/manifest.json";

vorn::S3Config testConfig() {
  return vorn::S3Config{"http://127.0.0.1:9000/", "eu-test-1", "builds", "AKIDTEST", "secret"};
}

std::string idFor(uint64_t seed) { return vorn::blake3Hex(vorn_test::seededBytes(64, seed)); }

// A manifest text whose files name the given ids (each chunk 10 bytes).
std::string manifestNaming(const std::vector<std::vector<std::string>>& files,
                           const Json::Value& extra = Json::Value(Json::objectValue)) {
  Json::Value doc = extra;
  doc["schema"] = 1;
  doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < files.size(); ++i) {
    Json::Value& file = doc["files"][Json::ArrayIndex(i)];
    file["path"] = "file" + std::to_string(i);
    file["size"] = Json::UInt64(10 * files[i].size());
    file["chunks"] = Json::Value(Json::arrayValue);
    for (const std::string& id : files[i]) {
      Json::Value ref(Json::objectValue);
      ref["h"] = id;
      ref["n"] = 10;
      file["chunks"].append(ref);
    }
  }
  return vorn::writeJsonText(doc);
}

// A presigned URL without the parts that depend on the clock.
std::string timeless(const std::string& url) {
  static const std::regex volatileParts("(X-Amz-Credential|X-Amz-Date|X-Amz-Signature)=[^&]*");
  return std::regex_replace(url, volatileParts, "$1=");
}

std::string expectedUrl(const std::string& key, int lifetime) {
  return timeless(vorn::presignGet(testConfig(), key, lifetime));
}

// Makes a descriptor; returns its text ("" and a test failure if it fails).
std::string make(vorn::StorageProvider& store, int lifetime) {
  std::string text, err;
  EXPECT_TRUE(makeSyncDescriptor(store, testConfig(), "stable", lifetime, &text, &err)) << err;
  return text;
}

Json::Value parsed(const std::string& text) {
  Json::Value doc;
  std::string err;
  EXPECT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
  return doc;
}

}  // namespace

TEST(DescriptorMake, NamesEachDistinctChunkOnceAndRoundTrips) {
  MemoryStore store;
  const std::string a = idFor(1), b = idFor(2), c = idFor(3);
  Json::Value info(Json::objectValue);
  info["build"] = std::string(64, 'e');
  info["channel"] = "stable";
  info["created"] = Json::Int64(1767323045);
  store.objects[kManifestKey] = manifestNaming({{a, b, a}, {c, b}}, info);

  const std::string text = make(store, 900);
  const Json::Value doc = parsed(text);
  EXPECT_EQ(doc["build"], info["build"]);
  EXPECT_EQ(doc["channel"], info["channel"]);
  EXPECT_TRUE(doc["created"].isIntegral());
  EXPECT_EQ(doc["created"].asInt64(), 1767323045);
  EXPECT_EQ(timeless(doc["manifest_url"].asString()), expectedUrl(kManifestKey, 900));
  EXPECT_EQ(timeless(doc["manifest_sig_url"].asString()), expectedUrl(kManifestKey + ".sig", 900));
  ASSERT_TRUE(doc["chunks"].isObject());
  EXPECT_EQ(doc["chunks"].size(), 3u);
  for (const std::string& id : {a, b, c}) {
    const std::string url = doc["chunks"][id].asString();
    EXPECT_EQ(timeless(url), expectedUrl(vorn::plainChunkKey(id), 900));
    EXPECT_EQ(url.find("http://127.0.0.1:9000/builds/chunks/" + id.substr(0, 2) + "/" + id + "?"),
              0u)
        << url;
  }
  // Nothing but the manifest is read: the signature URL is made, not probed.
  EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kManifestKey});

  // Two-space indentation, members in key order.
  std::vector<size_t> positions;
  for (const char* member : {"\"build\"", "\"channel\"", "\"chunks\"", "\"created\"",
                             "\"manifest_sig_url\"", "\"manifest_url\""}) {
    positions.push_back(text.find(std::string("\n  ") + member + " : "));
    EXPECT_NE(positions.back(), std::string::npos) << member << "\n" << text;
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << text;

  std::string url, sigUrl, err;
  ChunkUrlMap urls;
  ASSERT_TRUE(parseSyncDescriptor(text, &url, &sigUrl, &urls, &err)) << err;
  EXPECT_EQ(url, doc["manifest_url"].asString());
  EXPECT_EQ(sigUrl, doc["manifest_sig_url"].asString());
  ASSERT_EQ(urls.size(), 3u);
  for (const std::string& id : {a, b, c}) EXPECT_EQ(urls.at(id), doc["chunks"][id].asString());
}

TEST(DescriptorMake, MissingOrWrongTypedInformationalMembersTakeDefaults) {
  Json::Value wrong(Json::objectValue);
  wrong["build"] = 5;
  wrong["channel"] = Json::Value(Json::arrayValue);
  wrong["created"] = 1.5e9;
  for (const Json::Value& info : {Json::Value(Json::objectValue), wrong}) {
    MemoryStore store;
    store.objects[kManifestKey] = manifestNaming({}, info);
    const Json::Value doc = parsed(make(store, 60));
    EXPECT_EQ(doc["build"], Json::Value(""));
    EXPECT_EQ(doc["channel"], Json::Value("stable"));
    EXPECT_EQ(doc["created"], Json::Value(0));
    EXPECT_TRUE(doc["chunks"].isObject());
    EXPECT_EQ(doc["chunks"].size(), 0u);
  }
}

TEST(DescriptorMake, ChunkUrlsAddressTheEncryptedStoresKeyedNames) {
  auto memory = std::make_unique<MemoryStore>();
  MemoryStore* raw = memory.get();
  auto store = vorn::makeEncryptedProvider(std::move(memory), std::string(32, '\x42'));
  const std::string a = idFor(7);
  ASSERT_TRUE(store->put(kManifestKey, manifestNaming({{a}}), nullptr));
  ASSERT_EQ(raw->objects.at(kManifestKey).compare(0, 8, "VORNENC1"), 0);

  const Json::Value doc = parsed(make(*store, 300));
  EXPECT_EQ(timeless(doc["chunks"][a].asString()), expectedUrl(store->chunkKey(a), 300));
  EXPECT_EQ(doc["chunks"][a].asString().find(a), std::string::npos);
  // The manifest URL names the stored (sealed) object under its usual key.
  EXPECT_EQ(timeless(doc["manifest_url"].asString()), expectedUrl(kManifestKey, 300));
}

TEST(DescriptorMake, FailuresLeaveTheOutputAlone) {
  const std::pair<const char*, std::string> rows[] = {
      {nullptr, "GET " + kManifestKey + " -> HTTP 404 "},
      {"{\"files\": [", "manifest parse error: "},
      {"[]", kManifestKey},
      {"{\"files\": 3}", kManifestKey},
      {"{\"files\": [{\"path\": \"a\", \"size\": 0, \"chunks\": [{\"h\": 1, \"n\": 0}]}]}",
       kManifestKey},
  };
  for (const auto& [stored, expected] : rows) {
    MemoryStore store;
    if (stored) store.objects[kManifestKey] = stored;
    std::string text = "untouched", err;
    EXPECT_FALSE(makeSyncDescriptor(store, testConfig(), "stable", 300, &text, &err));
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_EQ(text, "untouched");
  }
}

TEST(DescriptorParse, MissingMembersReadAsEmptyAndEntriesMerge) {
  std::string url = "old", sigUrl = "old";
  ChunkUrlMap urls{{"a", "old-a"}, {"z", "old-z"}};
  ASSERT_TRUE(parseSyncDescriptor("{}", &url, &sigUrl, &urls, nullptr));
  EXPECT_EQ(url, "");
  EXPECT_EQ(sigUrl, "");
  EXPECT_EQ(urls, (ChunkUrlMap{{"a", "old-a"}, {"z", "old-z"}}));
  // Unknown members and empty values are accepted; existing entries stay
  // unless overwritten.
  ASSERT_TRUE(parseSyncDescriptor(
      "{\"manifest_url\": \"m\", \"build\": 5, \"chunks\": {\"a\": \"new-a\", \"b\": \"\"}}", &url,
      nullptr, &urls, nullptr));
  EXPECT_EQ(url, "m");
  EXPECT_EQ(urls, (ChunkUrlMap{{"a", "new-a"}, {"b", ""}, {"z", "old-z"}}));
}

TEST(DescriptorParse, WrongShapesAreRefusedAndChangeNoOutput) {
  const std::pair<const char*, const char*> rows[] = {
      {"{\"chunks\": ", "manifest parse error: "},
      {"[\"http://x\"]", "not a JSON object"},
      {"null", "not a JSON object"},
      {"{\"manifest_url\": 5}", "\"manifest_url\""},
      {"{\"manifest_url\": \"m\", \"manifest_sig_url\": null}", "\"manifest_sig_url\""},
      {"{\"chunks\": [\"http://x\"]}", "\"chunks\""},
      {"{\"chunks\": \"http://x\"}", "\"chunks\""},
      {"{\"chunks\": {\"a\": \"u\", \"bad-id\": 7}}", "bad-id"},
  };
  for (const auto& [text, expected] : rows) {
    std::string url = "old-url", sigUrl = "old-sig", err;
    ChunkUrlMap urls{{"kept", "u"}};
    EXPECT_FALSE(parseSyncDescriptor(text, &url, &sigUrl, &urls, &err)) << text;
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(url, "old-url");
    EXPECT_EQ(sigUrl, "old-sig");
    EXPECT_EQ(urls, (ChunkUrlMap{{"kept", "u"}}));
    EXPECT_FALSE(parseSyncDescriptor(text, nullptr, nullptr, &urls, nullptr));
  }
}
