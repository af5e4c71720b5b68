// What the end-to-end runs do not show of the store layer: listings over
// several pages, answers no real store gives (through the fault layer), a presigned
// URL against an independent signer, and the encrypted layer's envelope,
// opened here with libsodium alone.

#include "engine/garbage_collection.hpp"
#include "storage/http_client.hpp"
#include "storage/request_signing.hpp"
#include "storage/xml_scrape.hpp"
#include "util/hex.hpp"
#include "util/task_pool.hpp"

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

TEST(Signing, PresignedUrlOfAnIndependentSignerAndEncodings) {
  // 2026-01-02 03:04:06 UTC: lifetime zero, the "auto" region, a key that needs encoding.
  const S3Config config{"http://127.0.0.1:9000/", "", "vorn-bucket", "VORNKEY", "vorn/secret+key="};
  EXPECT_EQ(presignGetAt(config, "a b/c\xC3\xA9+", 0, 1767323046),
            "http://127.0.0.1:9000/vorn-bucket/a%20b/c%C3%A9%2B?X-Amz-Algorithm=AWS4-HMAC-SHA256&"
            "X-Amz-Credential=VORNKEY%2F20260102%2Fauto%2Fs3%2Faws4_request&X-Amz-Date="
            "20260102T030406Z&X-Amz-Expires=0&X-Amz-SignedHeaders=host&X-Amz-Signature="
            "bd15a491a426ab3ed41f6114cab3d0f9ab014627f6dfd4fed7ef9e60d9be30a8");
  EXPECT_EQ(uriEncode("azAZ09-._~ b/c+=&?%", false), "azAZ09-._~%20b/c%2B%3D%26%3F%25");
  EXPECT_EQ(uriEncode(std::string("/\x00\xff", 3), true), "%2F%00%FF");
  EXPECT_EQ(amzTimestampsAt(951868799).first, "20000229T235959Z") << "last second of a leap day";
  // Header-signed by the same independent signer: the plain form, and a copy
  // whose x-amz-copy-source is signed too.
  const S3Config s3{"http://127.0.0.1:9000", "us-east-1", "vorn-bucket", "VORNKEY",
                    "vorn/secret+key="};
  EXPECT_EQ(signRequestAt(s3, "GET", "chunks/ab/x", "", sha256Hex(""), 1767323046).signature,
            "0dd3f25041c149b592027e09f473b394fa3b0a7df4a8b27b96c485fe9b19c867");
  EXPECT_EQ(signRequestAt(s3, "PUT", "gc/aside/chunks/ab/x", "", sha256Hex(""), 1767323046,
                          {{"x-amz-copy-source", "/vorn-bucket/chunks/ab/x"}})
                .signature,
            "492af53600299d7cf8e61eb30d7c26aeb82f164339ae5d34ec33996da1d407c4");
}

// A listed time is read strictly, and only from its own Contents element:
// a time that cannot be read must never make an object look old.
TEST(Listing, TimesAreReadStrictlyFromTheirOwnEntry) {
  EXPECT_EQ(parseIsoTime("2024-02-29T23:59:59Z"), 1709251199);
  for (const char* bad : {"2023-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-06T04:01:13.Z",
                          "2026-12-06 04:01:13Z", "1969-12-31T23:59:59Z"})
    EXPECT_EQ(parseIsoTime(bad), -1) << bad;
  std::vector<ObjectEntry> listed;
  scanListPage(
      "<Contents><Key>a</Key><Size>1</Size></Contents><Contents><Key>b</Key><LastModified>"
      "2026-12-06T04:01:13.000Z</LastModified><Size>2</Size></Contents><Key>c</Key>",
      &listed);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(std::vector<int64_t>({listed[0].modified, listed[1].modified, listed[2].modified}),
            std::vector<int64_t>({-1, 1796529673, -1}));
}

class S3Store : public vorn_test::StoreTest {};

TEST_F(S3Store, ListingsSpanPagesAndAppendAndGcSweepsThem) {
  // 1000 keys fill the first page (fewer on some stores); more need a second.
  // Listings are scraped verbatim, so "&" arrives as its entity reference.
  ASSERT_EQ(runTasks(1001, 8,
                     [&](size_t i, int) {
                       return store->put("chunks/k" + std::to_string(10000 + i),
                                         std::string(i % 7, 'x'), nullptr);
                     }),
            1001u);
  ASSERT_TRUE(store->put("rt/a=b&c?d%~", "query", nullptr));
  std::vector<ObjectEntry> listed{{"kept", 42}};
  ASSERT_TRUE(store->list("", &listed, nullptr));
  std::set<std::string> names;
  for (const auto& e : listed) names.insert(e.key + ":" + std::to_string(e.size));
  EXPECT_EQ(names.size(), 1003u);
  for (const char* name : {"kept:42", "rt/a=b&amp;c?d%~:5", "chunks/k11000:6", "chunks/k10000:0"})
    EXPECT_EQ(names.count(name), 1u) << name;
  // No manifest names them: gc removes all, eight at a time, over both pages.
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collectGarbage(*store, GcOptions{true, 8, {}}, &stats, &err)) << err;
  EXPECT_EQ(std::make_pair(stats.garbage, stats.deleted),
            std::make_pair(size_t(1001), size_t(1001)));
  listed.clear();
  EXPECT_TRUE(store->list("chunks/", &listed, nullptr) && listed.empty()) << listed.size();
}

