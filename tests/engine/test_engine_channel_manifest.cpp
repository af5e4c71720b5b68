// Channel manifests in the store: JSON parsing, the fetch with its signature
// policy and schema and channel checks, and channel deletion.

#include "engine/channel_manifest.hpp"

#include "engine/signing.hpp"

#include "support/http_stub.hpp"
#include "support/memory_store.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace {

using vorn::fetchChannelManifest;
using vorn_test::MemoryStore;

// A loopback HTTP server with canned answers per path (404 otherwise).
class CannedHttpServer {
 public:
  explicit CannedHttpServer(std::map<std::string, std::pair<int, std::string>> answers)
      : answers_(std::move(answers)), stub_([this](const std::string& head) {
          const size_t start = head.find(' ') + 1;
          auto it = answers_.find(head.substr(start, head.find(' ', start) - start));
          return it == answers_.end() ? vorn_test::httpResponse(404, "nope")
                                      : vorn_test::httpResponse(it->second.first, it->second.second);
        }) {}
  std::string url(const std::string& path) const { return stub_.base() + path; }

 private:
  const std::map<std::string, std::pair<int, std::string>> answers_;
  vorn_test::HttpStub stub_;
};

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

// Runs a fetch; returns the error text ("" on success). A failure must leave
// the output document as it was.
std::string fetchError(MemoryStore& store, const std::string& channel,
                       const std::string& manifestUrl = "", const std::string& verifyKey = "",
                       const std::string& sigUrl = "", Json::Value* out = nullptr) {
  Json::Value doc = "untouched";
  std::string err;
  bool ok = fetchChannelManifest(store, channel, manifestUrl, verifyKey, sigUrl, &doc, &err);
  EXPECT_EQ(ok, err.empty()) << err;
  if (!ok) {
    EXPECT_EQ(doc.asString(), "untouched");
  }
  if (out) *out = doc;
  return ok ? "" : err;
}

TEST(ParseJson, ParsesDocumentsAndReportsErrorsOnOneLine) {
  EXPECT_EQ(vorn::channelManifestKey("team/win64"), "channels/team/win64/manifest.json");
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(vorn::parseJson(kManifest, &doc, &err)) << err;
  EXPECT_EQ(doc["build"].asString(), "b1");
  // Brackets inside strings are not nesting; moderate nesting is fine.
  ASSERT_TRUE(vorn::parseJson("{\"a\":\"" + std::string(5000, '[') + "\"}", &doc, &err)) << err;
  ASSERT_TRUE(vorn::parseJson(std::string(100, '[') + std::string(100, ']'), &doc, &err)) << err;

  for (const std::string& text :
       {std::string(), std::string("{\"a\":"), std::string("not json"),
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
  const std::string notString =
      "manifest is not for channel 'stable' (its channel member is not a string)";
  const std::pair<std::string, std::string> rows[] = {
      {"{\"schema\":1,\"channel\":\"stable\",\"extra\":[1],\"build\":\"b1\"}", ""},
      {"{\"schema\":1,\"files\":[]}", ""},  // no channel: accepted anywhere
      {"{\"schema\":2}", "unsupported manifest schema"},
      {"{}", "unsupported manifest schema"},
      {"{\"schema\":\"1\"}", "unsupported manifest schema"},
      {"{\"schema\":1.5}", "unsupported manifest schema"},
      {"{\"schema\":true}", "unsupported manifest schema"},
      {"[1]", "unsupported manifest schema"},
      {"{\"schema\":1,\"channel\":\"beta\"}", "manifest is for channel 'beta', not 'stable'"},
      {"{\"schema\":1,\"channel\":\"Stable\"}", "manifest is for channel 'Stable', not 'stable'"},
      {"{\"schema\":1,\"channel\":[\"stable\"]}", notString},
      {"{\"schema\":1,\"channel\":null}", notString},
  };
  for (const auto& [text, expected] : rows) {
    MemoryStore store;
    store.objects[kKey] = text;
    EXPECT_EQ(fetchError(store, "stable"), expected) << text;
  }
  MemoryStore empty;
  EXPECT_EQ(fetchError(empty, "stable"), "GET " + kKey + " -> HTTP 404 ");
}

TEST(FetchSignatures, EveryRowOfThePolicy) {
  const vorn::SigningKeyPair pair = keyPair();
  const std::string good = signatureOf(pair, kManifest);
  struct Row {
    const char* name;
    std::string manifest;
    std::string signature;  // "" = no signature object
    std::string key;
    std::string expected;
  };
  const Row rows[] = {
      {"valid", kManifest, good, pair.publicHex, ""},
      {"no key: never read", kManifest, "garbage", "", ""},
      {"missing", kManifest, "", pair.publicHex, kUnsigned},
      {"trailing newline", kManifest, good + "\n", pair.publicHex, "bad signature"},
      {"malformed", kManifest, "zz", pair.publicHex, "bad signature"},
      {"other key", kManifest, good, keyPair().publicHex, "signature does not verify"},
      {"changed manifest", kManifest + " ", good, pair.publicHex, "signature does not verify"},
      {"bad public key", kManifest, good, "abc", "bad public key"},
      // Verified before it is parsed: a tampered document is never interpreted.
      {"unsigned garbage", "{not json", good, pair.publicHex, "signature does not verify"},
      {"signed schema 2", "{\"schema\":2}", signatureOf(pair, "{\"schema\":2}"), pair.publicHex,
       "unsupported manifest schema"},
  };
  for (const Row& row : rows) {
    MemoryStore store;
    store.objects[kKey] = row.manifest;
    if (!row.signature.empty()) store.objects[kKey + ".sig"] = row.signature;
    EXPECT_EQ(fetchError(store, "stable", "", row.key), row.expected) << row.name;
    if (row.key.empty()) {
      EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kKey});
    }
  }
  // A signature the store cannot deliver counts as no signature.
  MemoryStore store;
  store.objects[kKey] = kManifest;
  store.objects[kKey + ".sig"] = good;
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "get" && key == kKey + ".sig";
  };
  EXPECT_EQ(fetchError(store, "stable", "", pair.publicHex), kUnsigned);
}

