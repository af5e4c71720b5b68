// Presigned sync descriptors: what the maker puts in them, and how strictly
// the parser reads a document that came from outside.

#include "engine/sync_descriptor.hpp"

#include "storage/request_signing.hpp"
#include "util/digest.hpp"

#include "support/engine_fixtures.hpp"
#include "support/memory_store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>

namespace {

using vorn::ChunkUrlMap;
using vorn_test::MemoryStore;

const std::string kManifestKey = "channels/stable/manifest.json";
const vorn::S3Config kConfig{"http://127.0.0.1:9000/", "eu-test-1", "builds", "AKIDTEST", "secret"};

vorn_test::ChunkRef chunk(uint64_t seed) {
  return {vorn::blake3Hex(vorn_test::seededBytes(64, seed)), 10};
}

// A presigned URL without the parts that depend on the clock.
std::string timeless(const std::string& url) {
  static const std::regex volatileParts("(X-Amz-Credential|X-Amz-Date|X-Amz-Signature)=[^&]*");
  return std::regex_replace(url, volatileParts, "$1=");
}

std::string expectedUrl(const std::string& key, int lifetime) {
  return timeless(vorn::presignGet(kConfig, key, lifetime));
}

// Makes a descriptor; returns its text and parsed form.
std::string make(vorn::StorageProvider& store, int lifetime, Json::Value* doc) {
  std::string text, err;
  EXPECT_TRUE(vorn::makeSyncDescriptor(store, kConfig, "stable", lifetime, &text, &err)) << err;
  EXPECT_TRUE(vorn::parseJson(text, doc, &err)) << err;
  return text;
}

TEST(DescriptorMake, NamesEachDistinctChunkOnceAndRoundTrips) {
  MemoryStore store;
  const auto a = chunk(1), b = chunk(2), c = chunk(3);
  Json::Value info = vorn_test::manifestDoc({{a, b, a}, {c, b}}, "stable");
  info["build"] = std::string(64, 'e');
  info["created"] = Json::Int64(1767323045);
  store.objects[kManifestKey] = vorn::writeJsonText(info);

  Json::Value doc;
  const std::string text = make(store, 900, &doc);
  EXPECT_EQ(doc["build"], info["build"]);
  EXPECT_EQ(doc["channel"], info["channel"]);
  EXPECT_EQ(doc["created"], info["created"]);
  EXPECT_EQ(timeless(doc["manifest_url"].asString()), expectedUrl(kManifestKey, 900));
  EXPECT_EQ(timeless(doc["manifest_sig_url"].asString()), expectedUrl(kManifestKey + ".sig", 900));
  EXPECT_EQ(doc["chunks"].size(), 3u);
  for (const auto& ref : {a, b, c}) {
    const std::string url = doc["chunks"][ref.id].asString();
    EXPECT_EQ(timeless(url), expectedUrl(vorn::plainChunkKey(ref.id), 900));
    EXPECT_EQ(url.find("http://127.0.0.1:9000/builds/chunks/" + ref.id.substr(0, 2) + "/" + ref.id +
                       "?"),
              0u)
        << url;
  }
  // Nothing but the manifest is read: the signature URL is made, not probed.
  EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kManifestKey});

  // Two-space indentation, members in key order.
  std::vector<size_t> positions;
  for (const char* member :
       {"build", "channel", "chunks", "created", "manifest_sig_url", "manifest_url"})
    positions.push_back(text.find(std::string("\n  \"") + member + "\" : "));
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()) &&
              positions.back() != std::string::npos)
      << text;

  std::string url, sigUrl, err;
  ChunkUrlMap urls;
  ASSERT_TRUE(vorn::parseSyncDescriptor(text, &url, &sigUrl, &urls, &err)) << err;
  EXPECT_EQ(url, doc["manifest_url"].asString());
  EXPECT_EQ(sigUrl, doc["manifest_sig_url"].asString());
  ASSERT_EQ(urls.size(), 3u);
  for (const auto& ref : {a, b, c}) EXPECT_EQ(urls.at(ref.id), doc["chunks"][ref.id].asString());
}

