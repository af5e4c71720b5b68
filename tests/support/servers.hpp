#pragma once
// The project's own Node test servers, each started on a free loopback port
// and stopped when its object goes away: the local S3 test server (s3rver
// behind our signature check) and the fault-injecting proxy in front of it.
// A server that cannot start fails the test; it is never skipped.

#include "support/files.hpp"
#include "support/process.hpp"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace vorn_test {

// `node options... script args...`, ready once it prints "listening on 127.0.0.1:PORT";
// stopped with SIGTERM (SIGKILL after two seconds).
class NodeServer {
 public:
  NodeServer(const std::vector<std::string>& nodeOptions, const std::string& script,
             const std::vector<std::string>& args, const std::string& outputPath);
  ~NodeServer();
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  bool running() const { return pid_ > 0 && port_ > 0; }
  const std::string& startError() const { return startError_; }
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string startError_;
};

class S3Server {
 public:
  S3Server();
  bool running() const { return server_->running(); }
  const std::string& startError() const { return server_->startError(); }
  std::string endpoint() const { return server_->base(); }
  // VORN_S3_* settings that point the program at this server.
  EnvChanges env() const;

  // A secret with characters that signing must encode, and a bucket the
  // proxy's patterns name.
  static constexpr const char* kAccessKey = "vorn-access";
  static constexpr const char* kSecret = "vorn/secret+=";
  static constexpr const char* kBucket = "vorn-test";

 private:
  TempDir dir_;
  std::unique_ptr<NodeServer> server_;
};

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

class FaultProxy {
 public:
  explicit FaultProxy(const S3Server& upstream);
  bool running() const { return server_->running(); }
  const std::string& startError() const { return server_->startError(); }
  std::string endpoint() const { return server_->base(); }
  // The upstream's store settings with the endpoint pointing here.
  EnvChanges env() const;

  // Replaces the rules ({}: everything passes) and starts a new log.
  bool setRules(const std::vector<FaultRule>& rules);
  bool clear() { return setRules({}); }
  // Requests that suffered a fault under the current rules.
  int faults() const;
  // Requests held unanswered under the current rules.
  int held() const;
  // One line per request since the rules were set: "METHOD url -> fault", and
  // " [Bearer token]" when the request carried one.
  std::string requestLog() const;

 private:
  std::string stats() const;
  const S3Server& upstream_;
  TempDir dir_;
  std::unique_ptr<NodeServer> server_;
};

}  // namespace vorn_test
