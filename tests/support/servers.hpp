#pragma once
// The local S3 test server (s3rver behind our signature check, with a
// fault-injecting layer), started on a free loopback port and stopped when
// its object goes away.
// A server that cannot start fails the test; it is never skipped.

#include "storage/http_client.hpp"
#include "storage/request_signing.hpp"

#include "support/files.hpp"
#include "support/process.hpp"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <thread>

namespace vorn_test {

inline const std::string kTestsDir = std::string(VORN_SOURCE_DIR) + "/tests/";

// One fault for requests of `method` whose URL matches the regular expression
// `path`: the first `skip` matches pass, then `times` of them fail (-1: all).
// kind: status, close, close-mid, truncate, stall, flip, flip-request, hold.
struct FaultRule {
  std::string method, path, kind;
  int skip = 0;
  int times = -1;
  int status = 500;      // for "status"
  int delayMs = 1500;    // for "stall"
  long offset = -1;      // for the flips: the byte changed (-1: the middle)
  std::string header{};  // for "status": one more header line, "Name: value"
  std::string body{};    // for "status": the body instead of an S3 error document
};

// Ready once it prints "listening on 127.0.0.1:PORT"; stopped with SIGTERM,
// SIGKILL after two seconds. With tls, it serves HTTPS as well, with a
// certificate that a certificate authority made for this server issued.
class S3Server {
 public:
  // A secret with characters that signing must encode, and the bucket the
  // fault rules name.
  static constexpr const char* kAccessKey = "vorn-access";
  static constexpr const char* kSecret = "vorn/secret+=";
  static constexpr const char* kBucket = "vorn-test";

  explicit S3Server(bool tls = false) : tls_(tls) {
    const std::string data = dir_ / "data", log = dir_ / "server.log", tlsDir = dir_ / "tls";
    std::filesystem::create_directories(data);
    const std::string script = kTestsDir + "s3/server.js";
    if ((pid_ = fork()) == 0) {
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      // Without the legacy provider, Node 20 answers listings longer than a page with 500.
      execlp("node", "node", "--openssl-legacy-provider", script.c_str(), "--port", "0", "--dir",
             data.c_str(), "--bucket", kBucket, "--access-key", kAccessKey, "--secret", kSecret,
             "--tls", tls ? tlsDir.c_str() : "", static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (std::smatch m; pid_ > 0 && std::chrono::steady_clock::now() < deadline;) {
      const std::string text = slurp(log);
      if (std::regex_search(text, m, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"))) {
        port_ = std::stoi(m[1]);
        if (std::regex_search(text, m, std::regex("https on 127\\.0\\.0\\.1:([0-9]+)")))
          tlsPort_ = std::stoi(m[1]);
        return;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        startError_ = "the S3 test server exited during start-up: " + text;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (startError_.empty()) startError_ = "the S3 test server did not start within 30 s";
  }
  ~S3Server() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  S3Server(const S3Server&) = delete;
  S3Server& operator=(const S3Server&) = delete;

  bool running() const { return pid_ > 0 && port_ > 0 && (!tls_ || tlsPort_ > 0); }
  const std::string& startError() const { return startError_; }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // With tls: the same server over HTTPS, by another host name, and the
  // authority's certificate as a PEM file and as a directory of hashed names.
  std::string tlsEndpoint(const std::string& host = "127.0.0.1") const {
    return "https://" + host + ":" + std::to_string(tlsPort_);
  }
  std::string caFile() const { return dir_ / "tls/ca.pem"; }
  std::string caDirectory() const { return dir_ / "tls/certs"; }
  // VORN_S3_* settings that point the program at this server.
  EnvChanges env() const {
    return {{"VORN_S3_ENDPOINT", endpoint()},
            {"VORN_S3_REGION", "us-east-1"},
            {"VORN_S3_BUCKET", kBucket},
            {"VORN_S3_KEY", kAccessKey},
            {"VORN_S3_SECRET", kSecret}};
  }

  // The fault layer: the same server, its requests sent under /__faults.
  std::string faultEndpoint() const { return endpoint() + "/__faults"; }
  EnvChanges faultEnv() const {
    EnvChanges changed = env();
    changed["VORN_S3_ENDPOINT"] = faultEndpoint();
    return changed;
  }
  // Replaces the rules ({}: everything passes) and starts a new log.
  bool setRules(const std::vector<FaultRule>& rules) const {
    Json::Value list(Json::arrayValue);
    for (const FaultRule& r : rules) {
      Json::Value& rule = list.append(Json::Value(Json::objectValue));
      rule["method"] = r.method;
      rule["path"] = r.path;
      rule["fault"] = r.kind;
      rule["skip"] = r.skip;
      rule["status"] = r.status;
      rule["delayMs"] = r.delayMs;
      if (r.times >= 0) rule["times"] = r.times;
      if (r.offset >= 0) rule["offset"] = Json::Int64(r.offset);
      if (!r.header.empty()) rule["header"] = r.header;
      if (!r.body.empty()) rule["body"] = r.body;
    }
    const std::string text = Json::writeString(Json::StreamWriterBuilder(), list);
    return control("rules?" + vorn::uriEncode(text, true)).isObject();
  }
  bool clear() const { return setRules({}); }
  // Requests that suffered a fault, and requests held unanswered, under the current rules.
  int faults() const {
    int total = 0;
    const Json::Value stats = control("stats");
    for (const Json::Value& hits : stats["hits"]) total += hits.asInt();
    return total;
  }
  int held() const { return control("stats")["held"].asInt(); }
  // Requests passed on to the store and not yet answered, their client gone or not.
  int forwarding() const { return control("stats")["forwarding"].asInt(); }
  // Serves the held requests whose clients still wait, as if they had passed.
  bool release() const { return control("release").isObject(); }
  // One line per request since the rules were set: "METHOD url -> fault", and
  // " [Bearer token]" when it carried one.
  std::string requestLog() const {
    std::string lines;
    const Json::Value stats = control("stats");
    for (const Json::Value& line : stats["log"]) lines += line.asString() + "\n";
    return lines;
  }

 private:
  // One control request; its answer's document, null on failure.
  Json::Value control(const std::string& what) const {
    std::string text, err;
    int32_t status = 0;
    Json::Value doc;
    if (vorn::httpGet({}, {faultEndpoint() + "/__control/" + what, "", nullptr}, &text, &status,
                      &err) &&
        status == 200)
      std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
          ->parse(text.data(), text.data() + text.size(), &doc, nullptr);
    return doc;
  }

  TempDir dir_;
  bool tls_;
  pid_t pid_ = -1;
  int port_ = 0;
  int tlsPort_ = 0;
  std::string startError_;
};

}  // namespace vorn_test