TEST(FetchByUrl, ManifestAndSignatureUrlsBypassTheStore) {
  const vorn::SigningKeyPair pair = keyPair();
  const std::string good = signatureOf(pair, kManifest);
  CannedHttpServer server({{"/m.json", {200, kManifest}},
                           {"/boom", {500, "err"}},
                           {"/m.sig", {200, good}},
                           {"/bad.sig", {200, signatureOf(keyPair(), kManifest)}},
                           {"/gone.sig", {403, good}}});
  MemoryStore store;  // holds only a valid signature, which a URL never pairs with
  store.objects[kKey + ".sig"] = good;
  Json::Value doc;
  EXPECT_EQ(fetchError(store, "stable", server.url("/m.json"), "", "", &doc), "");
  EXPECT_EQ(doc["build"].asString(), "b1");
  EXPECT_EQ(fetchError(store, "stable", server.url("/missing")), "manifest URL -> HTTP 404");
  EXPECT_EQ(fetchError(store, "stable", server.url("/boom")), "manifest URL -> HTTP 500");
  EXPECT_EQ(fetchError(store, "stable", server.url("/m.json"), pair.publicHex), kUnsigned);
  EXPECT_EQ(fetchError(store, "stable", server.url("/m.json"), pair.publicHex,
                       server.url("/m.sig")),
            "");
  EXPECT_EQ(fetchError(store, "stable", server.url("/m.json"), pair.publicHex,
                       server.url("/bad.sig")),
            "signature does not verify");
  // A signature URL answering outside 2xx means no signature.
  EXPECT_EQ(fetchError(store, "stable", server.url("/m.json"), pair.publicHex,
                       server.url("/gone.sig")),
            kUnsigned);
  EXPECT_TRUE(store.calls.empty());

  // A signature URL also serves a manifest that comes from the store.
  MemoryStore fromStore;
  fromStore.objects[kKey] = kManifest;
  EXPECT_EQ(fetchError(fromStore, "stable", "", pair.publicHex, server.url("/m.sig")), "");
  EXPECT_EQ(fromStore.calls, std::vector<std::string>{"get " + kKey});

  // Nothing listening: the transport message.
  const std::string err = fetchError(store, "stable", "http://127.0.0.1:1/m.json");
  EXPECT_EQ(err.rfind("curl: ", 0), 0u) << err;
}

TEST(DeleteChannel, RemovesManifestThenSignatureOnly) {
  MemoryStore store;
  store.objects[kKey] = kManifest;
  store.objects[kKey + ".sig"] = "sig";
  store.objects["chunks/ab/abcd"] = "chunk";
  std::string err;
  ASSERT_TRUE(vorn::deleteChannel(store, "stable", &err)) << err;
  EXPECT_EQ(store.objects.size(), 1u);
  EXPECT_EQ(store.objects.count("chunks/ab/abcd"), 1u);
  // Already gone (or never signed): removing a missing object succeeds.
  EXPECT_TRUE(vorn::deleteChannel(store, "stable", nullptr));

  // A failed manifest removal stops before the signature; a failed signature
  // removal is ignored.
  for (const std::string& failing : {kKey, kKey + ".sig"}) {
    MemoryStore s;
    s.objects[kKey] = kManifest;
    s.objects[kKey + ".sig"] = "sig";
    s.failWhen = [&](const std::string& op, const std::string& key) {
      return op == "remove" && key == failing;
    };
    const bool manifestFails = failing == kKey;
    EXPECT_EQ(vorn::deleteChannel(s, "stable", &err), !manifestFails) << failing;
    if (manifestFails) {
      EXPECT_EQ(err, "curl: Couldn't connect to server");
    }
    EXPECT_EQ(s.objects.count(kKey), manifestFails ? 1u : 0u);
    EXPECT_EQ(s.objects.count(kKey + ".sig"), 1u);
    EXPECT_EQ(s.count("remove"), manifestFails ? 1u : 2u);
  }
}

}  // namespace
