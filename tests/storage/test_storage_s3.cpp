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

#include "support/s3_server.hpp"
#include "support/test_data.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <atomic>
#include <chrono>
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

// A port on which nothing listens: bound, then closed again.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

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

TEST_F(S3Store, PutGetHeadRemoveRoundTrip) {
  const std::string data = vorn_test::seededBytes(300000, 11);
  std::string err;
  ASSERT_TRUE(store_->put("rt/object.bin", data, &err)) << err;

  std::string out;
  ASSERT_TRUE(store_->get("rt/object.bin", &out, &err)) << err;
  EXPECT_EQ(out, data);

  const HeadResult h = store_->head("rt/object.bin", &err);
  EXPECT_TRUE(h.exists);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.size, 300000);

  ASSERT_TRUE(store_->remove("rt/object.bin", &err)) << err;
  const HeadResult gone = store_->head("rt/object.bin", &err);
  EXPECT_FALSE(gone.exists);
  EXPECT_EQ(gone.status, 404);
}

TEST_F(S3Store, PutReplacesAndGetAppends) {
  ASSERT_TRUE(store_->put("rt/replace", "first version", nullptr));
  ASSERT_TRUE(store_->put("rt/replace", "second", nullptr));
  std::string out = "prefix:";
  ASSERT_TRUE(store_->get("rt/replace", &out, nullptr));
  EXPECT_EQ(out, "prefix:second");
}

TEST_F(S3Store, ZeroByteObject) {
  std::string err;
  ASSERT_TRUE(store_->put("rt/empty", "", &err)) << err;
  const HeadResult h = store_->head("rt/empty", &err);
  EXPECT_TRUE(h.exists);
  EXPECT_EQ(h.size, 0);
  std::string out;
  ASSERT_TRUE(store_->get("rt/empty", &out, &err)) << err;
  EXPECT_EQ(out, "");
}

TEST_F(S3Store, KeysThatNeedEncoding) {
  const std::vector<std::string> keys = {
      "enc/with space", "enc/plus+sign", "enc/caf\xC3\xA9 \xE2\x9C\x93",
      "enc/a=b&c?d",    "enc/per%cent",  "enc/tilde~_.-"};
  for (const std::string& key : keys) {
    std::string err;
    ASSERT_TRUE(store_->put(key, "body of " + key, &err)) << key << ": " << err;
    std::string out;
    ASSERT_TRUE(store_->get(key, &out, &err)) << key << ": " << err;
    EXPECT_EQ(out, "body of " + key);
    EXPECT_TRUE(store_->head(key, nullptr).exists) << key;
  }
  std::vector<ObjectEntry> listed;
  ASSERT_TRUE(store_->list("enc/", &listed, nullptr));
  std::set<std::string> names;
  for (const auto& e : listed) names.insert(e.key);
  // Listings are scraped verbatim, so "&" arrives as its entity reference.
  for (std::string key : keys) {
    if (key == "enc/a=b&c?d") key = "enc/a=b&amp;c?d";
    EXPECT_EQ(names.count(key), 1u) << key;
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

// --- Listing ---

TEST_F(S3Store, ListAcrossPagesAppendsEverything) {
  // 1000 keys fill the server's first page; a few more need a second.
  const int total = 1004;
  for (int i = 0; i < total; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "many/k%05d", i);
    std::string err;
    ASSERT_TRUE(store_->put(key, std::string(static_cast<size_t>(i % 7), 'x'), &err)) << err;
  }
  ASSERT_TRUE(store_->put("many-not-in-prefix", "x", nullptr));

  std::vector<ObjectEntry> listed{{"kept", 42}};
  std::string err;
  ASSERT_TRUE(store_->list("many/", &listed, &err)) << err;
  ASSERT_EQ(listed.size(), static_cast<size_t>(total) + 1);
  EXPECT_EQ(listed[0].key, "kept");
  for (int i = 0; i < total; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "many/k%05d", i);
    EXPECT_EQ(listed[i + 1].key, key);
    EXPECT_EQ(listed[i + 1].size, i % 7);
  }
}

