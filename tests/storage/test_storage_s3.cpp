// The S3 provider and the plain HTTP client against the real local S3 server
// (which checks every signature and payload hash), and against a loopback
// server that answers with canned, broken or hostile replies.

#include "storage/http_client.hpp"
#include "storage/request_signing.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/http_stub.hpp"
#include "support/s3_server.hpp"
#include "support/test_data.hpp"

#include <curl/curl.h>
#include <atomic>
#include <functional>
#include <set>

using namespace vorn;
using vorn_test::httpResponse;
using vorn_test::S3Server;

namespace {

[[maybe_unused]] const int kLibrariesReady = [] {
  curl_global_init(CURL_GLOBAL_ALL);
  return sodium_init();
}();

S3Config configFor(const S3Server& server, const std::string& secret) {
  return S3Config{server.endpoint(), "us-east-1", server.bucket(), server.accessKey(), secret};
}

// One server for the whole suite, with credentials other than s3rver's own.
class S3Store : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new S3Server("vorn-access", "vorn/secret+=", "vorn-test");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->running()) << server_->startError();
    store_ = makeS3Provider(configFor(*server_, server_->secret()));
  }

  static S3Server* server_;
  std::unique_ptr<StorageProvider> store_;
};
S3Server* S3Store::server_ = nullptr;

}  // namespace

// --- The real server ---

TEST_F(S3Store, RoundTripsOfOrdinaryEmptyAndEncodedKeys) {
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> objects = {
      {"rt/object.bin", vorn_test::seededBytes(300000, 11)}, {"rt/empty", ""},
      {"rt/with space", "s"}, {"rt/plus+sign", "p"}, {"rt/caf\xC3\xA9 \xE2\x9C\x93", "utf-8"},
      {"rt/a=b&c?d%~", "query characters"}};
  // clang-format on
  for (const auto& [key, data] : objects) {
    std::string err, out = "prefix:";
    ASSERT_TRUE(store_->put(key, "a stale first version", &err)) << key << ": " << err;
    ASSERT_TRUE(store_->put(key, data, &err)) << key << ": " << err;
    ASSERT_TRUE(store_->get(key, &out, &err)) << key << ": " << err;
    EXPECT_EQ(out, "prefix:" + data) << key;
    const HeadResult h = store_->head(key, &err);
    EXPECT_EQ(std::make_pair(h.exists, h.status), std::make_pair(true, 200)) << key;
    EXPECT_EQ(h.size, static_cast<int64_t>(data.size())) << key;
  }
  std::vector<ObjectEntry> listed;
  ASSERT_TRUE(store_->list("", &listed, nullptr)) << "the empty prefix lists everything";
  std::set<std::string> names;
  for (const auto& e : listed) names.insert(e.key);
  for (auto [key, data] : objects) {
    // Listings are scraped verbatim, so "&" arrives as its entity reference.
    if (key == "rt/a=b&c?d%~") key = "rt/a=b&amp;c?d%~";
    EXPECT_EQ(names.count(key), 1u) << key;
  }
  for (const auto& object : objects) {
    std::string err;
    ASSERT_TRUE(store_->remove(object.first, &err)) << err;
    EXPECT_EQ(store_->head(object.first, &err).status, 404);
  }
}

TEST_F(S3Store, MissingObject) {
  std::string out, err = "untouched";
  const HeadResult h = store_->head("nope/missing", &err);
  EXPECT_EQ(std::make_pair(h.exists, h.status), std::make_pair(false, 404));
  EXPECT_EQ(err, "untouched");
  EXPECT_FALSE(store_->get("nope/missing", &out, &err));
  EXPECT_EQ(err, "GET nope/missing -> HTTP 404 ");
  EXPECT_NE(out.find("NoSuchKey"), std::string::npos) << out;
  EXPECT_TRUE(store_->remove("nope/missing", &err)) << err;
}

