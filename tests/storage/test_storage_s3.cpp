// The S3 provider and the plain HTTP client against the real local S3 server
// (which checks every signature and payload hash), and against a loopback
// server that answers with canned, broken or hostile replies.

#include "storage/http_client.hpp"
#include "storage/request_signing.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"
#include "storage/xml_scrape.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/http_stub.hpp"
#include "support/s3_server.hpp"
#include "support/test_data.hpp"

#include <unistd.h>

#include <curl/curl.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace vorn;
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

// --- Round trips ---

TEST_F(S3Store, RoundTripsOfOrdinaryEmptyAndEncodedKeys) {
  const std::vector<std::pair<std::string, std::string>> objects = {
      {"rt/object.bin", vorn_test::seededBytes(300000, 11)},
      {"rt/empty", ""},
      {"rt/with space", "s"},
      {"rt/plus+sign", "p"},
      {"rt/caf\xC3\xA9 \xE2\x9C\x93", "utf-8"},
      {"rt/a=b&c?d", "query characters"},
      {"rt/per%cent", "%"},
      {"rt/tilde~_.-", "unreserved"},
  };
  for (const auto& [key, data] : objects) {
    std::string err;
    ASSERT_TRUE(store_->put(key, "a stale first version", &err)) << key << ": " << err;
    ASSERT_TRUE(store_->put(key, data, &err)) << key << ": " << err;
    std::string out = "prefix:";
    ASSERT_TRUE(store_->get(key, &out, &err)) << key << ": " << err;
    EXPECT_EQ(out, "prefix:" + data) << key;
    const HeadResult h = store_->head(key, &err);
    EXPECT_TRUE(h.exists) << key;
    EXPECT_EQ(h.status, 200);
    EXPECT_EQ(h.size, static_cast<int64_t>(data.size())) << key;
  }
  // The empty prefix lists everything (one page here).
  std::vector<ObjectEntry> listed;
  ASSERT_TRUE(store_->list("", &listed, nullptr));
  std::set<std::string> names;
  for (const auto& e : listed) names.insert(e.key);
  // Listings are scraped verbatim, so "&" arrives as its entity reference.
  for (const auto& object : objects) {
    EXPECT_EQ(names.count(object.first == "rt/a=b&c?d" ? "rt/a=b&amp;c?d" : object.first), 1u)
        << object.first;
  }
  for (const auto& object : objects) {
    std::string err;
    ASSERT_TRUE(store_->remove(object.first, &err)) << err;
    const HeadResult gone = store_->head(object.first, &err);
    EXPECT_FALSE(gone.exists);
    EXPECT_EQ(gone.status, 404);
  }
}

TEST_F(S3Store, MissingObject) {
  std::string out;
  std::string err;
  EXPECT_FALSE(store_->get("nope/missing", &out, &err));
  EXPECT_EQ(err, "GET nope/missing -> HTTP 404 ");
  EXPECT_NE(out.find("NoSuchKey"), std::string::npos) << out;

  err = "untouched";
  const HeadResult h = store_->head("nope/missing", &err);
  EXPECT_FALSE(h.exists);
  EXPECT_EQ(h.status, 404);
  EXPECT_EQ(err, "untouched");
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
  for (int i = 0; i < total; ++i) {
    std::string err;
    ASSERT_TRUE(store_->put(keyOf(i), std::string(static_cast<size_t>(i % 7), 'x'), &err)) << err;
  }
  ASSERT_TRUE(store_->put("many-not-in-prefix", "x", nullptr));

  std::vector<ObjectEntry> listed{{"kept", 42}};
  std::string err;
  ASSERT_TRUE(store_->list("many/", &listed, &err)) << err;
  ASSERT_EQ(listed.size(), static_cast<size_t>(total) + 1);
  EXPECT_EQ(listed[0].key, "kept");
  for (int i = 0; i < total; ++i) {
    EXPECT_EQ(listed[i + 1].key, keyOf(i));
    EXPECT_EQ(listed[i + 1].size, i % 7);
  }
  std::vector<ObjectEntry> none;
  ASSERT_TRUE(store_->list("no-such-prefix/", &none, &err)) << err;
  EXPECT_TRUE(none.empty());
}

