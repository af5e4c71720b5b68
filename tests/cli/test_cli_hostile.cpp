// Hostile manifests in the store and hostile descriptor files, met by the real
// program: one line on standard error, the documented status, and nothing
// written beside the destination.

#include "engine/channel_manifest.hpp"
#include "storage/request_signing.hpp"
#include "util/digest.hpp"

#include "support/cli_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using vorn_test::ProcessResult;
using vorn_test::S3Server;
using vorn_test::slurp;
using vorn_test::writeTextFile;

const std::string kId = vorn::blake3Hex("payload");

std::string manifestText(const std::string& path, const std::string& id,
                         const std::string& extraFile = "") {
  return R"({"schema":1,"files":[)" + extraFile + R"({"path":")" + path +
         R"(","size":7,"chunks":[{"h":")" + id + R"(","n":7}]}]})";
}

class CliHostile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3Server(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->running()) << server_->startError();
    config = {server_->endpoint(), "us-east-1", server_->bucket(), server_->accessKey(),
              server_->secret()};
    store = vorn::makeS3Provider(config);
    std::string err;
    ASSERT_TRUE(store->put(store->chunkKey(kId), "payload", &err)) << err;
    writeTextFile(tmp / "root/sibling/keep.txt", "keep");
  }

  std::string dest() const { return tmp / "root/dest"; }

  // The destination holds no file and its parent only what the test put there.
  void expectNothingWritten() {
    for (const auto& e : fs::recursive_directory_iterator(tmp / "root")) {
      const std::string p = e.path().string();
      EXPECT_TRUE(e.is_directory() || p == tmp / "root/sibling/keep.txt") << p;
    }
    EXPECT_EQ(slurp(tmp / "root/sibling/keep.txt"), "keep");
  }

  ProcessResult run(const std::vector<std::string>& args) {
    return vorn_test::runWithStore(*server_, args);
  }

  static S3Server* server_;
  vorn_test::TempDir tmp;
  vorn::S3Config config;
  std::unique_ptr<vorn::StorageProvider> store;
};

S3Server* CliHostile::server_ = nullptr;

TEST_F(CliHostile, StoredHostileManifestsFailEveryVerbWithOneLine) {
  const std::string key = vorn::channelManifestKey("h");
  struct Row {
    std::string text, install, stored;  // stored: "" when gc and sign-sync succeed
  };
  const Row rows[] = {
      {manifestText("../x", kId), "unsafe path in manifest: '../x'", ""},
      {manifestText("f", "../../" + std::string(58, 'a')), "bad chunk id in manifest for f",
       "manifest " + key + ": files[0].chunks[0].h is not a chunk id"},
      {R"({"schema":1,"files":[{"path":"f","size":"7","chunks":[]}]})",
       "manifest: files[0].size is not an unsigned integer",
       "manifest " + key + ": files[0].size is not an unsigned integer"},
      {manifestText("f", kId, R"({"path":"f","size":0,"chunks":[]},)"),
       "duplicate path in manifest: 'f'", ""},
  };
  std::string err;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ASSERT_TRUE(store->put(key, row.text, &err)) << err;
    const std::string url = vorn::presignGet(config, key, 300);
    const std::pair<std::vector<std::string>, std::string> installs[] = {
        {{"sync", "h", dest()}, "\nsync: "},
        {{"sync", "h", dest(), "--manifest-url", url, "--dry-run"}, "dry-run: "},
        {{"verify", "h", dest()}, "verify: "},
        {{"verify", "h", dest(), "--repair", "--manifest-url", url}, "verify: "},
    };
    for (const auto& [args, prefix] : installs) {
      const ProcessResult r = run(args);
      EXPECT_EQ(r.status, 1) << args[0];
      EXPECT_EQ(r.err, prefix + row.install + "\n");
    }
    const std::string verbs[] = {"gc", "sign-sync"};
    for (const std::string& verb : verbs) {
      const ProcessResult r = run(verb == "gc" ? std::vector<std::string>{"gc", "--delete"}
                                               : std::vector<std::string>{"sign-sync", "h"});
      EXPECT_EQ(r.status, row.stored.empty() ? 0 : 1) << verb << r.err;
      if (!row.stored.empty()) {
        EXPECT_EQ(r.err, verb + ": " + row.stored + "\n");
      }
    }
    EXPECT_TRUE(store->head(store->chunkKey(kId), nullptr).exists) << "gc removed a named chunk";
    expectNothingWritten();
  }
  ASSERT_TRUE(store->remove(key, &err)) << err;
}

TEST_F(CliHostile, HostileDescriptorFilesAreRefusedOrLeadToARefusedManifest) {
  const std::string key = vorn::channelManifestKey("d");
  std::string err;
  ASSERT_TRUE(store->put(key, manifestText("a/../../x", kId), &err)) << err;
  const std::string url = vorn::presignGet(config, key, 300);
  const std::string chunkUrl = vorn::presignGet(config, store->chunkKey(kId), 300);
  // A large map: many entries that no manifest names, then the real one.
  std::string many;
  for (int i = 0; i < 200000; ++i) many += "\"x" + std::to_string(i) + "\":\"u\",";
  struct Row {
    std::string text;
    int status;
    std::string err;
  };
  const Row rows[] = {
      {"[]", 2, "descriptor: bad sync descriptor: not a JSON object\n"},
      {R"({"manifest_url":7})", 2,
       "descriptor: bad sync descriptor: \"manifest_url\" is not a string\n"},
      {R"({"manifest_url":"u","manifest_sig_url":{}})", 2,
       "descriptor: bad sync descriptor: \"manifest_sig_url\" is not a string\n"},
      {R"({"manifest_url":"u","chunks":["u"]})", 2,
       "descriptor: bad sync descriptor: \"chunks\" is not an object\n"},
      {R"({"manifest_url":"u","chunks":{")" + kId + R"(":null}})", 2,
       "descriptor: bad sync descriptor: URL of chunk " + kId + " is not a string\n"},
      // No manifest URL: the store would be needed, and none is configured.
      {R"({"chunks":{")" + kId + R"(":"u"}})", 2, vorn_test::kMissingStoreEnv},
      {R"({"manifest_url":")" + url + R"(","chunks":{)" + many + "\"" + kId + "\":\"" + chunkUrl +
           "\"}}",
       1, "\nsync: unsafe path in manifest: 'a/../../x'\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 200));
    writeTextFile(tmp / "d.json", row.text);
    const ProcessResult r =
        vorn_test::runCli({"sync", "d", dest(), "--descriptor", tmp / "d.json"});
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
    expectNothingWritten();
  }
  const ProcessResult r =
      vorn_test::runCli({"verify", "d", dest(), "--descriptor", tmp / "d.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "verify: unsafe path in manifest: 'a/../../x'\n");
  ASSERT_TRUE(store->remove(key, &err)) << err;
}

}  // namespace