TEST_F(S3Store, ListAcrossPagesAppendsEverything) {
  // 1000 keys fill the server's first page; a few more need a second.
  const int total = 1004;
  auto keyOf = [](int i) {
    char key[32];
    std::snprintf(key, sizeof key, "many/k%05d", i);
    return std::string(key);
  };
  std::string err;
  for (int i = 0; i < total; ++i)
    ASSERT_TRUE(store_->put(keyOf(i), std::string(i % 7, 'x'), &err)) << err;
  ASSERT_TRUE(store_->put("many-not-in-prefix", "x", nullptr));
  std::vector<ObjectEntry> listed{{"kept", 42}};
  ASSERT_TRUE(store_->list("many/", &listed, &err)) << err;
  ASSERT_EQ(listed.size(), total + 1u);
  EXPECT_EQ(listed[0].key, "kept");
  for (int i = 0; i < total; ++i)
    EXPECT_EQ(listed[i + 1].key + ":" + std::to_string(listed[i + 1].size),
              keyOf(i) + ":" + std::to_string(i % 7));
}

TEST_F(S3Store, WrongCredentialsAreRefusedByTheServerCheck) {
  auto wrong = makeS3Provider(configFor(*server_, "not-the-secret"));
  std::string err, out;
  EXPECT_FALSE(wrong->put("sec/x", "data", &err));
  EXPECT_EQ(err.rfind("PUT sec/x -> HTTP 403 <?xml", 0), 0u) << err;
  EXPECT_NE(err.find("SignatureDoesNotMatch"), std::string::npos) << err;
  EXPECT_FALSE(store_->head("sec/x", nullptr).exists) << "refused put must not store";
  ASSERT_TRUE(store_->put("sec/y", "data", nullptr));
  EXPECT_FALSE(wrong->get("sec/y", &out, &err));
  EXPECT_EQ(err, "GET sec/y -> HTTP 403 ");
  EXPECT_FALSE(wrong->remove("sec/y", &err));
  EXPECT_TRUE(store_->head("sec/y", nullptr).exists);

  S3Config config = configFor(*server_, server_->secret());
  config.accessKey = "someone-else";
  EXPECT_FALSE(makeS3Provider(config)->put("sec/z", "data", &err));
  EXPECT_NE(err.find("InvalidAccessKeyId"), std::string::npos) << err;
}

TEST_F(S3Store, PresignedUrlFetchesTheObjectAndRefusalsAre403) {
  const S3Config good = configFor(*server_, server_->secret());
  const std::string key = "pre/a b+c\xC3\xA9", data = vorn_test::seededBytes(70000, 3);
  ASSERT_TRUE(store_->put(key, data, nullptr));
  std::string body, err;
  int32_t status = 0;
  ASSERT_TRUE(httpGet(presignGet(good, key, 60), &body, &status, &err, "")) << err;
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, data);

  // The signature covers the key: the same query on another key fails.
  std::string otherKey = presignGet(good, "pre/y", 60);
  otherKey.replace(otherKey.find("/pre/y?"), 7, "/pre/" + uriEncode("a b+c\xC3\xA9", true) + "?");
  const std::pair<std::string, std::string> refusals[] = {
      {presignGet(good, key, 0), "expired"},
      {presignGet(good, key, -60), ""},
      {presignGetAt(good, key, 600, std::time(nullptr) - 3600), ""},
      {presignGet(configFor(*server_, "wrong"), key, 60), "SignatureDoesNotMatch"},
      {otherKey, ""}};
  for (const auto& [url, bodyHas] : refusals) {
    body.clear();
    ASSERT_TRUE(httpGet(url, &body, &status, &err, "")) << url << ": " << err;
    EXPECT_EQ(status, 403) << url << ": " << body;
    EXPECT_NE(body.find(bodyHas), std::string::npos) << url << ": " << body;
  }
}

TEST(S3Unreachable, EveryOperationFailsWithTheTransportText) {
  const std::string endpoint =
      "http://127.0.0.1:" + std::to_string(vorn_test::closedLoopbackPort());
  auto store = makeS3Provider(S3Config{endpoint, "", "b", "k", "s"});
  std::string out;
  std::vector<ObjectEntry> listed;
  HeadResult h;
  const std::vector<std::function<bool(std::string*)>> ops = {
      [&](std::string* e) { return store->put("k", "x", e); },
      [&](std::string* e) { return store->get("k", &out, e); },
      [&](std::string* e) { return (h = store->head("k", e)).exists; },
      [&](std::string* e) { return store->list("", &listed, e); },
      [&](std::string* e) { return store->remove("k", e); },
      [&](std::string* e) { return httpGet(endpoint + "/x", &out, nullptr, e, ""); }};
  for (size_t i = 0; i < ops.size(); ++i) {
    std::string err;
    EXPECT_FALSE(ops[i](&err)) << "operation " << i;
    EXPECT_EQ(err, "curl: Couldn't connect to server") << "operation " << i;
  }
  EXPECT_EQ(std::make_pair(h.size, h.status), std::make_pair(int64_t{-1}, 0));
}