// --- Refusals and unreachable stores ---

TEST_F(S3Store, WrongCredentialsAreRefusedByTheServerCheck) {
  auto wrong = makeS3Provider(configFor(*server_, "not-the-secret"));
  std::string err;
  EXPECT_FALSE(wrong->put("sec/x", "data", &err));
  EXPECT_EQ(err.rfind("PUT sec/x -> HTTP 403 <?xml", 0), 0u) << err;
  EXPECT_NE(err.find("SignatureDoesNotMatch"), std::string::npos) << err;
  EXPECT_LE(err.size(), std::string("PUT sec/x -> HTTP 403 ").size() + 300);
  EXPECT_FALSE(store_->head("sec/x", nullptr).exists) << "refused put must not store";

  ASSERT_TRUE(store_->put("sec/y", "data", nullptr));
  std::string out;
  EXPECT_FALSE(wrong->get("sec/y", &out, &err));
  EXPECT_EQ(err, "GET sec/y -> HTTP 403 ");
  EXPECT_NE(out.find("SignatureDoesNotMatch"), std::string::npos);
  EXPECT_EQ(wrong->head("sec/y", &err).status, 403);
  std::vector<ObjectEntry> listed;
  EXPECT_FALSE(wrong->list("sec/", &listed, &err));
  EXPECT_EQ(err.rfind("LIST -> HTTP 403 <?xml", 0), 0u) << err;
  EXPECT_FALSE(wrong->remove("sec/y", &err));
  EXPECT_EQ(err.rfind("DELETE sec/y -> HTTP 403 ", 0), 0u) << err;
  EXPECT_TRUE(store_->head("sec/y", nullptr).exists);

  S3Config config = configFor(*server_, server_->secret());
  config.accessKey = "someone-else";
  EXPECT_FALSE(makeS3Provider(config)->put("sec/z", "data", &err));
  EXPECT_EQ(err.rfind("PUT sec/z -> HTTP 403 ", 0), 0u) << err;
  EXPECT_NE(err.find("InvalidAccessKeyId"), std::string::npos) << err;
}

TEST(S3Unreachable, EveryOperationFailsWithTheTransportText) {
  const std::string endpoint = "http://127.0.0.1:" + std::to_string(vorn_test::closedLoopbackPort());
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
      [&](std::string* e) { return httpGet(endpoint + "/x", &out, nullptr, e, ""); },
  };
  for (size_t i = 0; i < ops.size(); ++i) {
    std::string err;
    EXPECT_FALSE(ops[i](&err)) << "operation " << i;
    EXPECT_EQ(err, "curl: Couldn't connect to server") << "operation " << i;
  }
  EXPECT_EQ(h.size, -1);
  EXPECT_EQ(h.status, 0);
}

// --- Presigned URLs through the plain HTTP client ---

