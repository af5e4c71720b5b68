// Helpers shared by the verb tests that run the program against the local S3
// test server.
#pragma once

#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

#include "support/process.hpp"
#include "support/s3_server.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vorn_test {

// What any store verb prints when no VORN_S3_* variable is set.
inline const std::string kMissingStoreEnv =
    "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n";

// A complete store configuration pointing at a port where nothing listens.
inline const EnvChanges kUnreachableStore{{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")},
                                          {"VORN_S3_BUCKET", std::string("b")},
                                          {"VORN_S3_KEY", std::string("k")},
                                          {"VORN_S3_SECRET", std::string("s")}};

// Status 2, the usage text on stderr and nothing on stdout.
inline void expectUsage(const ProcessResult& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("corvane-vorn - Vorn build distribution\n", 0), 0u) << r.err;
}

// Runs the program with the server's store settings plus `extra`.
inline ProcessResult runWithStore(const S3Server& server, const std::vector<std::string>& args,
                                  const EnvChanges& extra = {}) {
  EnvChanges env = server.env();
  for (const auto& [name, value] : extra) env[name] = value;
  return runCli(args, env);
}

// The server's store through the real S3 provider, for preparing and inspecting it.
inline std::unique_ptr<vorn::StorageProvider> openServerStore(const S3Server& server) {
  return vorn::makeS3Provider(vorn::S3Config{server.endpoint(), "us-east-1", server.bucket(),
                                             server.accessKey(), server.secret()});
}

}  // namespace vorn_test
