// Channel manifests in the store: JSON parsing, the fetch with its signature
// policy and schema and channel checks, and channel deletion.

#include "engine/channel_manifest.hpp"

#include "engine/signing.hpp"

#include "support/http_stub.hpp"
#include "support/memory_store.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using vorn_test::MemoryStore;

const std::string kManifest =
    "{\n  \"build\" : \"b1\",\n  \"channel\" : \"stable\",\n  \"files\" : [],\n  \"schema\" : 1\n}";
const std::string kKey = "channels/stable/manifest.json";
const std::string kUnsigned = "channel 'stable' has no signature but verification is required";

vorn::SigningKeyPair keyPair() {
  vorn::SigningKeyPair pair;
  EXPECT_TRUE(vorn::generateSigningKeyPair(&pair, nullptr));
  return pair;
}

std::string signatureOf(const vorn::SigningKeyPair& pair, const std::string& text) {
  std::string signature;
  EXPECT_TRUE(vorn::signManifest(pair.secretHex, text, &signature, nullptr));
  return signature;
}

MemoryStore storeWith(const std::map<std::string, std::string>& objects) {
  MemoryStore store;
  for (const auto& [key, text] : objects) store.objects[key] = text;
  return store;
}

// Runs a fetch; returns the error text ("" on success). A failure must leave
// the output document as it was.
std::string fetchError(MemoryStore& store, const std::string& manifestUrl = "",
                       const std::string& verifyKey = "", const std::string& sigUrl = "") {
  Json::Value doc = "untouched";
  std::string err;
  const bool ok =
      vorn::fetchChannelManifest(store, "stable", manifestUrl, verifyKey, sigUrl, &doc, &err);
  EXPECT_EQ(ok, err.empty()) << err;
  EXPECT_EQ(ok, doc.isObject());
  if (!ok) {
    EXPECT_EQ(doc.asString(), "untouched");
  }
  return ok ? "" : err;
}

TEST(ParseJson, ParsesDocumentsAndReportsErrorsOnOneLine) {
  EXPECT_EQ(vorn::channelManifestKey("team/win64"), "channels/team/win64/manifest.json");
  Json::Value doc;
  std::string err;
  // Brackets inside strings are not nesting; moderate nesting is fine.
  ASSERT_TRUE(vorn::parseJson("{\"a\":\"" + std::string(5000, '[') + "\"}", &doc, &err)) << err;
  ASSERT_TRUE(vorn::parseJson(std::string(100, '[') + std::string(100, ']'), &doc, &err)) << err;
  for (const std::string& text : {std::string(), std::string("{\"a\":"),
                                  std::string("{\"a\":\"\\x\"}"), std::string(100000, '[')}) {
    Json::Value untouched = "keep";
    EXPECT_FALSE(vorn::parseJson(text, &untouched, &err)) << text.substr(0, 20);
    EXPECT_EQ(err.rfind("manifest parse error: ", 0), 0u) << err;
    EXPECT_GT(err.size(), std::string("manifest parse error: ").size());
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(untouched.asString(), "keep");
  }
}

TEST(FetchFromStore, SchemaAndChannelRules) {
  const std::string schema = "unsupported manifest schema";
  const std::string notString =
      "manifest is not for channel 'stable' (its channel member is not a string)";
  const std::pair<std::string, std::string> rows[] = {
      {"{\"schema\":1,\"channel\":\"stable\",\"extra\":[1]}", ""},
      {"{\"schema\":1,\"files\":[]}", ""},  // no channel: accepted anywhere
      {"{\"schema\":2}", schema},
      {"{}", schema},
      {"{\"schema\":\"1\"}", schema},
      {"{\"schema\":1.5}", schema},
      {"[1]", schema},
      {"{\"schema\":1,\"channel\":\"Stable\"}", "manifest is for channel 'Stable', not 'stable'"},
      // A line break in the document's text stays out of the one-line error.
      {"{\"schema\":1,\"channel\":\"a\\nb\\r\"}",
       "manifest is for channel 'a\\nb\\r', not 'stable'"},
      {"{\"schema\":1,\"channel\":null}", notString},
  };
  for (const auto& [text, expected] : rows) {
    MemoryStore store = storeWith({{kKey, text}});
    EXPECT_EQ(fetchError(store), expected) << text;
  }
  MemoryStore empty;
  EXPECT_EQ(fetchError(empty), "GET " + kKey + " -> HTTP 404 ");
}