TEST_F(S3Store, ListOfEmptyPrefixAndOfNothing) {
  ASSERT_TRUE(store_->put("lst/one", "1", nullptr));
  std::vector<ObjectEntry> all;
  ASSERT_TRUE(store_->list("", &all, nullptr));
  bool found = false;
  for (const auto& e : all) found |= e.key == "lst/one";
  EXPECT_TRUE(found);

  std::vector<ObjectEntry> none;
  std::string err;
  ASSERT_TRUE(store_->list("no-such-prefix/", &none, &err)) << err;
  EXPECT_TRUE(none.empty());
}

// --- Refusals and unreachable stores ---

TEST_F(S3Store, WrongSecretIsRefusedByTheServerCheck) {
  auto wrong = makeS3Provider(configFor(*server_, "not-the-secret"));
  std::string err;
  EXPECT_FALSE(wrong->put("sec/x", "data", &err));
  EXPECT_EQ(err.rfind("PUT sec/x -> HTTP 403 <?xml", 0), 0u) << err;
  EXPECT_NE(err.find("SignatureDoesNotMatch"), std::string::npos) << err;
  EXPECT_LE(err.size(), std::string("PUT sec/x -> HTTP 403 ").size() + 300);
  EXPECT_FALSE(store_->head("sec/x", nullptr).exists) << "refused put must not store";

  ASSERT_TRUE(store_->put("sec/y", "data", nullptr));
  std::string out;
  err.clear();
  EXPECT_FALSE(wrong->get("sec/y", &out, &err));
  EXPECT_EQ(err, "GET sec/y -> HTTP 403 ");
  EXPECT_NE(out.find("SignatureDoesNotMatch"), std::string::npos);

  const HeadResult h = wrong->head("sec/y", &err);
  EXPECT_FALSE(h.exists);
  EXPECT_EQ(h.status, 403);

  err.clear();
  std::vector<ObjectEntry> listed;
  EXPECT_FALSE(wrong->list("sec/", &listed, &err));
  EXPECT_EQ(err.rfind("LIST -> HTTP 403 <?xml", 0), 0u) << err;

  err.clear();
  EXPECT_FALSE(wrong->remove("sec/y", &err));
  EXPECT_EQ(err.rfind("DELETE sec/y -> HTTP 403 ", 0), 0u) << err;
  EXPECT_TRUE(store_->head("sec/y", nullptr).exists);
}

TEST_F(S3Store, WrongAccessKeyIsRefused) {
  S3Config config = configFor(*server_, server_->secret());
  config.accessKey = "someone-else";
  std::string err;
  EXPECT_FALSE(makeS3Provider(config)->put("sec/z", "data", &err));
  EXPECT_EQ(err.rfind("PUT sec/z -> HTTP 403 ", 0), 0u) << err;
  EXPECT_NE(err.find("InvalidAccessKeyId"), std::string::npos) << err;
}

TEST(S3Unreachable, EveryOperationFailsWithTheTransportText) {
  const std::string port = std::to_string(closedPort());
  auto store = makeS3Provider(S3Config{"http://127.0.0.1:" + port, "", "b", "k", "s"});
  const std::string refused = "curl: Couldn't connect to server";
  std::string err;
  EXPECT_FALSE(store->put("k", "x", &err));
  EXPECT_EQ(err, refused);
  err.clear();
  std::string out;
  EXPECT_FALSE(store->get("k", &out, &err));
  EXPECT_EQ(err, refused);
  err.clear();
  const HeadResult h = store->head("k", &err);
  EXPECT_FALSE(h.exists);
  EXPECT_EQ(h.size, -1);
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(err, refused);
  err.clear();
  std::vector<ObjectEntry> listed;
  EXPECT_FALSE(store->list("", &listed, &err));
  EXPECT_EQ(err, refused);
  err.clear();
  EXPECT_FALSE(store->remove("k", &err));
  EXPECT_EQ(err, refused);
  err.clear();
  EXPECT_FALSE(httpGet("http://127.0.0.1:" + port + "/x", &out, nullptr, &err, ""));
  EXPECT_EQ(err, refused);
}