TEST_F(S3Store, PresignedUrlFetchesTheObjectAndRefusalsAre403) {
  const S3Config good = configFor(*server_, server_->secret());
  const std::string key = "pre/a b+c\xC3\xA9";
  const std::string data = vorn_test::seededBytes(70000, 3);
  ASSERT_TRUE(store_->put(key, data, nullptr));
  const std::string url = presignGet(good, key, 60);
  std::string body;
  int32_t status = 0;
  std::string err;
  ASSERT_TRUE(httpGet(url, &body, &status, &err, "")) << err;
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, data);
  // No out string: the answer is still read and its status reported.
  status = 0;
  ASSERT_TRUE(httpGet(url, nullptr, &status, &err, ""));
  EXPECT_EQ(status, 200);

  // The signature covers the key: the same query on another key fails.
  ASSERT_TRUE(store_->put("pre/y", "y", nullptr));
  std::string otherKey = presignGet(good, "pre/y", 60);
  otherKey.replace(otherKey.find("/pre/y?"), 7, "/pre/" + uriEncode("a b+c\xC3\xA9", true) + "?");
  const struct {
    std::string name, url, bodyHas;
  } refusals[] = {
      {"lifetime 0", presignGet(good, key, 0), "expired"},
      {"negative lifetime", presignGet(good, key, -60), ""},
      {"made an hour ago for ten minutes", presignGetAt(good, key, 600, std::time(nullptr) - 3600),
       ""},
      {"wrong secret", presignGet(configFor(*server_, "wrong"), key, 60), "SignatureDoesNotMatch"},
      {"another key", otherKey, ""},
  };
  for (const auto& r : refusals) {
    body.clear();
    ASSERT_TRUE(httpGet(r.url, &body, &status, &err, "")) << r.name << ": " << err;
    EXPECT_EQ(status, 403) << r.name << ": " << body;
    EXPECT_NE(body.find(r.bodyHas), std::string::npos) << r.name << ": " << body;
  }
}

// --- A loopback server with canned answers, for what a real store never says ---

namespace {

// Answers each connection with the next canned reply, in order; a connection
// beyond the last reply is closed unanswered.
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> answers)
      : answers_(std::move(answers)),
        stub_([this](const std::string&) {
          const size_t i = next_++;
          return i < answers_.size() ? answers_[i] : std::string();
        }) {}
  std::string endpoint() const { return stub_.base(); }
  std::vector<std::string> requests() const { return stub_.requests(); }

 private:
  const std::vector<std::string> answers_;
  std::atomic<size_t> next_{0};
  vorn_test::HttpStub stub_;
};

std::string answer(const std::string& statusLine, const std::string& body,
                   const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + statusLine + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

std::string listPage(const std::string& contents, const std::string& tail) {
  return answer("200 OK", "<?xml version=\"1.0\"?><ListBucketResult>" + contents + tail +
                              "</ListBucketResult>");
}

std::unique_ptr<StorageProvider> storeAt(const CannedServer& server) {
  return makeS3Provider(S3Config{server.endpoint(), "", "bkt", "k", "s"});
}

}  // namespace

