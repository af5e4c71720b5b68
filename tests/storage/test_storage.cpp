// The store layer: request signing against fixed vectors, the S3 provider
// and plain HTTP client against the real local server (which checks every
// signature) and against answers no real store gives (through the proxy),
// and the encrypted layer, opened here with libsodium alone.

#include "storage/http_client.hpp"
#include "storage/request_signing.hpp"
#include "storage/storage_provider.hpp"
#include "util/hex.hpp"

#include "support/fixtures.hpp"
#include "support/memory_store.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <set>

using namespace vorn;

namespace {

[[maybe_unused]] const int kLibrariesReady = [] {
  curl_global_init(CURL_GLOBAL_ALL);
  return sodium_init();
}();

// 2026-01-02 03:04:06 UTC, the instant the independent vectors were made at.
const std::time_t kInstant = 1767323046;
const std::string kEmptyHash = sha256Hex("");

S3Config vectorConfig(const std::string& region = "us-east-1") {
  return S3Config{"http://127.0.0.1:9000", region, "vorn-bucket", "VORNKEY", "vorn/secret+key="};
}

TEST(Signing, PublishedExamplesAndVectorsOfAnIndependentSigner) {
  const Sha256Digest key =
      deriveSigningKey("wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "20120215", "us-east-1", "iam");
  EXPECT_EQ(toHex(key.data(), key.size()),
            "f4780e2d9f65fa895f9c67b32ce1baf0b0d8a43505a000a1a9e090d414db404d");
  // The documented GET Object example, from its canonical pieces.
  const std::string request = canonicalRequest(
      "GET", "/test.txt", "",
      "host:examplebucket.s3.amazonaws.com\nrange:bytes=0-9\nx-amz-content-sha256:" + kEmptyHash +
          "\nx-amz-date:20130524T000000Z\n",
      "host;range;x-amz-content-sha256;x-amz-date", kEmptyHash);
  EXPECT_EQ(
      signatureHex(
          signingKey("wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY", "20130524", "us-east-1"),
          stringToSign("20130524T000000Z", credentialScope("20130524", "us-east-1"), request)),
      "f0e8bdb87c964420e857bd35b5d6ed310bd44f0170aba48dd91039c6036bdb41");

  // Path-style requests signed by an independent signer at kInstant.
  const std::string odd = "chunks/ab/a b+c\xC3\xA9", oddUrl = "/chunks/ab/a%20b%2Bc%C3%A9";
  const std::string mf = "channels/main/manifest.json";
  const std::string next = "continuation-token=1%2Fa%2Bb%3D%3D&list-type=2&prefix=chunks%2Fa%20b";
  const struct {
    std::string endpoint, region, method, key, query, payloadHash, url, signature;
  } vectors[] = {{"", "us-east-1", "PUT", odd, "", sha256Hex("hello vorn\n"), oddUrl,
                  "3e9f2723b7eda8bdced2f3841869b8eb8addf1ca15fd0119b1218a1ade037898"},
                 {"", "us-east-1", "GET", "", next, kEmptyHash, "?" + next,
                  "123a677fd22ff0b0c4715cf03559282562f2cb70540e18731a2b1cbdc8c70371"}};
  for (const auto& v : vectors) {
    S3Config config = vectorConfig(v.region);
    if (!v.endpoint.empty()) config.endpoint = v.endpoint;
    const SignedRequest r =
        signRequestAt(config, v.method, v.key, v.query, v.payloadHash, kInstant);
    EXPECT_EQ(r.url, "http://127.0.0.1:9000/vorn-bucket" + v.url);
    EXPECT_EQ(r.authorization,
              "AWS4-HMAC-SHA256 Credential=VORNKEY/20260102/" +
                  (v.region.empty() ? std::string("auto") : v.region) +
                  "/s3/aws4_request, SignedHeaders=host;x-amz-content-sha256;x-amz-date, "
                  "Signature=" +
                  v.signature)
        << v.method << " " << v.key << v.query;
  }
  EXPECT_EQ(
      presignGetAt(vectorConfig(""), "a b/c\xC3\xA9+", 0, kInstant),
      "http://127.0.0.1:9000/vorn-bucket/a%20b/c%C3%A9%2B?X-Amz-Algorithm=AWS4-HMAC-SHA256&"
      "X-Amz-Credential=VORNKEY%2F20260102%2Fauto%2Fs3%2Faws4_request&X-Amz-Date=20260102T030406Z&"
      "X-Amz-Expires=0&X-Amz-SignedHeaders=host&X-Amz-Signature="
      "bd15a491a426ab3ed41f6114cab3d0f9ab014627f6dfd4fed7ef9e60d9be30a8");
  const std::string unreserved =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  EXPECT_EQ(uriEncode(unreserved, true), unreserved);
  EXPECT_EQ(uriEncode("a b/c+=&?%#:@!*'()", false),
            "a%20b/c%2B%3D%26%3F%25%23%3A%40%21%2A%27%28%29");
  EXPECT_EQ(uriEncode(std::string("/\x00\x1f\x7f\xff", 5), true), "%2F%00%1F%7F%FF");
  EXPECT_EQ(canonicalUri("a/b", "x/y z"), "/a%2Fb/x/y%20z");
  EXPECT_EQ(amzTimestampsAt(951868799).first, "20000229T235959Z") << "last second of a leap day";
}

class S3Store : public vorn_test::StoreTest {};

TEST_F(S3Store, RoundTripsListingPagesAndMissingObjects) {
  const std::vector<std::pair<std::string, std::string>> objects = {
      {"rt/object.bin", vorn_test::seededBytes(300000, 11)},
      {"rt/empty", ""},
      {"rt/caf\xC3\xA9 \xE2\x9C\x93+", "utf-8"},
      {"rt/a=b&c?d%~", "query characters"}};
  for (const auto& [key, data] : objects) {
    std::string err, out = "prefix:";
    ASSERT_TRUE(store->put(key, data, &err)) << key << ": " << err;
    ASSERT_TRUE(store->get(key, &out, &err)) << key << ": " << err;
    EXPECT_EQ(out, "prefix:" + data) << key;
    const HeadResult h = store->head(key, &err);
    EXPECT_EQ(std::make_tuple(h.exists, h.status, h.size),
              std::make_tuple(true, 200, int64_t(data.size())));
  }
  // 1000 keys fill the server's first page; more need a second. Listings are
  // scraped verbatim, so "&" arrives as its entity reference.
  for (int i = 0; i < 1001; ++i)
    ASSERT_TRUE(
        store->put("rt/many/k" + std::to_string(10000 + i), std::string(i % 7, 'x'), nullptr));
  std::vector<ObjectEntry> listed{{"kept", 42}};
  ASSERT_TRUE(store->list("rt/", &listed, nullptr));
  ASSERT_EQ(listed.size(), 1 + objects.size() + 1001);
  std::set<std::string> names;
  for (const auto& e : listed) names.insert(e.key + ":" + std::to_string(e.size));
  for (const auto& name :
       {"kept:42", "rt/a=b&amp;c?d%~:16", "rt/many/k11000:6", "rt/many/k10006:6", "rt/empty:0"})
    EXPECT_EQ(names.count(name), 1u) << name;
  for (const auto& object : objects) {
    std::string err, out;
    ASSERT_TRUE(store->remove(object.first, &err)) << err;
    const HeadResult h = store->head(object.first, &err);
    EXPECT_EQ(std::make_pair(h.exists, h.status), std::make_pair(false, 404));
    EXPECT_FALSE(store->get(object.first, &out, &err));
    EXPECT_EQ(err, "GET " + object.first + " -> HTTP 404 ");
    EXPECT_TRUE(store->remove(object.first, &err)) << "a missing key removes fine: " << err;
  }
}

TEST_F(S3Store, WrongCredentialsAndPresignedUrls) {
  S3Config wrongSecret = config, wrongKey = config;
  wrongSecret.secretKey = "not-the-secret";
  wrongKey.accessKey = "someone-else";
  std::string err, out;
  EXPECT_FALSE(makeS3Provider(wrongSecret)->put("sec/x", "data", &err));
  EXPECT_EQ(err.rfind("PUT sec/x -> HTTP 403 <?xml", 0), 0u) << err;
  EXPECT_NE(err.find("SignatureDoesNotMatch"), std::string::npos) << err;
  EXPECT_FALSE(exists("sec/x")) << "a refused put stores nothing";
  EXPECT_FALSE(makeS3Provider(wrongKey)->put("sec/z", "data", &err));
  EXPECT_NE(err.find("InvalidAccessKeyId"), std::string::npos) << err;

  const std::string key = "pre/a b+c\xC3\xA9", data = vorn_test::seededBytes(70000, 3);
  ASSERT_TRUE(store->put(key, data, nullptr));
  EXPECT_FALSE(makeS3Provider(wrongSecret)->get(key, &out, &err));
  EXPECT_EQ(err, "GET " + key + " -> HTTP 403 ");
  EXPECT_FALSE(makeS3Provider(wrongSecret)->remove(key, &err));
  int32_t status = 0;
  out.clear();
  ASSERT_TRUE(httpGet(presignGet(config, key, 60), &out, &status, &err, "")) << err;
  EXPECT_EQ(std::make_pair(status, out), std::make_pair(200, data));
  // The signature covers the key, the lifetime and the secret.
  std::string otherKey = presignGet(config, "pre/y", 60);
  otherKey.replace(otherKey.find("/pre/y?"), 7, "/pre/" + uriEncode("a b+c\xC3\xA9", true) + "?");
  for (const std::string& url : {presignGet(config, key, 0), presignGet(config, key, -60), otherKey,
                                 presignGetAt(config, key, 600, std::time(nullptr) - 3600),
                                 presignGet(wrongSecret, key, 60)}) {
    ASSERT_TRUE(httpGet(url, &out, &status, &err, "")) << err;
    EXPECT_EQ(status, 403) << url << ": " << out;
  }
  // Nothing listening: every operation fails with the transport's text.
  S3Config closed = config;
  closed.endpoint = "http://127.0.0.1:1";
  auto none = makeS3Provider(closed);
  std::vector<ObjectEntry> listed;
  const std::vector<std::function<bool(std::string*)>> ops = {
      [&](std::string* e) { return none->put("k", "x", e); },
      [&](std::string* e) { return none->get("k", &out, e); },
      [&](std::string* e) { return none->head("k", e).exists; },
      [&](std::string* e) { return none->list("", &listed, e); },
      [&](std::string* e) { return none->remove("k", e); },
      [&](std::string* e) { return httpGet(closed.endpoint, &out, nullptr, e, ""); }};
  for (const auto& op : ops) {
    EXPECT_FALSE(op(&err));
    EXPECT_EQ(err, "curl: Couldn't connect to server");
  }
  EXPECT_EQ(none->head("k", nullptr).status, 0);
}

// Answers a real store never gives, stood in for by the proxy: each fails
// with one clear line and is not retried.
class S3Hostile : public vorn_test::FaultTest {};

TEST_F(S3Hostile, OddAnswersFailWithAClearLine) {
  auto odd = makeS3Provider(S3Config{proxy_->endpoint(), "", "vorn-test", "k", "s"});
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>",
                    longBody(1000, 'E');
  const std::string loop =
      "<ListBucketResult><Contents><Key>a</Key><Size>1</Size></Contents><IsTruncated>"
      "true</IsTruncated><NextContinuationToken>t</NextContinuationToken></ListBucketResult>";
  std::string body;
  std::vector<ObjectEntry> listed;
  using Op = std::function<bool(std::string*)>;
  const Op list = [&](std::string* e) { return odd->list("", &listed, e); };
  const Op get = [&](std::string* e) { return odd->get("k", &body, e); };
  const Op put = [&](std::string* e) { return odd->put("k", "data", e); };
  const Op head = [&](std::string* e) { return odd->head("k", e).exists; };
  const struct {
    std::string method;
    int status;
    std::string kind, body, header;
    Op op;
    std::string err;
    int requests;
  } cases[] = {
      {"GET", 200, "status", "this is not xml", "", list, "LIST -> not a listing: this is not xml",
       1},
      {"GET", 502, "status", html, "", list, "LIST -> HTTP 502 " + html, 1},
      {"GET", 502, "status", html, "", get, "GET k -> HTTP 502 ", 1},
      {"PUT", 502, "status", html, "", put, "PUT k -> HTTP 502 " + html, 1},
      {"DELETE", 500, "status", longBody, "", [&](std::string* e) { return odd->remove("k", e); },
       "DELETE k -> HTTP 500 " + longBody.substr(0, 300), 1},
      // The store's answer may span lines; the error text stays one line.
      {"PUT", 503, "status", "<Error>\r\n<Code>SlowDown</Code>\n</Error>", "", put,
       "PUT k -> HTTP 503 <Error>\\r\\n<Code>SlowDown</Code>\\n</Error>", 1},
      {"GET", 301, "status", "moved", "Location: http://127.0.0.1:1/", get, "GET k -> HTTP 301 ",
       1},
      {"HEAD", 307, "status", "", "Location: http://127.0.0.1:1/", head, "", 1},
      {"GET", 200, "status", loop, "", list, "LIST -> truncated page without progress (token t)",
       2}};
  for (const auto& c : cases) {
    vorn_test::FaultRule rule{c.method, "", c.kind};
    rule.status = c.status;
    rule.body = c.body;
    rule.header = c.header;
    ASSERT_TRUE(proxy_->setRules({rule}));
    std::string err;
    EXPECT_FALSE(c.op(&err)) << c.err;
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(proxy_->faults(), c.requests) << c.err;
  }
}

// The encrypted layer over an in-memory store that the test can look into.
struct Sealed {
  vorn_test::MemoryStore* inner;
  std::unique_ptr<StorageProvider> store;
  explicit Sealed(const std::string& key) {
    auto memory = std::make_unique<vorn_test::MemoryStore>();
    inner = memory.get();
    store = makeEncryptedProvider(std::move(memory), key);
  }
  std::string getError(const std::string& key, std::string* out) {
    std::string err;
    return store->get(key, out, &err) ? std::string() : err;
  }
};

TEST(Encrypted, EnvelopeOpensWithLibsodiumAloneAndEveryChangeIsRefused) {
  const std::string key = vorn_test::seededBytes(32, 1);
  Sealed s(key), other(vorn_test::seededBytes(32, 2));
  for (const std::string& plain : {vorn_test::seededBytes(100000, 7), std::string()}) {
    ASSERT_TRUE(s.store->put("k", plain, nullptr));
    const std::string& stored = s.inner->objects.at("k");
    ASSERT_EQ(stored.size(), plain.size() + 48);
    EXPECT_EQ(stored.substr(0, 8), "VORNENC1");
    std::string opened(plain.size(), '\0'), out = "held|";
    const auto* in = reinterpret_cast<const unsigned char*>(stored.data());
    EXPECT_EQ(crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(&opened[0]), in + 32,
                                         stored.size() - 32, in + 8,
                                         reinterpret_cast<const unsigned char*>(key.data())),
              0);
    EXPECT_EQ(opened, plain);
    EXPECT_EQ(s.getError("k", &out), "");
    EXPECT_EQ(out, "held|" + plain) << "get appends";
  }
  std::set<std::string> nonces;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(s.store->put("k", "some plaintext of moderate length", nullptr));
    nonces.insert(s.inner->objects.at("k").substr(8, 24));
  }
  EXPECT_EQ(nonces.size(), 4u) << "a fresh nonce for every write";