// --- Presigned URLs through the plain HTTP client ---

TEST_F(S3Store, PresignedUrlFetchesTheObject) {
  const std::string key = "pre/a b+c\xC3\xA9";
  const std::string data = vorn_test::seededBytes(70000, 3);
  ASSERT_TRUE(store_->put(key, data, nullptr));
  const std::string url = presignGet(configFor(*server_, server_->secret()), key, 60);
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
}

TEST_F(S3Store, PresignedUrlRefusals) {
  ASSERT_TRUE(store_->put("pre/x", "x", nullptr));
  const S3Config good = configFor(*server_, server_->secret());
  int32_t status = 0;
  std::string body;

  ASSERT_TRUE(httpGet(presignGet(good, "pre/x", 0), &body, &status, nullptr, ""));
  EXPECT_EQ(status, 403) << body;
  EXPECT_NE(body.find("expired"), std::string::npos) << body;

  body.clear();
  ASSERT_TRUE(httpGet(presignGet(good, "pre/x", -60), &body, &status, nullptr, ""));
  EXPECT_EQ(status, 403) << body;

  body.clear();
  ASSERT_TRUE(
      httpGet(presignGet(configFor(*server_, "wrong"), "pre/x", 60), &body, &status, nullptr, ""));
  EXPECT_EQ(status, 403);
  EXPECT_NE(body.find("SignatureDoesNotMatch"), std::string::npos) << body;

  // A URL made an hour ago for ten minutes.
  body.clear();
  ASSERT_TRUE(httpGet(presignGetAt(good, "pre/x", 600, std::time(nullptr) - 3600), &body, &status,
                      nullptr, ""));
  EXPECT_EQ(status, 403);

  // The signature covers the key: the same query on another key fails.
  const std::string url = presignGet(good, "pre/x", 60);
  std::string other = url;
  other.replace(other.find("/pre/x?"), 7, "/pre/y?");
  ASSERT_TRUE(store_->put("pre/y", "y", nullptr));
  ASSERT_TRUE(httpGet(other, &body, &status, nullptr, ""));
  EXPECT_EQ(status, 403);
}

// --- A loopback server with canned answers, for what a real store never says ---

namespace {

class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> answers) : answers_(std::move(answers)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listen_, 8);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CannedServer() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  // One answer per connection, in order; stops after the last or when asked.
  void serve() {
    for (const std::string& answer : answers_) {
      int fd = -1;
      while (!stop_ && fd < 0) {
        pollfd p{listen_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) fd = accept(listen_, nullptr, nullptr);
      }
      if (fd < 0) return;
      std::string head = readHead(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head);
      }
      size_t sent = 0;
      while (sent < answer.size()) {
        ssize_t n = send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      shutdown(fd, SHUT_RDWR);
      close(fd);
    }
  }

  // The request line and headers; a body is left unread.
  static std::string readHead(int fd) {
    std::string data;
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t end = std::string::npos;
    while (end == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
      end = data.find("\r\n\r\n");
    }
    // Every header line, the last one included, ends with CRLF.
    return end == std::string::npos ? data : data.substr(0, end + 2);
  }

  std::vector<std::string> answers_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
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