TEST(S3HostileAnswers, EachFailsWithAClearTextAndNoRetry) {
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>";
  const std::string longBody(1000, 'E');
  const std::string loopingPage =
      listPage("<Contents><Key>a</Key><Size>1</Size></Contents>",
               "<IsTruncated>true</IsTruncated><NextContinuationToken>t</NextContinuationToken>");
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
  const struct {
    const char* name;
    std::vector<std::string> answers;
    Op op;
    std::string err;
    size_t requests;
  } cases[] = {
      {"not xml",
       {answer("200 OK", "this is not xml at all")},
       list,
       "LIST -> not a listing: this is not xml at all",
       1},
      {"html listing", {answer("502 Bad Gateway", html)}, list, "LIST -> HTTP 502 " + html, 1},
      {"html get", {answer("502 Bad Gateway", html)}, get, "GET k -> HTTP 502 ", 1},
      {"html put", {answer("502 Bad Gateway", html)}, put, "PUT k -> HTTP 502 " + html, 1},
      {"long delete error",
       {answer("500 Internal Server Error", longBody)},
       remove,
       "DELETE k -> HTTP 500 " + std::string(300, 'E'),
       1},
      {"long listing error",
       {answer("500 Internal Server Error", longBody)},
       list,
       "LIST -> HTTP 500 " + std::string(300, 'E'),
       1},
      {"not http", {"complete nonsense, not HTTP\r\n\r\n"}, get, "curl: Unsupported protocol", 1},
      {"truncated body",
       {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly part of it"},
       get,
       "curl: Transferred a partial file",
       1},
      {"redirect for get",
       {answer("301 Moved Permanently", "", "Location: http://127.0.0.1:1/\r\n")},
       get,
       "GET k -> HTTP 301 ",
       1},
      {"redirect for head",
       {answer("307 Temporary Redirect", "", "Location: http://127.0.0.1:1/\r\n")},
       head,
       "",
       1},
      {"repeated token",
       {loopingPage, loopingPage, loopingPage},
       list,
       "LIST -> truncated page without progress (token t)",
       2},
  };
  for (const auto& c : cases) {
    CannedServer server(c.answers);
    body.clear();
    std::string err;
    EXPECT_FALSE(c.op(*storeAt(server), &err)) << c.name;
    EXPECT_EQ(err, c.err) << c.name;
    EXPECT_EQ(server.requests().size(), c.requests) << c.name;
  }
}

TEST(S3Wire, ListingRequestsAndPages) {
  CannedServer server(
      {listPage(
           "<Contents><Key>p/1</Key><Size>5</Size></Contents>",
           "<IsTruncated>true</IsTruncated><NextContinuationToken>a/b+c=</NextContinuationToken>"),
       listPage("<Contents><Key>p/2</Key><Size>7</Size></Contents>",
                "<IsTruncated>false</IsTruncated>"),
       listPage("", "<IsTruncated>false</IsTruncated>"),
       listPage("<Contents><Key>a</Key></Contents>", "<IsTruncated>true</IsTruncated>")});
  auto store = storeAt(server);
  std::vector<ObjectEntry> out;
  std::string err;
  ASSERT_TRUE(store->list("p/", &out, &err)) << err;
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].key, "p/2");
  EXPECT_EQ(out[1].size, 7);
  ASSERT_TRUE(store->list("", &out, &err)) << err;
  EXPECT_EQ(out.size(), 2u);
  // Truncated without a token ends the listing; a missing size reads as 0.
  ASSERT_TRUE(store->list("", &out, &err)) << err;
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].key, "a");
  EXPECT_EQ(out[2].size, 0);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].rfind("GET /bkt?list-type=2&prefix=p%2F HTTP/1.1\r\n", 0), 0u)
      << requests[0];
  EXPECT_EQ(requests[1].rfind(
                "GET /bkt?continuation-token=a%2Fb%2Bc%3D&list-type=2&prefix=p%2F HTTP/1.1\r\n", 0),
            0u)
      << requests[1];
  EXPECT_EQ(requests[2].rfind("GET /bkt?list-type=2 HTTP/1.1\r\n", 0), 0u) << requests[2];
  EXPECT_NE(requests[0].find("\r\nx-amz-content-sha256: " + sha256Hex("")), std::string::npos);
}

TEST(S3Wire, PutCarriesTheSignedHeaders) {
  CannedServer server({answer("200 OK", "")});
  ASSERT_TRUE(storeAt(server)->put("dir/a b", "payload", nullptr));
  const std::string request = server.requests().at(0);
  EXPECT_EQ(request.rfind("PUT /bkt/dir/a%20b HTTP/1.1\r\n", 0), 0u) << request;
  for (const std::string& part :
       {std::string("\r\nHost: 127.0.0.1:"), "\r\nx-amz-content-sha256: " + sha256Hex("payload"),
        std::string("\r\nAuthorization: AWS4-HMAC-SHA256 Credential=k/"),
        std::string("/auto/s3/aws4_request, SignedHeaders=host;x-amz-content-sha256;x-amz-date"),
        std::string("\r\nContent-Length: 7"), std::string("\r\nUser-Agent: corvane-vorn/0.1")}) {
    EXPECT_NE(request.find(part), std::string::npos) << part << " in " << request;
  }
  EXPECT_EQ(request.find("Expect:"), std::string::npos);
  EXPECT_EQ(request.find("chunked"), std::string::npos);
}

// --- The plain HTTP client ---

