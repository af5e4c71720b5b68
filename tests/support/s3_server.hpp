#pragma once
// The local S3-compatible test server (s3rver behind our signature check),
// started on a free loopback port with a fresh directory and bucket, and
// stopped when the object goes away. A server that cannot start fails the
// test; it is never skipped.

#include "support/node_server.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <memory>
#include <string>

namespace vorn_test {

class S3Server {
 public:
  explicit S3Server(const std::string& accessKey = "S3RVER", const std::string& secret = "S3RVER",
                    const std::string& bucket = "vorn-test");
  S3Server(const S3Server&) = delete;
  S3Server& operator=(const S3Server&) = delete;

  bool running() const { return server_->running(); }
  const std::string& startError() const { return server_->startError(); }
  int port() const { return server_->port(); }
  std::string endpoint() const;  // http://127.0.0.1:PORT
  const std::string& bucket() const { return bucket_; }
  const std::string& accessKey() const { return accessKey_; }
  const std::string& secret() const { return secret_; }
  // The server's log (its standard output and error).
  std::string log() const;

  // VORN_S3_* settings that point the program at this server.
  EnvChanges env() const;

 private:
  TempDir dir_;
  std::string accessKey_, secret_, bucket_;
  std::unique_ptr<NodeServer> server_;
};

}  // namespace vorn_test