TEST(S3HostileAnswers, ListSendsTheContinuationTokenEncoded) {
  CannedServer server({listPage("<Contents><Key>p/1</Key><Size>5</Size></Contents>",
                                "<IsTruncated>true</IsTruncated><NextContinuationToken>a/b+c="
                                "</NextContinuationToken>"),
                       listPage("<Contents><Key>p/2</Key><Size>7</Size></Contents>",
                                "<IsTruncated>false</IsTruncated>")});
  std::vector<ObjectEntry> out;
  std::string err;
  ASSERT_TRUE(storeAt(server)->list("p/", &out, &err)) << err;
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].key, "p/2");
  EXPECT_EQ(out[1].size, 7);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /bkt?list-type=2&prefix=p%2F HTTP/1.1\r\n", 0), 0u)
      << requests[0];
  EXPECT_EQ(requests[1].rfind(
                "GET /bkt?continuation-token=a%2Fb%2Bc%3D&list-type=2&prefix=p%2F HTTP/1.1\r\n", 0),
            0u)
      << requests[1];
  EXPECT_NE(requests[0].find("\r\nx-amz-content-sha256: "
                             "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
            std::string::npos);
}

TEST(S3HostileAnswers, EmptyPrefixSendsOnlyListType) {
  CannedServer server({listPage("", "<IsTruncated>false</IsTruncated>")});
  std::vector<ObjectEntry> out;
  ASSERT_TRUE(storeAt(server)->list("", &out, nullptr));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(server.requests().at(0).rfind("GET /bkt?list-type=2 HTTP/1.1\r\n", 0), 0u);
}

TEST(S3HostileAnswers, TruncatedWithoutTokenEndsTheListing) {
  CannedServer server(
      {listPage("<Contents><Key>a</Key></Contents>", "<IsTruncated>true</IsTruncated>")});
  std::vector<ObjectEntry> out;
  std::string err;
  ASSERT_TRUE(storeAt(server)->list("", &out, &err)) << err;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size, 0);
}

