#pragma once
// The fault-injecting proxy (tests/faults/proxy.js) in front of a local S3 test
// server: everything passes until the test sets rules, then matching requests
// fail the way the rule says. Stopped when the object goes away.

#include "support/node_server.hpp"
#include "support/process.hpp"
#include "support/s3_server.hpp"
#include "support/temp_dir.hpp"

#include <memory>
#include <string>

namespace vorn_test {

// One fault for requests of `method` whose URL matches the regular expression
// `path`; the first `skip` matches pass, then `times` of them fail (-1: all).
// kind: status, close, close-mid, truncate, stall, flip, flip-request, hold.
struct FaultRule {
  std::string method;
  std::string path;
  std::string kind;
  int skip = 0;
  int times = -1;
  int status = 500;     // for "status"
  int delayMs = 1500;   // for "stall"
  long offset = -1;     // for the flips: the byte changed (-1: the middle)
  int retryAfter = -1;  // for "status": a Retry-After header of this many seconds
};

class FaultProxy {
 public:
  explicit FaultProxy(const S3Server& upstream);
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  bool running() const { return server_->running(); }
  const std::string& startError() const { return server_->startError(); }
  std::string endpoint() const { return server_->base(); }
  // The upstream server's store settings with the endpoint pointing here.
  EnvChanges env() const;

  // Replaces the rules (an empty list lets everything pass) and starts a new
  // log. False when the proxy refused them.
  bool setRules(const std::vector<FaultRule>& rules);
  bool clear() { return setRules({}); }
  // Requests held since the rules were set.
  int held() const;
  // Requests that suffered a fault under the current rules.
  int faults() const;
  // Waits until held() reaches count, at most timeoutSeconds; true when it did.
  bool waitForHeld(int count, int timeoutSeconds = 30) const;
  // The requests since the rules were set: one "METHOD url -> fault" line each.
  std::string requestLog() const;

 private:
  std::string stats() const;
  const S3Server& upstream_;
  TempDir dir_;
  std::unique_ptr<NodeServer> server_;
};

}  // namespace vorn_test