  const std::string good = s.inner->objects.at("k"),
                    wrong = ": decryption failed (wrong key, or the object is corrupt)";
  std::string out = "kept";
  other.inner->objects = s.inner->objects;
  EXPECT_EQ(other.getError("k", &out), "k" + wrong);
  for (size_t at : {size_t(8), size_t(40), good.size() - 1}) {
    s.inner->objects["k"] = good;
    s.inner->objects["k"][at] ^= 0x01;
    EXPECT_EQ(s.getError("k", &out), "k" + wrong) << "byte " << at;
  }
  s.inner->objects = {{"magic", "X" + good.substr(1)},
                      {"plain", std::string(80, 'p')},
                      {"short", "VORNENC1" + std::string(39, '\0')},
                      {"nothing", ""}};
  for (const char* name : {"magic", "plain", "short", "nothing"})
    EXPECT_EQ(
        s.getError(name, &out),
        name + std::string(": not an encrypted object (wrong store, or written without a key)"));
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(s.getError("missing", &out), "GET missing -> HTTP 404 ");

  // Chunk names: a keyed digest of the id, stable per key.
  const std::string id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  unsigned char digest[32];
  crypto_generichash(digest, 32, reinterpret_cast<const unsigned char*>(id.data()), id.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  const std::string name = toHex(digest, 32);
  EXPECT_EQ(s.store->chunkKey(id), "chunks/" + name.substr(0, 2) + "/" + name);
  EXPECT_EQ(Sealed(key).store->chunkKey(id), s.store->chunkKey(id));
  EXPECT_NE(other.store->chunkKey(id), s.store->chunkKey(id));
  EXPECT_EQ(plainChunkKey(id), "chunks/01/" + id);
}

}  // namespace