TEST(S3HostileAnswers, RepeatedTokenStopsInsteadOfLooping) {
  const std::string page = listPage("<Contents><Key>a</Key><Size>1</Size></Contents>",
                                    "<IsTruncated>true</IsTruncated><NextContinuationToken>t"
                                    "</NextContinuationToken>");
  CannedServer server({page, page, page});
  std::vector<ObjectEntry> out;
  std::string err;
  EXPECT_FALSE(storeAt(server)->list("", &out, &err));
  EXPECT_EQ(err, "LIST -> truncated page without progress (token t)");
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST(S3HostileAnswers, GarbageAndHtmlAnswers) {
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>";
  CannedServer server({answer("200 OK", "this is not xml at all"), answer("502 Bad Gateway", html),
                       answer("502 Bad Gateway", html), answer("502 Bad Gateway", html),
                       "complete nonsense, not HTTP\r\n\r\n",
                       "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly "
                       "part of it"});
  auto store = storeAt(server);
  std::vector<ObjectEntry> out;
  std::string err;
  EXPECT_FALSE(store->list("", &out, &err));
  EXPECT_EQ(err, "LIST -> not a listing: this is not xml at all");

  EXPECT_FALSE(store->list("", &out, &err));
  EXPECT_EQ(err, "LIST -> HTTP 502 " + html);

  std::string body;
  EXPECT_FALSE(store->get("k", &body, &err));
  EXPECT_EQ(err, "GET k -> HTTP 502 ");
  EXPECT_EQ(body, html);

  EXPECT_FALSE(store->put("k", "data", &err));
  EXPECT_EQ(err, "PUT k -> HTTP 502 " + html);

  err.clear();
  EXPECT_FALSE(store->get("k", &body, &err));
  EXPECT_EQ(err.rfind("curl: ", 0), 0u) << err;

  err.clear();
  body.clear();
  EXPECT_FALSE(store->get("k", &body, &err));
  EXPECT_EQ(err, "curl: Transferred a partial file");
  EXPECT_TRUE(out.empty());
}

TEST(S3HostileAnswers, ErrorSnippetIsCutAt300Bytes) {
  const std::string long_body(1000, 'E');
  CannedServer server({answer("500 Internal Server Error", long_body),
                       answer("500 Internal Server Error", long_body)});
  auto store = storeAt(server);
  std::string err;
  EXPECT_FALSE(store->remove("k", &err));
  EXPECT_EQ(err, "DELETE k -> HTTP 500 " + std::string(300, 'E'));
  std::vector<ObjectEntry> out;
  EXPECT_FALSE(store->list("", &out, &err));
  EXPECT_EQ(err, "LIST -> HTTP 500 " + std::string(300, 'E'));
}

TEST(S3HostileAnswers, RedirectIsNotFollowedByTheProvider) {
  CannedServer server({answer("301 Moved Permanently", "", "Location: http://127.0.0.1:1/\r\n"),
                       answer("307 Temporary Redirect", "", "Location: http://127.0.0.1:1/\r\n")});
  auto store = storeAt(server);
  std::string out;
  std::string err;
  EXPECT_FALSE(store->get("k", &out, &err));
  EXPECT_EQ(err, "GET k -> HTTP 301 ");
  const HeadResult h = store->head("k", &err);
  EXPECT_FALSE(h.exists);
  EXPECT_EQ(h.status, 307);
}

TEST(S3HostileAnswers, RequestsCarryTheSignedHeaders) {
  CannedServer server({answer("200 OK", "")});
  ASSERT_TRUE(storeAt(server)->put("dir/a b", "payload", nullptr));
  const std::string request = server.requests().at(0);
  EXPECT_EQ(request.rfind("PUT /bkt/dir/a%20b HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nHost: 127.0.0.1:"), std::string::npos);
  EXPECT_NE(request.find("\r\nx-amz-content-sha256: " + sha256Hex("payload")), std::string::npos);
  EXPECT_NE(request.find("\r\nAuthorization: AWS4-HMAC-SHA256 Credential=k/"), std::string::npos);
  EXPECT_NE(
      request.find("/auto/s3/aws4_request, SignedHeaders=host;x-amz-content-sha256;x-amz-date"),
      std::string::npos);
  EXPECT_NE(request.find("\r\nContent-Length: 7"), std::string::npos);
  EXPECT_NE(request.find("\r\nUser-Agent: corvane-vorn/0.1"), std::string::npos);
  EXPECT_EQ(request.find("Expect:"), std::string::npos);
  EXPECT_EQ(request.find("chunked"), std::string::npos);
}

// --- The plain HTTP client ---

TEST(HttpClient, GetFollowsRedirectsAndSendsTheBearerTokenVerbatim) {
  CannedServer target({answer("200 OK", "final body")});
  CannedServer redirecting(
      {answer("302 Found", "", "Location: " + target.endpoint() + "/final\r\n")});
  std::string body;
  int32_t status = 0;
  std::string err;
  ASSERT_TRUE(httpGet(redirecting.endpoint() + "/start", &body, &status, &err, " tok en ")) << err;
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "final body");
  const std::string first = redirecting.requests().at(0);
  EXPECT_NE(first.find("\r\nAuthorization: Bearer  tok en \r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\nUser-Agent: corvane-vorn/0.1"), std::string::npos);
}

TEST(HttpClient, NonSuccessStatusIsStillAnAnswer) {
  CannedServer server({answer("404 Not Found", "nope")});
  std::string body;
  int32_t status = 0;
  ASSERT_TRUE(httpGet(server.endpoint() + "/x", &body, &status, nullptr, ""));
  EXPECT_EQ(status, 404);
  EXPECT_EQ(body, "nope");
  EXPECT_EQ(server.requests().at(0).find("Authorization"), std::string::npos);
}

