// Channel manifests in the store: keys, JSON parsing, the fetch with its
// signature policy and schema and channel checks, and channel deletion.

#include "engine/channel_manifest.hpp"

#include "engine/signing.hpp"

#include "support/memory_store.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>

namespace {

using vorn::fetchChannelManifest;
using vorn_test::MemoryStore;

// A loopback HTTP server with canned answers per path, for the manifest-URL
// and signature-URL branches. Serves one request per connection.
class CannedHttpServer {
 public:
  struct Answer {
    int status;
    std::string body;
  };

  explicit CannedHttpServer(std::map<std::string, Answer> answers) : answers_(std::move(answers)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CannedHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int requests() const { return requests_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int conn = accept(listener_, nullptr, nullptr);
      if (conn < 0) continue;
      answer(conn);
      close(conn);
    }
  }

  void answer(int conn) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      pollfd p{conn, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return;
      ssize_t n = recv(conn, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<size_t>(n));
    }
    ++requests_;
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    auto it = answers_.find(path);
    Answer a = it == answers_.end() ? Answer{404, "not found"} : it->second;
    std::string response = "HTTP/1.1 " + std::to_string(a.status) +
                           " X\r\nContent-Length: " + std::to_string(a.body.size()) +
                           "\r\nConnection: close\r\n\r\n" + a.body;
    send(conn, response.data(), response.size(), MSG_NOSIGNAL);
  }