// Answers a real store never gives, stood in for by the fault layer: each fails
// with one clear line and is not retried.
TEST_F(S3Store, OddAnswersFailWithAClearLine) {
  auto odd = makeS3Provider(S3Config{server_->faultEndpoint(), "", "vorn-test", "k", "s"});
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>", big(1000, 'E');
  const std::string loop =
      "<ListBucketResult><Contents><Key>a</Key><Size>1</Size></Contents><IsTruncated>true"
      "</IsTruncated><NextContinuationToken>t</NextContinuationToken></ListBucketResult>";
  std::string body;
  std::vector<ObjectEntry> listed;
  using Op = std::function<bool(std::string*)>;
  const Op list = [&](std::string* e) { return odd->list("", &listed, e); };
  const Op get = [&](std::string* e) { return odd->get("k", &body, e); };
  const Op put = [&](std::string* e) { return odd->put("k", "data", e); };
  const struct {
    std::string method;
    int status;
    std::string body, header;
    Op op;
    std::string err;
  } cases[] = {{"GET", 200, "this is not xml", "", list, "LIST -> not a listing: this is not xml"},
               {"GET", 502, html, "", list, "LIST -> HTTP 502 " + html},
               {"GET", 502, html, "", get, "GET k -> HTTP 502 "},
               {"PUT", 502, html, "", put, "PUT k -> HTTP 502 " + html},
               {"DELETE", 500, big, "", [&](std::string* e) { return odd->remove("k", e); },
                "DELETE k -> HTTP 500 " + big.substr(0, 300)},
               // The store's answer may span lines; the error text stays one line.
               {"PUT", 503, "<Error>\r\n<Code>SlowDown</Code>\n</Error>", "", put,
                "PUT k -> HTTP 503 <Error>\\r\\n<Code>SlowDown</Code>\\n</Error>"},
               {"GET", 301, "moved", "Location: http://127.0.0.1:1/", get, "GET k -> HTTP 301 "},
               {"HEAD", 307, "", "Location: http://127.0.0.1:1/",
                [&](std::string* e) { return odd->head("k", e).exists; }, ""},
               {"GET", 200, loop, "", list, "LIST -> truncated page without progress (token t)"}};
  for (const auto& c : cases) {
    vorn_test::FaultRule rule{c.method, "", "status"};
    rule.status = c.status;
    rule.body = c.body;
    rule.header = c.header;
    ASSERT_TRUE(server_->setRules({rule}));
    std::string err;
    EXPECT_FALSE(c.op(&err)) << c.err;
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(server_->faults(), c.body == loop ? 2 : 1) << c.err;
  }
}

TEST(Encrypted, EnvelopeOpensWithLibsodiumAloneAndEveryChangeIsRefused) {
  const std::string key = vorn_test::seededBytes(32, 1), plain = vorn_test::seededBytes(10000, 7);
  auto memory = std::make_unique<vorn_test::MemoryStore>();
  vorn_test::MemoryStore* inner = memory.get();
  auto sealed = makeEncryptedProvider(std::move(memory), key);
  const auto getError = [&](const std::string& name, std::string* out) {
    std::string err;
    return sealed->get(name, out, &err) ? std::string() : err;
  };
  std::set<std::string> nonces;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(sealed->put("k", plain, nullptr));
    nonces.insert(inner->objects.at("k").substr(8, 24));
  }
  EXPECT_EQ(nonces.size(), 3u) << "a fresh nonce for every write";
  const std::string good = inner->objects.at("k");
  ASSERT_EQ(good.size(), plain.size() + 48);
  EXPECT_EQ(good.substr(0, 8), "VORNENC1");
  std::string opened(plain.size(), '\0'), out = "held|";
  const auto* in = reinterpret_cast<const unsigned char*>(good.data());
  EXPECT_EQ(crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(&opened[0]), in + 32,
                                       good.size() - 32, in + 8,
                                       reinterpret_cast<const unsigned char*>(key.data())),
            0);
  EXPECT_EQ(opened, plain);
  EXPECT_EQ(getError("k", &out), "");
  EXPECT_EQ(out, "held|" + plain) << "get appends";
  out = "kept";
  for (size_t at : {size_t(8), size_t(40), good.size() - 1}) {
    inner->objects["k"] = good;
    inner->objects["k"][at] ^= 0x01;
    EXPECT_EQ(getError("k", &out), "k: decryption failed (wrong key, or the object is corrupt)")
        << at;
  }
  inner->objects = {{"magic", "X" + good.substr(1)}, {"short", "VORNENC1" + std::string(39, '\0')}};
  for (const char* name : {"magic", "short"})
    EXPECT_EQ(
        getError(name, &out),
        name + std::string(": not an encrypted object (wrong store, or written without a key)"));
  EXPECT_EQ(out, "kept");
  // Chunk names: a keyed digest of the id, so the store learns no content ids.
  const std::string id(64, 'a');
  unsigned char digest[32];
  crypto_generichash(digest, 32, reinterpret_cast<const unsigned char*>(id.data()), id.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  EXPECT_EQ(sealed->chunkKey(id), "chunks/" + toHex(digest, 1) + "/" + toHex(digest, 32));
  EXPECT_EQ(plainChunkKey(id), "chunks/aa/" + id);
  EXPECT_EQ(plainChunkKey("a") + plainChunkKey(""), "chunks/a/achunks//");
}

}  // namespace