TEST(HttpClient, GetFollowsRedirectsAndSendsTheBearerTokenVerbatim) {
  CannedServer target({answer("404 Not Found", "final body")});
  CannedServer redirecting(
      {answer("302 Found", "", "Location: " + target.endpoint() + "/final\r\n")});
  std::string body;
  int32_t status = 0;
  std::string err;
  ASSERT_TRUE(httpGet(redirecting.endpoint() + "/start", &body, &status, &err, " tok en ")) << err;
  EXPECT_EQ(status, 404) << "a non-2xx status is still an answer";
  EXPECT_EQ(body, "final body");
  const std::string first = redirecting.requests().at(0);
  EXPECT_NE(first.find("\r\nAuthorization: Bearer  tok en \r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\nUser-Agent: corvane-vorn/0.1"), std::string::npos);

  CannedServer anonymous({answer("200 OK", "x")});
  ASSERT_TRUE(httpGet(anonymous.endpoint() + "/x", &body, &status, nullptr, ""));
  EXPECT_EQ(anonymous.requests().at(0).find("Authorization"), std::string::npos);
}

TEST(HttpClient, PostIsEmptyDoesNotFollowRedirectsAndSendsATokenOnlyIfGiven) {
  CannedServer server({answer("303 See Other", "moved", "Location: http://127.0.0.1:1/\r\n"),
                       answer("204 No Content", "")});
  int32_t status = 0;
  std::string err;
  ASSERT_TRUE(httpPost(server.endpoint() + "/register?channel=main", "t0k", &status, &err)) << err;
  EXPECT_EQ(status, 303);
  ASSERT_TRUE(httpPost(server.endpoint() + "/r", "", &status, nullptr));
  EXPECT_EQ(status, 204);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("POST /register?channel=main HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nContent-Length: 0"), std::string::npos);
  EXPECT_NE(requests[0].find("\r\nAuthorization: Bearer t0k"), std::string::npos);
  EXPECT_EQ(requests[1].find("Authorization"), std::string::npos);
}

// --- Scraping the listing answer ---

TEST(XmlScrape, TagsEntriesAndTokens) {
  size_t end = 0;
  EXPECT_EQ(extractTag("<a>x</a><a>y</a>", "a", 0, &end), "x");
  EXPECT_EQ(extractTag("<a>x</a><a>y</a>", "a", end, &end), "y");
  EXPECT_EQ(end, 16u);
  EXPECT_EQ(extractTag("<Key> a&amp;b <![CDATA[c]]></Key>", "Key", 0, &end),
            " a&amp;b <![CDATA[c]]>");
  for (const char* body : {"<a>never closed", "<a attr=\"1\">x</a>"}) {
    EXPECT_EQ(extractTag(body, "a", 0, &end), "") << body;
    EXPECT_EQ(end, std::string::npos) << body;
  }
  // Sizes are read as leading decimal digits; a key without its own size
  // takes the first one after it, and the next key then has none.
  std::vector<ObjectEntry> out{{"old", 1}};
  EXPECT_EQ(scanListPage("<Contents><Key>a</Key><Size>12</Size></Contents>"
                         "<Contents><Key>b</Key><Size>-3x</Size></Contents>"
                         "<Contents><Key>c</Key><Size>junk</Size></Contents>"
                         "<Contents><Key>d</Key></Contents>",
                         &out),
            4u);
  EXPECT_EQ(scanListPage("<Key>e</Key><Key>f</Key><Size>9</Size><Key>g</Key><Size>4</Size>", &out),
            2u);
  std::vector<std::pair<std::string, int64_t>> got;
  for (const ObjectEntry& e : out) got.emplace_back(e.key, e.size);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, int64_t>>{
                     {"old", 1}, {"a", 12}, {"b", -3}, {"c", 0}, {"d", 0}, {"e", 9}, {"g", 4}}));

  const std::string token = "<NextContinuationToken>t==</NextContinuationToken>";
  EXPECT_EQ(nextContinuationToken("<IsTruncated>true</IsTruncated>" + token), "t==");
  EXPECT_EQ(nextContinuationToken("<IsTruncated>false</IsTruncated>" + token), "");
  EXPECT_EQ(nextContinuationToken("<IsTruncated>TRUE</IsTruncated>" + token), "");
  EXPECT_EQ(nextContinuationToken("<IsTruncated>true</IsTruncated>"), "");
}
