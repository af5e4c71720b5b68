#include "support/s3_server.hpp"

#include "support/test_data.hpp"

#include <filesystem>

namespace vorn_test {

S3Server::S3Server(const std::string& accessKey, const std::string& secret,
                   const std::string& bucket)
    : accessKey_(accessKey), secret_(secret), bucket_(bucket) {
  const std::string dataDir = dir_ / "data";
  std::filesystem::create_directories(dataDir);
  // Without the legacy provider, Node 20 answers listings longer than a page with 500.
  server_ = std::make_unique<NodeServer>(
      std::vector<std::string>{"--openssl-legacy-provider"},
      std::string(VORN_SOURCE_DIR) + "/tests/s3/server.js",
      std::vector<std::string>{"--port", "0", "--dir", dataDir, "--bucket", bucket_,
                               "--access-key", accessKey_, "--secret", secret_},
      dir_ / "server.log");
}

std::string S3Server::endpoint() const { return server_->base(); }

std::string S3Server::log() const { return slurp(dir_ / "server.log"); }

EnvChanges S3Server::env() const {
  return {{"VORN_S3_ENDPOINT", endpoint()},
          {"VORN_S3_REGION", std::string("us-east-1")},
          {"VORN_S3_BUCKET", bucket_},
          {"VORN_S3_KEY", accessKey_},
          {"VORN_S3_SECRET", secret_}};
}

}  // namespace vorn_test