// --- A loopback server with canned answers, for what a real store never says ---

namespace {

// Answers each connection with the next canned reply, in order; a connection
// beyond the last reply is closed unanswered.
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> answers)
      : answers_(std::move(answers)), stub_([this](const std::string&) {
          const size_t i = next_++;
          return i < answers_.size() ? answers_[i] : std::string();
        }) {}
  std::string endpoint() const { return stub_.base(); }
  std::vector<std::string> requests() const { return stub_.requests(); }
  std::unique_ptr<StorageProvider> store() const {
    return makeS3Provider(S3Config{endpoint(), "", "bkt", "k", "s"});
  }

 private:
  const std::vector<std::string> answers_;
  std::atomic<size_t> next_{0};
  vorn_test::HttpStub stub_;
};

std::string listPage(const std::string& contents, const std::string& tail) {
  return httpResponse(
      200, "<?xml version=\"1.0\"?><ListBucketResult>" + contents + tail + "</ListBucketResult>");
}

}  // namespace

TEST(S3HostileAnswers, EachFailsWithAClearTextAndNoRetry) {
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>";
  const std::string longBody(1000, 'E'), away = "Location: http://127.0.0.1:1/\r\n";
  const std::string loop = listPage("<Contents><Key>a</Key><Size>1</Size></Contents>",
                                    "<IsTruncated>true</IsTruncated><NextContinuationToken>t"
                                    "</NextContinuationToken>");
  std::string body;
  std::vector<ObjectEntry> listed;
  using Op = std::function<bool(StorageProvider&, std::string*)>;
  const Op list = [&](StorageProvider& s, std::string* e) { return s.list("", &listed, e); };
  const Op get = [&](StorageProvider& s, std::string* e) { return s.get("k", &body, e); };
  const Op put = [](StorageProvider& s, std::string* e) { return s.put("k", "data", e); };
  const Op remove = [](StorageProvider& s, std::string* e) { return s.remove("k", e); };
  const Op head = [](StorageProvider& s, std::string* e) {
    const HeadResult h = s.head("k", e);
    EXPECT_EQ(h.status, 307);
    return h.exists;
  };
  // clang-format off
  const struct { std::vector<std::string> answers; Op op; std::string err; size_t requests; }
      cases[] = {
      {{httpResponse(200, "this is not xml")}, list, "LIST -> not a listing: this is not xml", 1},
      {{httpResponse(502, html)}, list, "LIST -> HTTP 502 " + html, 1},
      {{httpResponse(502, html)}, get, "GET k -> HTTP 502 ", 1},
      {{httpResponse(502, html)}, put, "PUT k -> HTTP 502 " + html, 1},
      {{httpResponse(500, longBody)}, remove, "DELETE k -> HTTP 500 " + longBody.substr(0, 300), 1},
      {{httpResponse(500, longBody)}, list, "LIST -> HTTP 500 " + longBody.substr(0, 300), 1},
      // The store's answer may span lines; the error text stays one line.
      {{httpResponse(503, "<Error>\r\n<Code>SlowDown</Code>\n</Error>")}, put,
       "PUT k -> HTTP 503 <Error>\\r\\n<Code>SlowDown</Code>\\n</Error>", 1},
      {{"complete nonsense, not HTTP\r\n\r\n"}, get, "curl: Unsupported protocol", 1},
      {{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly part"}, get,
       "curl: Transferred a partial file", 1},
      {{httpResponse(301, "", away)}, get, "GET k -> HTTP 301 ", 1},
      {{httpResponse(307, "", away)}, head, "", 1},
      {{loop, loop, loop}, list, "LIST -> truncated page without progress (token t)", 2}};
  // clang-format on
  for (const auto& c : cases) {
    CannedServer server(c.answers);
    std::string err;
    EXPECT_FALSE(c.op(*server.store(), &err)) << c.err;
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(server.requests().size(), c.requests) << c.err;
  }
}

TEST(S3Wire, ListingRequestsAndPages) {
  CannedServer server(
      {listPage(
           "<Contents><Key>p/1</Key><Size>5</Size></Contents>",
           "<IsTruncated>true</IsTruncated><NextContinuationToken>a/b+c=</NextContinuationToken>"),
       listPage("<Contents><Key>p/2</Key><Size>7</Size></Contents>", ""), listPage("", ""),
       listPage("<Contents><Key>a</Key></Contents>", "<IsTruncated>true</IsTruncated>")});
  auto store = server.store();
  std::vector<ObjectEntry> out;
  std::string err;
  ASSERT_TRUE(store->list("p/", &out, &err)) << err;
  ASSERT_TRUE(store->list("", &out, &err)) << err;
  // Truncated without a token ends the listing; a missing size reads as 0.
  ASSERT_TRUE(store->list("", &out, &err)) << err;
  std::string got;
  for (const ObjectEntry& e : out) got += e.key + ":" + std::to_string(e.size) + " ";
  EXPECT_EQ(got, "p/1:5 p/2:7 a:0 ");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  const std::string lines[] = {
      "GET /bkt?list-type=2&prefix=p%2F HTTP/1.1\r\n",
      "GET /bkt?continuation-token=a%2Fb%2Bc%3D&list-type=2&prefix=p%2F HTTP/1.1\r\n",
      "GET /bkt?list-type=2 HTTP/1.1\r\n"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(requests[i].rfind(lines[i], 0), 0u) << requests[i];
  EXPECT_NE(requests[0].find("\r\nx-amz-content-sha256: " + sha256Hex("")), std::string::npos);
}

TEST(S3Wire, PutCarriesTheSignedHeaders) {
  CannedServer server({httpResponse(200, "")});
  ASSERT_TRUE(server.store()->put("dir/a b", "payload", nullptr));
  const std::string request = server.requests().at(0);
  EXPECT_EQ(request.rfind("PUT /bkt/dir/a%20b HTTP/1.1\r\n", 0), 0u) << request;
  for (const std::string& part :
       {std::string("\r\nHost: 127.0.0.1:"), "\r\nx-amz-content-sha256: " + sha256Hex("payload"),
        std::string("\r\nAuthorization: AWS4-HMAC-SHA256 Credential=k/"),
        std::string("/auto/s3/aws4_request, SignedHeaders=host;x-amz-content-sha256;x-amz-date"),
        std::string("\r\nContent-Length: 7"), std::string("\r\nUser-Agent: corvane-vorn/0.1")})
    EXPECT_NE(request.find(part), std::string::npos) << part << " in " << request;
  EXPECT_EQ(request.find("Expect:"), std::string::npos);
  EXPECT_EQ(request.find("chunked"), std::string::npos);
}

// --- The plain HTTP client ---

TEST(HttpClient, GetFollowsRedirectsPostDoesNot) {
  // (The bearer header of both is checked where the program sends it.)
  CannedServer target({httpResponse(404, "final body"), httpResponse(200, "x")});
  CannedServer redirecting(
      {httpResponse(302, "", "Location: " + target.endpoint() + "/f\r\n"),
       httpResponse(303, "moved", "Location: " + target.endpoint() + "/\r\n")});
  std::string body, err;
  int32_t status = 0;
  ASSERT_TRUE(httpGet(redirecting.endpoint() + "/start", &body, &status, &err, "")) << err;
  EXPECT_EQ(status, 404) << "a non-2xx status is still an answer";
  EXPECT_EQ(body, "final body");
  ASSERT_TRUE(httpPost(redirecting.endpoint() + "/register?channel=main", "", &status, &err))
      << err;
  EXPECT_EQ(status, 303);
  const std::string post = redirecting.requests().at(1);
  EXPECT_EQ(post.rfind("POST /register?channel=main HTTP/1.1\r\n", 0), 0u) << post;
  EXPECT_NE(post.find("\r\nContent-Length: 0"), std::string::npos) << post;
  // No out string: the answer is still read and its status reported.
  ASSERT_TRUE(httpGet(target.endpoint() + "/x", nullptr, &status, nullptr, ""));
  EXPECT_EQ(status, 200);
}