TEST(DescriptorMake, MissingOrWrongTypedInformationalMembersTakeDefaults) {
  Json::Value wrong = vorn_test::manifestDoc({});
  wrong["build"] = 5;
  wrong["channel"] = Json::Value(Json::arrayValue);
  wrong["created"] = 1.5e9;
  for (const Json::Value& manifest : {vorn_test::manifestDoc({}), wrong}) {
    MemoryStore store;
    store.objects[kManifestKey] = vorn::writeJsonText(manifest);
    Json::Value doc;
    make(store, 60, &doc);
    EXPECT_EQ(doc["build"], Json::Value(""));
    EXPECT_EQ(doc["channel"], Json::Value("stable"));
    EXPECT_EQ(doc["created"], Json::Value(0));
    EXPECT_EQ(doc["chunks"], Json::Value(Json::objectValue));
  }
}

TEST(DescriptorMake, ChunkUrlsAddressTheEncryptedStoresKeyedNames) {
  auto memory = std::make_unique<MemoryStore>();
  MemoryStore* raw = memory.get();
  auto store = vorn::makeEncryptedProvider(std::move(memory), std::string(32, '\x42'));
  const auto a = chunk(7);
  ASSERT_TRUE(store->put(kManifestKey, vorn_test::manifestText({{a}}), nullptr));
  ASSERT_EQ(raw->objects.at(kManifestKey).compare(0, 8, "VORNENC1"), 0);

  Json::Value doc;
  make(*store, 300, &doc);
  EXPECT_EQ(timeless(doc["chunks"][a.id].asString()), expectedUrl(store->chunkKey(a.id), 300));
  EXPECT_EQ(doc["chunks"][a.id].asString().find(a.id), std::string::npos);
  // The manifest URL names the stored (sealed) object under its usual key.
  EXPECT_EQ(timeless(doc["manifest_url"].asString()), expectedUrl(kManifestKey, 300));
}

TEST(DescriptorMake, FailuresLeaveTheOutputAlone) {
  const std::pair<const char*, std::string> rows[] = {
      {nullptr, "GET " + kManifestKey + " -> HTTP 404 "},
      {"{\"files\": [", "manifest parse error: "},
      {"{\"files\": 3}", kManifestKey},
      {"{\"files\": [{\"path\": \"a\", \"size\": 0, \"chunks\": [{\"h\": 1, \"n\": 0}]}]}",
       kManifestKey},
  };
  for (const auto& [stored, expected] : rows) {
    MemoryStore store;
    if (stored) store.objects[kManifestKey] = stored;
    std::string text = "untouched", err;
    EXPECT_FALSE(vorn::makeSyncDescriptor(store, kConfig, "stable", 300, &text, &err));
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_EQ(text, "untouched");
  }
}

TEST(DescriptorParse, MissingMembersReadAsEmptyAndEntriesMerge) {
  std::string url = "old", sigUrl = "old";
  ChunkUrlMap urls{{"a", "old-a"}, {"z", "old-z"}};
  ASSERT_TRUE(vorn::parseSyncDescriptor("{}", &url, &sigUrl, &urls, nullptr));
  EXPECT_EQ(url + sigUrl, "");
  // Unknown members and empty values are accepted; existing entries stay
  // unless overwritten.
  ASSERT_TRUE(vorn::parseSyncDescriptor(
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
      {"{\"chunks\": {\"a\": \"u\", \"bad-id\": 7}}", "bad-id"},
      {"{\"chunks\": {\"bad\\nid\": 7}}", "bad\\nid"},  // the name's line break shown as \n
  };
  for (const auto& [text, expected] : rows) {
    std::string url = "old-url", sigUrl = "old-sig", err;
    ChunkUrlMap urls{{"kept", "u"}};
    EXPECT_FALSE(vorn::parseSyncDescriptor(text, &url, &sigUrl, &urls, &err)) << text;
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(url + sigUrl, "old-urlold-sig");
    EXPECT_EQ(urls, (ChunkUrlMap{{"kept", "u"}}));
    EXPECT_FALSE(vorn::parseSyncDescriptor(text, nullptr, nullptr, &urls, nullptr));
  }
}

}  // namespace