TEST(HttpClient, PostIsEmptyAndDoesNotFollowRedirects) {
  CannedServer server({answer("303 See Other", "moved", "Location: http://127.0.0.1:1/\r\n")});
  int32_t status = 0;
  std::string err;
  ASSERT_TRUE(httpPost(server.endpoint() + "/register?channel=main", "t0k", &status, &err)) << err;
  EXPECT_EQ(status, 303);
  const std::string request = server.requests().at(0);
  EXPECT_EQ(request.rfind("POST /register?channel=main HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nContent-Length: 0"), std::string::npos);
  EXPECT_NE(request.find("\r\nAuthorization: Bearer t0k"), std::string::npos);
}

TEST(HttpClient, PostWithoutTokenSendsNoAuthorization) {
  CannedServer server({answer("204 No Content", "")});
  int32_t status = 0;
  ASSERT_TRUE(httpPost(server.endpoint() + "/r", "", &status, nullptr));
  EXPECT_EQ(status, 204);
  EXPECT_EQ(server.requests().at(0).find("Authorization"), std::string::npos);
}

// --- Scraping the listing answer ---

TEST(XmlScrape, ExtractTagBasics) {
  size_t end = 0;
  EXPECT_EQ(extractTag("<a>x</a><a>y</a>", "a", 0, &end), "x");
  EXPECT_EQ(end, 8u);
  EXPECT_EQ(extractTag("<a>x</a><a>y</a>", "a", end, &end), "y");
  EXPECT_EQ(end, 16u);
  EXPECT_EQ(extractTag("<a>x</a>", "a", 16, &end), "");
  EXPECT_EQ(end, std::string::npos);
  EXPECT_EQ(extractTag("<a>never closed", "a", 0, &end), "");
  EXPECT_EQ(end, std::string::npos);
  EXPECT_EQ(extractTag("<a attr=\"1\">x</a>", "a", 0, &end), "");
  EXPECT_EQ(end, std::string::npos);
  EXPECT_EQ(extractTag("<Key> a&amp;b <![CDATA[c]]></Key>", "Key", 0, &end),
            " a&amp;b <![CDATA[c]]>");
  EXPECT_EQ(extractTag("<Key></Key>", "Key", 0, &end), "");
  EXPECT_EQ(end, 11u);
}

TEST(XmlScrape, ListPageEntries) {
  std::vector<ObjectEntry> out{{"old", 1}};
  const std::string page =
      "<Contents><Key>a</Key><Size>12</Size></Contents>"
      "<Contents><Key>b</Key><Size>-3x</Size></Contents>"
      "<Contents><Key>c</Key><Size>junk</Size></Contents>"
      "<Contents><Key>d</Key></Contents>";
  EXPECT_EQ(scanListPage(page, &out), 4u);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[1].key, "a");
  EXPECT_EQ(out[1].size, 12);
  EXPECT_EQ(out[2].size, -3);
  EXPECT_EQ(out[3].size, 0);
  EXPECT_EQ(out[4].key, "d");
  EXPECT_EQ(out[4].size, 0);
}

TEST(XmlScrape, SizeIsTakenFromTheFirstSizeAfterTheKey) {
  std::vector<ObjectEntry> out;
  scanListPage("<Key>a</Key><Key>b</Key><Size>9</Size><Key>c</Key><Size>4</Size>", &out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].key, "a");
  EXPECT_EQ(out[0].size, 9);
  EXPECT_EQ(out[1].key, "c");
  EXPECT_EQ(out[1].size, 4);
}

TEST(XmlScrape, ContinuationToken) {
  EXPECT_EQ(nextContinuationToken("<IsTruncated>true</IsTruncated><NextContinuationToken>t=="
                                  "</NextContinuationToken>"),
            "t==");
  EXPECT_EQ(nextContinuationToken("<IsTruncated>false</IsTruncated><NextContinuationToken>t"
                                  "</NextContinuationToken>"),
            "");
  EXPECT_EQ(nextContinuationToken("<IsTruncated>TRUE</IsTruncated><NextContinuationToken>t"
                                  "</NextContinuationToken>"),
            "");
  EXPECT_EQ(nextContinuationToken("<IsTruncated>true</IsTruncated>"), "");
}
