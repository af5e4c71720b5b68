#pragma once
// What the tests share: running the program against the local S3 test
// server, reading back what a store holds, and the store fixture, with one
// server per suite.

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

#include "support/files.hpp"
#include "support/process.hpp"
#include "support/servers.hpp"

#include <gtest/gtest.h>
#include <json/value.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace vorn_test {

// What any store verb prints when no VORN_S3_* variable is set.
inline const std::string kMissingStoreEnv =
    "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n";

// A complete store configuration pointing at a port where nothing listens.
inline const EnvChanges kUnreachableStore{{"VORN_S3_ENDPOINT", "http://127.0.0.1:1"},
                                          {"VORN_S3_BUCKET", "b"},
                                          {"VORN_S3_KEY", "k"},
                                          {"VORN_S3_SECRET", "s"}};

// "a b c" as {"a", "b", "c"}: argument lists without spaces inside.
inline std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Status 2, the usage text on stderr and nothing on stdout.
inline void expectUsage(const ProcessResult& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("corvane-vorn - Vorn build distribution\n", 0), 0u) << r.err;
}

// The files of a channel's stored manifest; a test failure when unreadable.
inline std::vector<vorn::ManifestFile> storedFiles(vorn::StorageProvider& store,
                                                   const std::string& channel) {
  std::string text, err;
  Json::Value doc;
  std::vector<vorn::ManifestFile> files;
  EXPECT_TRUE(store.get(vorn::channelManifestKey(channel), &text, &err) &&
              vorn::parseJson(text, &doc, &err) && vorn::readManifestFiles(doc, &files, &err))
      << err;
  return files;
}

// Distinct chunk ids of the files, with their sizes.
inline std::map<std::string, uint64_t> uniqueChunks(const std::vector<vorn::ManifestFile>& files) {
  std::map<std::string, uint64_t> ids;
  for (const auto& file : files)
    for (const auto& chunk : file.chunks) ids[chunk.id] = chunk.size;
  return ids;
}

// URL patterns of the store's requests, as the fault rules see them.
inline const std::string kChunkPath = "/vorn-test/chunks/";
inline const std::string kManifestPath = "/vorn-test/channels/[^/]+/manifest\\.json$";
inline const std::string kListPath = "/vorn-test/?\\?";

// A suite with one test server; each test has a directory, the server's
// store (emptied, no fault rules) through the real S3 provider, a channel named
// after the test, two builds of the same files, and the checks that nothing was lost.
class StoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3Server(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->running()) << server_->startError();
    config = {server_->endpoint(), "us-east-1", S3Server::kBucket, S3Server::kAccessKey,
              S3Server::kSecret};
    store = vorn::makeS3Provider(config);
    channel = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    // Each test starts from an empty store, whatever the suite's earlier tests left.
    emptyStore();
    ASSERT_TRUE(server_->clear());
    writeBuild(1, 0);
    writeBuild(2, 0);
  }

  // The program with the server's store settings (viaProxy: its fault layer's) plus `extra`.
  ProcessResult run(const std::vector<std::string>& args, const EnvChanges& extra = {}) const {
    return runWith(server_->env(), args, extra);
  }
  ProcessResult viaProxy(const std::vector<std::string>& args, const EnvChanges& extra = {}) const {
    return runWith(server_->faultEnv(), args, extra);
  }
  static ProcessResult runWith(EnvChanges env, const std::vector<std::string>& args,
                               const EnvChanges& extra) {
    for (const auto& [name, value] : extra) env[name] = value;
    return runCli(args, env);
  }
  void emptyStore() const {
    std::vector<vorn::ObjectEntry> left;
    ASSERT_TRUE(store->list("", &left, nullptr));
    for (const auto& e : left) ASSERT_TRUE(store->remove(e.key, nullptr)) << e.key;
  }
  std::string object(const std::string& key) const {
    std::string body, err;
    EXPECT_TRUE(store->get(key, &body, &err)) << err;
    return body;
  }
  bool exists(const std::string& key) const { return store->head(key, nullptr).exists; }

  // Build 1 or 2, every file different between them; another salt gives other
  // chunks, extra files a build of many small objects.
  void writeBuild(int build, uint64_t salt, int extraFiles = 0) {
    std::filesystem::remove_all(srcOf(build));
    const char* names[] = {"a.bin", "sub/b.bin", "sub/deep/c.bin"};
    for (uint64_t i = 0; i < 3; ++i)
      writeSeededFile(srcOf(build) + "/" + names[i], 300000 + i * 4099,
                      salt * 100 + build * 10 + i);
    for (int i = 0; i < extraFiles; ++i)
      writeSeededFile(srcOf(build) + "/many/f" + std::to_string(i) + ".bin", 20000 + i * 1000,
                      salt * 100000 + build * 1000 + static_cast<uint64_t>(i) + 50);
    writeTextFile(srcOf(build) + "/notes.txt",
                  build == 1 ? "first build\n" : "second build, longer notes\n");
  }
  std::string srcOf(int build) const { return tmp / ("v" + std::to_string(build)); }
  std::string dest() const { return tmp / "dest"; }

  void publish(int build) { ASSERT_EQ(run({"push", srcOf(build), channel, "--force"}).status, 0); }

  // Status 1 and a last line that starts with prefix and says what failed; no crash.
  void expectCleanFailure(const ProcessResult& r, const std::string& prefix) const {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_GT(server_->faults(), 0) << "the fault was never injected";
    std::string text = r.err.empty() ? r.out : r.err;  // "storage head" answers on stdout
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::string last = text.substr(text.find_last_of("\r\n") + 1);
    EXPECT_EQ(last.rfind(prefix, 0), 0u) << "last line: " << last << "\nall: " << r.err << r.out;
    EXPECT_GT(last.size(), prefix.size() + 5) << last;
    for (const char* crash : {"Sanitizer", "terminate called", "Segmentation", "Aborted"})
      EXPECT_EQ(r.err.find(crash), std::string::npos) << r.err;
  }

  // The channel's stored manifest is the build and every chunk it names is stored.
  void expectStoreHolds(int build) {
    const auto files = storedFiles(*store, channel);
    EXPECT_EQ(files.size(), filesOf(build).size());
    for (const auto& f : files)
      EXPECT_EQ(f.size, slurp(srcOf(build) + "/" + f.path).size()) << f.path;
    for (const auto& [id, size] : uniqueChunks(files))
      EXPECT_TRUE(exists(store->chunkKey(id))) << "missing chunk " << id;
  }

  std::vector<std::string> filesOf(int build) const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(srcOf(build)))
      if (entry.is_regular_file())
        files.push_back(std::filesystem::relative(entry.path(), srcOf(build)).string());
    return files;
  }

  // Every file is whole, of one build or the other.
  void expectOldOrNew() {
    for (const std::string& rel : filesOf(2)) {
      const std::string got = slurp(dest() + "/" + rel);
      EXPECT_TRUE(got == slurp(srcOf(2) + "/" + rel) || got == slurp(srcOf(1) + "/" + rel))
          << rel << ": neither build";
    }
  }

  void expectInstalled(int build) {
    for (const std::string& rel : filesOf(build))
      EXPECT_EQ(slurp(dest() + "/" + rel), slurp(srcOf(build) + "/" + rel)) << rel;
  }

  static S3Server* server_;
  TempDir tmp;
  vorn::S3Config config;
  std::unique_ptr<vorn::StorageProvider> store;
  std::string channel;
};
inline S3Server* StoreTest::server_ = nullptr;

}  // namespace vorn_test
