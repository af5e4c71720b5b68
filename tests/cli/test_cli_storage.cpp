// "storage" and "presign" run as a user would, against the real local S3 server.

#include <gtest/gtest.h>

#include "storage/http_client.hpp"

#include "support/process.hpp"
#include "support/s3_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <regex>

using vorn_test::EnvChanges;
using vorn_test::ProcessResult;
using vorn_test::runCli;
using vorn_test::S3Server;
using vorn_test::slurp;
using vorn_test::TempDir;

namespace {

const char* kUsageFirstLine = "corvane-vorn - Vorn build distribution\n";
const std::string kKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

void expectUsage(const ProcessResult& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind(kUsageFirstLine, 0), 0u) << r.err;
}

// The presigned URL the program prints for key (already encoded) and lifetime.
std::regex presignedLine(const S3Server& server, const std::string& encodedKey,
                         const std::string& lifetime) {
  return std::regex("http://127\\.0\\.0\\.1:" + std::to_string(server.port()) + "/" +
                    server.bucket() + "/" + encodedKey +
                    "\\?X-Amz-Algorithm=AWS4-HMAC-SHA256&X-Amz-Credential=" + server.accessKey() +
                    "%2F[0-9]{8}%2Fus-east-1%2Fs3%2Faws4_request&X-Amz-Date=[0-9]{8}T[0-9]{6}Z&X-"
                    "Amz-Expires=" +
                    lifetime + "&X-Amz-SignedHeaders=host&X-Amz-Signature=[0-9a-f]{64}\n");
}

class CliStorage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3Server("cli-access", "cli-secret"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server_->running()) << server_->startError(); }

  ProcessResult run(const std::vector<std::string>& args, EnvChanges extra = {}) {
    EnvChanges env = server_->env();
    for (auto& [name, value] : extra) env[name] = value;
    return runCli(args, env);
  }

  static S3Server* server_;
  TempDir dir_;
};
S3Server* CliStorage::server_ = nullptr;

}  // namespace

