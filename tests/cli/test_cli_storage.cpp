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

namespace {

const std::string kKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const EnvChanges kUnreachable{{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")},
                              {"VORN_S3_BUCKET", std::string("b")},
                              {"VORN_S3_KEY", std::string("k")},
                              {"VORN_S3_SECRET", std::string("s")}};

void expectUsage(const ProcessResult& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("corvane-vorn - Vorn build distribution\n", 0), 0u) << r.err;
}

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

  ProcessResult run(const std::vector<std::string>& args, const EnvChanges& extra = {}) {
    EnvChanges env = server_->env();
    for (const auto& [name, value] : extra) env[name] = value;
    return runCli(args, env);
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

}  // namespace

TEST_F(CliStorage, RoundTripLinesForPlainEmptyAndEncodedKeys) {
  vorn_test::writeSeededFile(dir_ / "in.bin", 123457, 5);
  vorn_test::writeTextFile(dir_ / "empty", "");
  const std::pair<std::string, std::string> objects[] = {
      {"cli/obj.bin", "123457"}, {"cli/sp ace+plus/caf\xC3\xA9", "0"}};
  for (const auto& [key, size] : objects) {
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
      EXPECT_EQ(r.out, line);
      EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(slurp(out), slurp(in));
    ProcessResult missing = run({"storage", "head", key});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(std::regex_match(missing.out, std::regex(".* -> MISSING \\(status 404, size -?[0-9]+\\)\n")))
        << missing.out;
  }
}

TEST_F(CliStorage, StoreAndLocalFileFailures) {
  auto get = run({"storage", "get", "cli/never-stored", dir_ / "never"});
  EXPECT_EQ(get.status, 1);
  EXPECT_EQ(get.out, "");
  EXPECT_EQ(get.err, "GET cli/never-stored -> HTTP 404 \n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "never"));

  vorn_test::writeTextFile(dir_ / "f", "data");
  auto wrong = run({"storage", "put", "cli/x", dir_ / "f"}, {{"VORN_S3_SECRET", std::string("bad")}});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err.rfind("PUT cli/x -> HTTP 403 <?xml", 0), 0u) << wrong.err;
  EXPECT_NE(wrong.err.find("SignatureDoesNotMatch"), std::string::npos);
  EXPECT_EQ(run({"storage", "head", "cli/x"}).status, 1) << "a refused put stored nothing";

  auto unreachable = runCli({"storage", "rm", "k"}, kUnreachable);
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_EQ(unreachable.err, "curl: Couldn't connect to server\n");

  auto put = run({"storage", "put", "cli/y", dir_ / "does-not-exist"});
  EXPECT_EQ(put.status, 2);
  EXPECT_EQ(put.err, "cannot read " + (dir_ / "does-not-exist") + "\n");
  ASSERT_EQ(run({"storage", "put", "cli/y", dir_ / "f"}).status, 0);
  const std::string target = dir_ / "no-such-dir/out";
  auto unwritable = run({"storage", "get", "cli/y", target});
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_EQ(unwritable.out, "");
  EXPECT_EQ(unwritable.err, "cannot write " + target + "\n");
}

TEST_F(CliStorage, UsageAndMissingConfiguration) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"storage"}, {"storage", "put", "k"}, {"storage", "get", "k"},
        {"storage", "head"}, {"storage", "remove"}, {"storage", "PUT", "k", "f"},
        {"storage", "list"}, {"presign"}, {"presign", "--ttl", "60"}}) {
    expectUsage(run(args));
  }
  const std::string all =
      "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n";
  for (const std::vector<std::string>& args : {std::vector<std::string>{"storage", "head", "k"},
                                                {"storage", "bogus"}, {"presign", "k"}}) {
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

TEST_F(CliStorage, EncryptedStoreSealsAndRefusesPlainObjects) {
  vorn_test::writeTextFile(dir_ / "plain.txt", "readable text");
  auto put = run({"--crypt", kKeyHex, "storage", "put", "cli/sealed", dir_ / "plain.txt"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(put.out, "put cli/sealed (13 bytes)\n");

  // Without the key the stored form comes back: the envelope.
  ASSERT_EQ(run({"storage", "get", "cli/sealed", dir_ / "raw"}).status, 0);
  const std::string envelope = slurp(dir_ / "raw");
  EXPECT_EQ(envelope.size(), 13u + 48u);
  EXPECT_EQ(envelope.substr(0, 8), "VORNENC1");
  // Presign ignores the store key: its URL serves the envelope.
  auto url = run({"--crypt", kKeyHex, "presign", "cli/sealed"});
  ASSERT_EQ(url.status, 0) << url.err;
  std::string body;
  EXPECT_EQ(fetch(url.out, &body), 200);
  EXPECT_EQ(body, envelope);

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
    auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
  }

  vorn_test::writeSeededFile(dir_ / "obj", 50000, 9);
  ASSERT_EQ(run({"storage", "put", "cli/shared file+1", dir_ / "obj"}).status, 0);
  std::string body;
  EXPECT_EQ(fetch(run({"presign", "cli/shared file+1", "--ttl", "120"}).out, &body), 200);
  EXPECT_EQ(body, slurp(dir_ / "obj"));
  body.clear();
  EXPECT_EQ(fetch(run({"presign", "cli/shared file+1", "--ttl", "0"}).out, &body), 403);
}
