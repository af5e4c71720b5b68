// "storage" and "presign" run as a user would, against the real local S3 server.

#include "storage/http_client.hpp"

#include "support/cli_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

using vorn_test::ProcessResult;
using vorn_test::runCli;
using vorn_test::S3Server;
using vorn_test::slurp;

const std::string kKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

// Fetches a URL printed on one line; returns the HTTP status.
int fetch(const std::string& line, std::string* body) {
  int32_t status = 0;
  std::string err;
  EXPECT_TRUE(vorn::httpGet(line.substr(0, line.size() - 1), body, &status, &err, "")) << err;
  return status;
}

class CliStorage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3Server("cli-access", "cli-secret"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server_->running()) << server_->startError(); }

  ProcessResult run(const std::vector<std::string>& args, const vorn_test::EnvChanges& extra = {}) {
    return vorn_test::runWithStore(*server_, args, extra);
  }

  // The line the program prints for key (already encoded) and lifetime.
  std::regex presigned(const std::string& encodedKey, const std::string& lifetime) {
    return std::regex(
        "http://127\\.0\\.0\\.1:" + std::to_string(server_->port()) + "/" + server_->bucket() +
        "/" + encodedKey + "\\?X-Amz-Algorithm=AWS4-HMAC-SHA256&X-Amz-Credential=cli-access" +
        "%2F[0-9]{8}%2Fus-east-1%2Fs3%2Faws4_request&X-Amz-Date=[0-9]{8}T[0-9]{6}Z&X-Amz-Expires=" +
        lifetime + "&X-Amz-SignedHeaders=host&X-Amz-Signature=[0-9a-f]{64}\n");
  }

  static S3Server* server_;
  vorn_test::TempDir dir_;
};
S3Server* CliStorage::server_ = nullptr;

TEST_F(CliStorage, RoundTripLinesForPlainEmptyAndEncodedKeys) {
  vorn_test::writeSeededFile(dir_ / "in.bin", 123457, 5);
  vorn_test::writeTextFile(dir_ / "empty", "");
  for (const auto& [key, size] : {std::make_pair(std::string("cli/obj.bin"), std::string("123457")),
                                  std::make_pair(std::string("cli/sp ace+plus/caf\xC3\xA9"),
                                                 std::string("0"))}) {
    const std::string in = size == "0" ? dir_ / "empty" : dir_ / "in.bin";
    const std::string out = dir_ / "out.bin";
    const std::pair<std::vector<std::string>, std::string> steps[] = {
        {{"storage", "put", key, in}, "put " + key + " (" + size + " bytes)\n"},
        {{"storage", "head", key}, "head " + key + " -> EXISTS (status 200, size " + size + ")\n"},
        {{"storage", "get", key, out}, "get " + key + " -> " + out + " (" + size + " bytes)\n"},
        {{"storage", "remove", key}, "removed " + key + "\n"},
        {{"storage", "rm", key}, "removed " + key + "\n"},  // a missing key removes fine
    };
    for (const auto& [args, line] : steps) {
      ProcessResult r = run(args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out + r.err, line);
    }
    EXPECT_EQ(slurp(out), slurp(in));
    ProcessResult missing = run({"storage", "head", key});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(std::regex_match(missing.out, std::regex(".* -> MISSING \\(status 404, size -?[0-9]+\\)\n")))
        << missing.out;
  }
}