TEST(FetchSignatures, EveryRowOfThePolicy) {
  const vorn::SigningKeyPair pair = keyPair();
  const std::string good = signatureOf(pair, kManifest);
  const struct {
    const char* name;
    std::string manifest, signature, key, expected;  // signature "": no object
  } rows[] = {
      {"valid", kManifest, good, pair.publicHex, ""},
      {"no key: never read", kManifest, "garbage", "", ""},
      {"missing", kManifest, "", pair.publicHex, kUnsigned},
      {"malformed", kManifest, "zz", pair.publicHex, "bad signature"},
      {"other key", kManifest, good, keyPair().publicHex, "signature does not verify"},
      {"bad public key", kManifest, good, "abc", "bad public key"},
      // Verified before it is parsed: a tampered document is never interpreted.
      {"unsigned garbage", "{not json", good, pair.publicHex, "signature does not verify"},
      {"signed schema 2", "{\"schema\":2}", signatureOf(pair, "{\"schema\":2}"), pair.publicHex,
       "unsupported manifest schema"},
  };
  for (const auto& row : rows) {
    MemoryStore store = storeWith({{kKey, row.manifest}});
    if (!row.signature.empty()) store.objects[kKey + ".sig"] = row.signature;
    EXPECT_EQ(fetchError(store, "", row.key), row.expected) << row.name;
    if (row.key.empty()) {
      EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kKey});
    }
  }
  // A signature the store cannot deliver counts as no signature.
  MemoryStore store = storeWith({{kKey, kManifest}, {kKey + ".sig", good}});
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "get" && key == kKey + ".sig";
  };
  EXPECT_EQ(fetchError(store, "", pair.publicHex), kUnsigned);
}

TEST(FetchByUrl, ManifestAndSignatureUrlsBypassTheStore) {
  const vorn::SigningKeyPair pair = keyPair();
  const std::string good = signatureOf(pair, kManifest);
  const std::map<std::string, std::pair<int, std::string>> answers{
      {"/m.json", {200, kManifest}},
      {"/boom", {500, "err"}},
      {"/m.sig", {200, good}},
      {"/bad.sig", {200, signatureOf(keyPair(), kManifest)}},
      {"/gone.sig", {403, good}}};
  vorn_test::HttpStub http([&](const std::string& head) {
    const size_t start = head.find(' ') + 1;
    auto it = answers.find(head.substr(start, head.find(' ', start) - start));
    return it == answers.end() ? vorn_test::httpResponse(404, "nope")
                               : vorn_test::httpResponse(it->second.first, it->second.second);
  });
  const std::string m = http.base() + "/m.json";
  // The store holds only a valid signature, which a manifest URL never pairs with.
  MemoryStore store = storeWith({{kKey + ".sig", good}});
  EXPECT_EQ(fetchError(store, m), "");
  EXPECT_EQ(fetchError(store, http.base() + "/missing"), "manifest URL -> HTTP 404");
  EXPECT_EQ(fetchError(store, http.base() + "/boom"), "manifest URL -> HTTP 500");
  EXPECT_EQ(fetchError(store, m, pair.publicHex), kUnsigned);
  EXPECT_EQ(fetchError(store, m, pair.publicHex, http.base() + "/m.sig"), "");
  EXPECT_EQ(fetchError(store, m, pair.publicHex, http.base() + "/bad.sig"),
            "signature does not verify");
  // A signature URL answering outside 2xx means no signature.
  EXPECT_EQ(fetchError(store, m, pair.publicHex, http.base() + "/gone.sig"), kUnsigned);
  EXPECT_TRUE(store.calls.empty());
  EXPECT_EQ(fetchError(store, "http://127.0.0.1:1/m.json").rfind("curl: ", 0), 0u);

  // A signature URL also serves a manifest that comes from the store.
  MemoryStore fromStore = storeWith({{kKey, kManifest}});
  EXPECT_EQ(fetchError(fromStore, "", pair.publicHex, http.base() + "/m.sig"), "");
  EXPECT_EQ(fromStore.calls, std::vector<std::string>{"get " + kKey});
}

// The manifest goes first and its failure stops the deletion; a failed
// signature removal is ignored, as is an object already gone.
TEST(DeleteChannel, RemovesManifestThenSignatureOnly) {
  for (const std::string& failing : {std::string(), kKey, kKey + ".sig"}) {
    MemoryStore s = storeWith({{kKey, kManifest}, {kKey + ".sig", "sig"}, {"chunks/ab/abcd", "c"}});
    s.failWhen = [&](const std::string& op, const std::string& key) {
      return op == "remove" && key == failing;
    };
    std::string err;
    const bool manifestFails = failing == kKey;
    EXPECT_EQ(vorn::deleteChannel(s, "stable", &err), !manifestFails) << failing;
    EXPECT_EQ(err, manifestFails ? "curl: Couldn't connect to server" : "");
    EXPECT_EQ(s.objects.count(kKey), manifestFails ? 1u : 0u);
    EXPECT_EQ(s.objects.count(kKey + ".sig"), failing.empty() ? 0u : 1u);
    EXPECT_EQ(s.objects.count("chunks/ab/abcd"), 1u);
    EXPECT_EQ(s.count("remove"), manifestFails ? 1u : 2u);
    if (failing.empty()) {
      EXPECT_TRUE(vorn::deleteChannel(s, "stable", nullptr));
    }
  }
}

}  // namespace