  std::map<std::string, Answer> answers_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

const std::string kManifest =
    "{\n  \"build\" : \"b1\",\n  \"channel\" : \"stable\",\n  \"files\" : [],\n  \"schema\" : 1\n}";

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

// Fetches from the store alone; returns the error text ("" on success).
std::string fetchError(MemoryStore& store, const std::string& channel,
                       const std::string& verifyKey = "", Json::Value* out = nullptr) {
  Json::Value doc;
  std::string err;
  bool ok = fetchChannelManifest(store, channel, "", verifyKey, "", out ? out : &doc, &err);
  EXPECT_EQ(ok, err.empty()) << err;
  return ok ? "" : err;
}

TEST(ChannelKeys, KeysAreFormedVerbatim) {
  EXPECT_EQ(vorn::channelManifestKey("stable"), "channels/stable/manifest.json");
  EXPECT_EQ(vorn::channelManifestKey("team/win64"), "channels/team/win64/manifest.json");
  EXPECT_EQ(vorn::channelManifestKey(""), "channels//manifest.json");
}

TEST(ParseJson, ParsesDocumentsAndReportsErrorsOnOneLine) {
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(vorn::parseJson(kManifest, &doc, &err)) << err;
  EXPECT_EQ(doc["build"].asString(), "b1");

  const std::string bad[] = {"", "{\"a\":", "{\"a\" 1}", "not json", "{\"a\":\"\\x\"}"};
  for (const std::string& text : bad) {
    Json::Value untouched = "keep";
    EXPECT_FALSE(vorn::parseJson(text, &untouched, &err)) << text;
    EXPECT_EQ(err.rfind("manifest parse error: ", 0), 0u) << err;
    EXPECT_GT(err.size(), std::string("manifest parse error: ").size());
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(untouched.asString(), "keep");
  }
}

TEST(ParseJson, DeepNestingIsAnErrorNotACrash) {
  std::string err;
  Json::Value doc;
  EXPECT_FALSE(vorn::parseJson(std::string(100000, '['), &doc, &err));
  EXPECT_EQ(err.rfind("manifest parse error: ", 0), 0u);
  // Brackets inside strings are not nesting.
  const std::string text = "{\"a\":\"" + std::string(5000, '[') + "\\\"\"}";
  ASSERT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
  EXPECT_EQ(doc["a"].asString().size(), 5001u);
  // Moderate nesting is fine.
  ASSERT_TRUE(vorn::parseJson(std::string(100, '[') + std::string(100, ']'), &doc, &err)) << err;
}

TEST(FetchFromStore, ReturnsTheDocumentAndIgnoresUnknownMembers) {
  MemoryStore store;
  store.objects["channels/stable/manifest.json"] =
      "{\"schema\":1,\"channel\":\"stable\",\"extra\":[1,2],\"build\":\"b1\"}";
  Json::Value doc;
  EXPECT_EQ(fetchError(store, "stable", "", &doc), "");
  EXPECT_EQ(doc["build"].asString(), "b1");
}

TEST(FetchFromStore, StoreFailureLeavesOutputUntouched) {
  MemoryStore store;
  Json::Value doc = "previous";
  std::string err;
  EXPECT_FALSE(fetchChannelManifest(store, "stable", "", "", "", &doc, &err));
  EXPECT_EQ(err, "GET channels/stable/manifest.json -> HTTP 404 ");
  EXPECT_EQ(doc.asString(), "previous");
}

TEST(FetchFromStore, SchemaMustBeTheInteger1) {
  MemoryStore store;
  const std::string bad[] = {"{\"schema\":2}",
                             "{}",
                             "{\"schema\":\"1\"}",
                             "{\"schema\":1.5}",
                             "{\"schema\":true}",
                             "{\"schema\":null}",
                             "[1]",
                             "1",
                             "{\"schema\":[1]}"};
  for (const std::string& text : bad) {
    store.objects["channels/c/manifest.json"] = text;
    EXPECT_EQ(fetchError(store, "c"), "unsupported manifest schema") << text;
  }
  store.objects["channels/c/manifest.json"] = "{\"schema\":1}";
  EXPECT_EQ(fetchError(store, "c"), "");
}

TEST(FetchFromStore, ChannelMemberMustMatchWhenPresent) {
  MemoryStore store;
  store.objects["channels/beta/manifest.json"] = kManifest;
  EXPECT_EQ(fetchError(store, "beta"), "manifest is for channel 'stable', not 'beta'");
  // A manifest made by the chunk command has no channel and is accepted anywhere.
  store.objects["channels/beta/manifest.json"] = "{\"schema\":1,\"files\":[]}";
  EXPECT_EQ(fetchError(store, "beta"), "");
  // Comparison is exact bytes.
  store.objects["channels/beta/manifest.json"] = "{\"schema\":1,\"channel\":\"Beta\"}";
  EXPECT_EQ(fetchError(store, "beta"), "manifest is for channel 'Beta', not 'beta'");
  for (const char* value : {"[\"beta\"]", "{\"beta\":1}", "7", "null"}) {
    store.objects["channels/beta/manifest.json"] =
        std::string("{\"schema\":1,\"channel\":") + value + "}";
    EXPECT_EQ(fetchError(store, "beta"),
              "manifest is not for channel 'beta' (its channel member is not a string)")
        << value;
  }
}

TEST(FetchSignatures, WithoutKeyTheSignatureIsNeverRead) {
  MemoryStore store;
  store.objects["channels/stable/manifest.json"] = kManifest;
  store.objects["channels/stable/manifest.json.sig"] = "garbage";
  EXPECT_EQ(fetchError(store, "stable"), "");
  EXPECT_EQ(store.count("get"), 1u);
  EXPECT_EQ(store.calls.back(), "get channels/stable/manifest.json");
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
      {"missing", kManifest, "", pair.publicHex,
       "channel 'stable' has no signature but verification is required"},
      {"trailing newline", kManifest, good + "\n", pair.publicHex, "bad signature"},
      {"malformed", kManifest, "zz", pair.publicHex, "bad signature"},
      {"other key", kManifest, good, keyPair().publicHex, "signature does not verify"},
      {"changed manifest", kManifest + " ", good, pair.publicHex, "signature does not verify"},
      {"bad public key", kManifest, good, "abc", "bad public key"},
      // Verified before it is parsed: a tampered document is never interpreted.
      {"unsigned garbage", "{not json", good, pair.publicHex, "signature does not verify"},
      {"signed schema 2", "{\"schema\":2}", signatureOf(pair, "{\"schema\":2}"), pair.publicHex,
       "unsupported manifest schema"},
      {"signed, no schema", "{}", signatureOf(pair, "{}"), pair.publicHex,
       "unsupported manifest schema"},
  };
  for (const Row& row : rows) {
    MemoryStore store;
    store.objects["channels/stable/manifest.json"] = row.manifest;
    if (!row.signature.empty()) store.objects["channels/stable/manifest.json.sig"] = row.signature;
    EXPECT_EQ(fetchError(store, "stable", row.key), row.expected) << row.name;
  }
}

TEST(FetchSignatures, SignatureStoreFailureMeansNoSignature) {
  const vorn::SigningKeyPair pair = keyPair();
  MemoryStore store;
  store.objects["channels/stable/manifest.json"] = kManifest;
  store.objects["channels/stable/manifest.json.sig"] = signatureOf(pair, kManifest);
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "get" && key.size() > 4 && key.compare(key.size() - 4, 4, ".sig") == 0;
  };
  EXPECT_EQ(fetchError(store, "stable", pair.publicHex),
            "channel 'stable' has no signature but verification is required");
}

TEST(FetchByUrl, ManifestUrlBypassesTheStore) {
  CannedHttpServer server(
      {{"/m.json", {200, kManifest}}, {"/missing", {404, "nope"}}, {"/boom", {500, "err"}}});
  MemoryStore store;  // empty: any store read would fail
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(fetchChannelManifest(store, "stable", server.url("/m.json"), "", "", &doc, &err))
      << err;
  EXPECT_EQ(doc["build"].asString(), "b1");
  EXPECT_TRUE(store.calls.empty());

  Json::Value untouched = "keep";
  EXPECT_FALSE(
      fetchChannelManifest(store, "stable", server.url("/missing"), "", "", &untouched, &err));
  EXPECT_EQ(err, "manifest URL -> HTTP 404");
  EXPECT_FALSE(
      fetchChannelManifest(store, "stable", server.url("/boom"), "", "", &untouched, &err));
  EXPECT_EQ(err, "manifest URL -> HTTP 500");
  EXPECT_EQ(untouched.asString(), "keep");
  EXPECT_TRUE(store.calls.empty());
}