TEST_F(CliStorage, StoreAndLocalFileFailures) {
  ProcessResult r = run({"storage", "get", "cli/never-stored", dir_ / "never"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out + r.err, "GET cli/never-stored -> HTTP 404 \n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "never"));

  vorn_test::writeTextFile(dir_ / "f", "data");
  r = run({"storage", "put", "cli/x", dir_ / "f"}, {{"VORN_S3_SECRET", std::string("bad")}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("PUT cli/x -> HTTP 403 <?xml", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("SignatureDoesNotMatch"), std::string::npos);
  EXPECT_EQ(run({"storage", "head", "cli/x"}).status, 1) << "a refused put stored nothing";

  r = runCli({"storage", "rm", "k"}, vorn_test::kUnreachableStore);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "curl: Couldn't connect to server\n");

  r = run({"storage", "put", "cli/y", dir_ / "does-not-exist"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cannot read " + (dir_ / "does-not-exist") + "\n");
  ASSERT_EQ(run({"storage", "put", "cli/y", dir_ / "f"}).status, 0);
  r = run({"storage", "get", "cli/y", dir_ / "no-such-dir/out"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out + r.err, "cannot write " + (dir_ / "no-such-dir/out") + "\n");
}

TEST_F(CliStorage, UsageAndMissingConfiguration) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"storage"}, {"storage", "put", "k"}, {"storage", "head"},
        {"storage", "PUT", "k", "f"}, {"storage", "list"}, {"presign"}, {"presign", "--ttl", "60"}})
    vorn_test::expectUsage(run(args));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"storage", "head", "k"}, {"storage", "bogus"}, {"presign", "k"}}) {
    ProcessResult r = runCli(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_EQ(r.out + r.err, vorn_test::kMissingStoreEnv) << args[1];
  }
  ProcessResult some = runCli({"storage", "head", "k"}, {{"VORN_S3_REGION", std::string("x")},
                                                         {"VORN_S3_BUCKET", std::string("b")},
                                                         {"VORN_S3_KEY", std::string("k")},
                                                         {"VORN_S3_SECRET", std::string("")}});
  EXPECT_EQ(some.status, 2);
  EXPECT_EQ(some.err, "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_SECRET\n");
}

TEST_F(CliStorage, EncryptedStoreSealsAndRefusesPlainObjects) {
  vorn_test::writeTextFile(dir_ / "plain.txt", "readable text");
  ProcessResult r = run({"--crypt", kKeyHex, "storage", "put", "cli/sealed", dir_ / "plain.txt"});
  EXPECT_EQ(r.out, "put cli/sealed (13 bytes)\n") << r.err;

  // Without the key the stored form comes back: the envelope.
  ASSERT_EQ(run({"storage", "get", "cli/sealed", dir_ / "raw"}).status, 0);
  const std::string envelope = slurp(dir_ / "raw");
  EXPECT_EQ(envelope.size(), 13u + 48u);
  EXPECT_EQ(envelope.substr(0, 8), "VORNENC1");
  // Presign ignores the store key: its URL serves the envelope.
  r = run({"--crypt", kKeyHex, "presign", "cli/sealed"});
  std::string body;
  EXPECT_EQ(fetch(r.out, &body), 200);
  EXPECT_EQ(body, envelope);

  // With the key, given after the verb's arguments this time, it opens.
  r = run({"storage", "get", "cli/sealed", dir_ / "opened", "--crypt", kKeyHex});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir_ / "opened"), "readable text");

  ASSERT_EQ(run({"storage", "put", "cli/plain", dir_ / "plain.txt"}).status, 0);
  r = run({"storage", "get", "cli/plain", dir_ / "nope"}, {{"VORN_CRYPT_KEY", kKeyHex}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cli/plain: not an encrypted object (wrong store, or written without a key)\n");
}

TEST_F(CliStorage, PresignOptionPositionsAndLifetime) {
  const std::pair<std::vector<std::string>, std::regex> rows[] = {
      {{"presign", "cli/p q", "--ttl", "60"}, presigned("cli/p%20q", "60")},
      {{"presign", "--ttl", "60", "cli/p q"}, presigned("cli/p%20q", "60")},
      // A trailing "--ttl" has no value: a second positional; the default stays.
      {{"presign", "cli/p q", "--ttl"}, presigned("cli/p%20q", "300")},
      {{"presign", "k", "--ttl", "soon"}, presigned("k", "0")},
      {{"presign", "k", "--ttl", "-7"}, presigned("k", "-7")},
  };
  for (const auto& [args, line] : rows) {
    ProcessResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
  }

  vorn_test::writeSeededFile(dir_ / "obj", 50000, 9);
  ASSERT_EQ(run({"storage", "put", "cli/shared file+1", dir_ / "obj"}).status, 0);
  std::string body;
  EXPECT_EQ(fetch(run({"presign", "cli/shared file+1", "--ttl", "120"}).out, &body), 200);
  EXPECT_EQ(body, slurp(dir_ / "obj"));
  EXPECT_EQ(fetch(run({"presign", "cli/shared file+1", "--ttl", "0"}).out, &body), 403);
}

}  // namespace