TEST_F(CliStorage, PutHeadGetRemoveLines) {
  vorn_test::writeSeededFile(dir_ / "in.bin", 123457, 5);
  auto put = run({"storage", "put", "cli/obj.bin", dir_ / "in.bin"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(put.out, "put cli/obj.bin (123457 bytes)\n");
  EXPECT_EQ(put.err, "");

  auto head = run({"storage", "head", "cli/obj.bin"});
  EXPECT_EQ(head.status, 0) << head.err;
  EXPECT_EQ(head.out, "head cli/obj.bin -> EXISTS (status 200, size 123457)\n");

  const std::string outFile = dir_ / "out.bin";
  auto get = run({"storage", "get", "cli/obj.bin", outFile});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "get cli/obj.bin -> " + outFile + " (123457 bytes)\n");
  EXPECT_EQ(slurp(outFile), slurp(dir_ / "in.bin"));

  auto removed = run({"storage", "remove", "cli/obj.bin"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "removed cli/obj.bin\n");

  auto missing = run({"storage", "head", "cli/obj.bin"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(std::regex_match(
      missing.out, std::regex("head cli/obj\\.bin -> MISSING \\(status 404, size -?[0-9]+\\)\n")))
      << missing.out;
  EXPECT_EQ(missing.err, "");
}

TEST_F(CliStorage, RmIsRemoveAndMissingKeysRemoveFine) {
  vorn_test::writeTextFile(dir_ / "f", "x");
  ASSERT_EQ(run({"storage", "put", "cli/rm me", dir_ / "f"}).status, 0);
  auto rm = run({"storage", "rm", "cli/rm me"});
  EXPECT_EQ(rm.status, 0) << rm.err;
  EXPECT_EQ(rm.out, "removed cli/rm me\n");
  auto again = run({"storage", "rm", "cli/rm me"});
  EXPECT_EQ(again.status, 0);
}

TEST_F(CliStorage, EmptyFileAndEncodedKeys) {
  vorn_test::writeTextFile(dir_ / "empty", "");
  const std::string key = "cli/sp ace+plus/caf\xC3\xA9";
  auto put = run({"storage", "put", key, dir_ / "empty"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(put.out, "put " + key + " (0 bytes)\n");
  auto head = run({"storage", "head", key});
  EXPECT_EQ(head.out, "head " + key + " -> EXISTS (status 200, size 0)\n");
  auto get = run({"storage", "get", key, dir_ / "back"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "get " + key + " -> " + (dir_ / "back") + " (0 bytes)\n");
}

TEST_F(CliStorage, FailuresPrintTheBareText) {
  auto get = run({"storage", "get", "cli/never-stored", dir_ / "never"});
  EXPECT_EQ(get.status, 1);
  EXPECT_EQ(get.out, "");
  EXPECT_EQ(get.err, "GET cli/never-stored -> HTTP 404 \n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "never"));

  vorn_test::writeTextFile(dir_ / "f", "data");
  auto wrong =
      run({"storage", "put", "cli/x", dir_ / "f"}, {{"VORN_S3_SECRET", std::string("bad")}});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(wrong.err.rfind("PUT cli/x -> HTTP 403 <?xml", 0), 0u) << wrong.err;
  EXPECT_NE(wrong.err.find("SignatureDoesNotMatch"), std::string::npos);
  EXPECT_EQ(run({"storage", "head", "cli/x"}).status, 1) << "a refused put stored nothing";
}

TEST_F(CliStorage, LocalFileErrorsAreStatus2) {
  auto put = run({"storage", "put", "cli/y", dir_ / "does-not-exist"});
  EXPECT_EQ(put.status, 2);
  EXPECT_EQ(put.err, "cannot read " + (dir_ / "does-not-exist") + "\n");

  vorn_test::writeTextFile(dir_ / "f", "data");
  ASSERT_EQ(run({"storage", "put", "cli/y", dir_ / "f"}).status, 0);
  const std::string target = dir_ / "no-such-dir/out";
  auto get = run({"storage", "get", "cli/y", target});
  EXPECT_EQ(get.status, 2);
  EXPECT_EQ(get.out, "");
  EXPECT_EQ(get.err, "cannot write " + target + "\n");
}

TEST_F(CliStorage, UsageForMissingArgumentsAndUnknownSubVerbs) {
  expectUsage(run({"storage"}));
  expectUsage(run({"storage", "put", "k"}));
  expectUsage(run({"storage", "get", "k"}));
  expectUsage(run({"storage", "head"}));
  expectUsage(run({"storage", "remove"}));
  expectUsage(run({"storage", "PUT", "k", "f"}));
  expectUsage(run({"storage", "list"}));
}

TEST(CliStorageConfig, MissingVariablesAreAllNamed) {
  const std::string all =
      "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"storage", "head", "k"}, {"storage", "bogus"}, {"presign", "k"}}) {
    auto r = runCli(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, all) << args[1];
  }
  auto some = runCli({"storage", "head", "k"}, {{"VORN_S3_REGION", std::string("x")},
                                                {"VORN_S3_BUCKET", std::string("b")},
                                                {"VORN_S3_KEY", std::string("k")},
                                                {"VORN_S3_SECRET", std::string("")}});
  EXPECT_EQ(some.status, 2);
  EXPECT_EQ(some.err, "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_SECRET\n");
}

TEST(CliStorageConfig, UnreachableStore) {
  // Port 1 on loopback: nothing listens there.
  EnvChanges env{{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")},
                 {"VORN_S3_BUCKET", std::string("b")},
                 {"VORN_S3_KEY", std::string("k")},
                 {"VORN_S3_SECRET", std::string("s")}};
  auto head = runCli({"storage", "head", "k"}, env);
  EXPECT_EQ(head.status, 1);
  EXPECT_EQ(head.out, "");
  EXPECT_EQ(head.err, "curl: Couldn't connect to server\n");
  auto rm = runCli({"storage", "rm", "k"}, env);
  EXPECT_EQ(rm.status, 1);
  EXPECT_EQ(rm.err, "curl: Couldn't connect to server\n");
}

TEST_F(CliStorage, EncryptedStoreSealsAndRefusesPlainObjects) {
  vorn_test::writeTextFile(dir_ / "plain.txt", "readable text");
  auto put = run({"--crypt", kKeyHex, "storage", "put", "cli/sealed", dir_ / "plain.txt"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(put.out, "put cli/sealed (13 bytes)\n");

  // Without the key the stored form comes back: the envelope.
  auto raw = run({"storage", "get", "cli/sealed", dir_ / "raw"});
  ASSERT_EQ(raw.status, 0) << raw.err;
  const std::string envelope = slurp(dir_ / "raw");
  EXPECT_EQ(envelope.size(), 13u + 48u);
  EXPECT_EQ(envelope.substr(0, 8), "VORNENC1");

  // With the key, given after the verb's arguments this time, it opens.
  auto opened = run({"storage", "get", "cli/sealed", dir_ / "opened", "--crypt", kKeyHex});
  EXPECT_EQ(opened.status, 0) << opened.err;
  EXPECT_EQ(slurp(dir_ / "opened"), "readable text");

  ASSERT_EQ(run({"storage", "put", "cli/plain", dir_ / "plain.txt"}).status, 0);
  auto refused = run({"storage", "get", "cli/plain", dir_ / "nope"}, {{"VORN_CRYPT_KEY", kKeyHex}});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "cli/plain: not an encrypted object (wrong store, or written without a key)\n");
}

TEST_F(CliStorage, PresignOptionPositions) {
  auto after = run({"presign", "cli/p q", "--ttl", "60"});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_TRUE(std::regex_match(after.out, presignedLine(*server_, "cli/p%20q", "60"))) << after.out;

  auto before = run({"presign", "--ttl", "60", "cli/p q"});
  EXPECT_EQ(before.status, 0);
  EXPECT_TRUE(std::regex_match(before.out, presignedLine(*server_, "cli/p%20q", "60")))
      << before.out;

  // A trailing "--ttl" has no value: it is a second positional, the default stays.
  auto last = run({"presign", "cli/p q", "--ttl"});
  EXPECT_EQ(last.status, 0);
  EXPECT_TRUE(std::regex_match(last.out, presignedLine(*server_, "cli/p%20q", "300"))) << last.out;

  auto bogus = run({"presign", "k", "--ttl", "soon"});
  EXPECT_TRUE(std::regex_match(bogus.out, presignedLine(*server_, "k", "0"))) << bogus.out;
  auto negative = run({"presign", "k", "--ttl", "-7"});
  EXPECT_TRUE(std::regex_match(negative.out, presignedLine(*server_, "k", "-7"))) << negative.out;
}

TEST_F(CliStorage, PresignUsage) {
  expectUsage(run({"presign"}));
  expectUsage(run({"presign", "--ttl", "60"}));
}

TEST_F(CliStorage, PresignedUrlServesTheStoredBytes) {
  vorn_test::writeSeededFile(dir_ / "obj", 50000, 9);
  ASSERT_EQ(run({"storage", "put", "cli/shared file+1", dir_ / "obj"}).status, 0);
  auto r = run({"presign", "cli/shared file+1", "--ttl", "120"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string body;
  int32_t status = 0;
  std::string err;
  ASSERT_TRUE(vorn::httpGet(r.out.substr(0, r.out.size() - 1), &body, &status, &err, "")) << err;
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, slurp(dir_ / "obj"));

  auto expired = run({"presign", "cli/shared file+1", "--ttl", "0"});
  body.clear();
  ASSERT_TRUE(
      vorn::httpGet(expired.out.substr(0, expired.out.size() - 1), &body, &status, &err, ""));
  EXPECT_EQ(status, 403);
}

TEST_F(CliStorage, PresignIgnoresTheStoreKey) {
  vorn_test::writeTextFile(dir_ / "f", "abc");
  ASSERT_EQ(run({"--crypt", kKeyHex, "storage", "put", "cli/enc", dir_ / "f"}).status, 0);
  auto r = run({"--crypt", kKeyHex, "presign", "cli/enc"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_match(r.out, presignedLine(*server_, "cli/enc", "300"))) << r.out;
  std::string body;
  int32_t status = 0;
  ASSERT_TRUE(vorn::httpGet(r.out.substr(0, r.out.size() - 1), &body, &status, nullptr, ""));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body.size(), 3u + 48u);
  EXPECT_EQ(body.substr(0, 8), "VORNENC1");
}