TEST(FetchByUrl, UnreachableUrlGivesTheTransportMessage) {
  // Bind and close a port so nothing listens on it.
  int port = 0;
  {
    CannedHttpServer server({});
    port = std::stoi(server.url("").substr(std::string("http://127.0.0.1:").size()));
  }
  MemoryStore store;
  Json::Value doc;
  std::string err;
  EXPECT_FALSE(fetchChannelManifest(
      store, "stable", "http://127.0.0.1:" + std::to_string(port) + "/m.json", "", "", &doc, &err));
  EXPECT_EQ(err.rfind("curl: ", 0), 0u) << err;
}

TEST(FetchByUrl, SignaturePolicyForUrls) {
  const vorn::SigningKeyPair pair = keyPair();
  const std::string good = signatureOf(pair, kManifest);
  CannedHttpServer server({{"/m.json", {200, kManifest}},
                           {"/m.sig", {200, good}},
                           {"/bad.sig", {200, signatureOf(keyPair(), kManifest)}},
                           {"/gone.sig", {403, good}}});
  MemoryStore store;
  // Even a valid signature in the store is not paired with a manifest URL.
  store.objects["channels/stable/manifest.json.sig"] = good;
  Json::Value doc;
  std::string err;
  EXPECT_FALSE(
      fetchChannelManifest(store, "stable", server.url("/m.json"), pair.publicHex, "", &doc, &err));
  EXPECT_EQ(err, "channel 'stable' has no signature but verification is required");
  EXPECT_TRUE(store.calls.empty());

  EXPECT_TRUE(fetchChannelManifest(store, "stable", server.url("/m.json"), pair.publicHex,
                                   server.url("/m.sig"), &doc, &err))
      << err;
  EXPECT_FALSE(fetchChannelManifest(store, "stable", server.url("/m.json"), pair.publicHex,
                                    server.url("/bad.sig"), &doc, &err));
  EXPECT_EQ(err, "signature does not verify");
  // A signature URL answering outside 2xx means no signature.
  EXPECT_FALSE(fetchChannelManifest(store, "stable", server.url("/m.json"), pair.publicHex,
                                    server.url("/gone.sig"), &doc, &err));
  EXPECT_EQ(err, "channel 'stable' has no signature but verification is required");

  // A signature URL also serves a manifest that comes from the store.
  MemoryStore fromStore;
  fromStore.objects["channels/stable/manifest.json"] = kManifest;
  EXPECT_TRUE(fetchChannelManifest(fromStore, "stable", "", pair.publicHex, server.url("/m.sig"),
                                   &doc, &err))
      << err;
  EXPECT_EQ(fromStore.count("get"), 1u);
}

TEST(DeleteChannel, RemovesManifestAndSignature) {
  MemoryStore store;
  store.objects["channels/a/manifest.json"] = kManifest;
  store.objects["channels/a/manifest.json.sig"] = "sig";
  store.objects["chunks/ab/abcd"] = "chunk";
  std::string err;
  ASSERT_TRUE(vorn::deleteChannel(store, "a", &err)) << err;
  EXPECT_EQ(store.objects.size(), 1u);
  EXPECT_EQ(store.objects.count("chunks/ab/abcd"), 1u);
  // An unsigned (or already deleted) channel deletes fine: removing a missing
  // object succeeds on S3-compatible stores.
  EXPECT_TRUE(vorn::deleteChannel(store, "a", nullptr));
}

TEST(DeleteChannel, FailedManifestRemovalKeepsTheSignature) {
  MemoryStore store;
  store.objects["channels/a/manifest.json"] = kManifest;
  store.objects["channels/a/manifest.json.sig"] = "sig";
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "remove" && key == "channels/a/manifest.json";
  };
  std::string err;
  EXPECT_FALSE(vorn::deleteChannel(store, "a", &err));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
  EXPECT_EQ(store.objects.size(), 2u);
  EXPECT_EQ(store.count("remove"), 1u);
}

TEST(DeleteChannel, SignatureRemovalFailureIsIgnored) {
  MemoryStore store;
  store.objects["channels/a/manifest.json"] = kManifest;
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "remove" && key == "channels/a/manifest.json.sig";
  };
  std::string err;
  EXPECT_TRUE(vorn::deleteChannel(store, "a", &err)) << err;
  EXPECT_EQ(store.objects.count("channels/a/manifest.json"), 0u);
}

}  // namespace
