// What the fault and process-death tests share: a test server with the fault
// proxy in front of it, two builds of the same three files, and the checks
// that nothing was lost.
#pragma once

#include "storage/storage_provider.hpp"

#include "support/cli_fixtures.hpp"
#include "support/engine_fixtures.hpp"
#include "support/fault_proxy.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vorn_test {

class FaultFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new S3Server("fault-access", "fault-secret-7d41c", "faulty");
    proxy_ = new FaultProxy(*server_);
  }
  static void TearDownTestSuite() {
    delete proxy_;
    delete server_;
    proxy_ = nullptr;
    server_ = nullptr;
  }

  // Two builds of four files (a chunk each), every file different between them.
  void SetUp() override {
    ASSERT_TRUE(server_->running()) << server_->startError();
    ASSERT_TRUE(proxy_->running()) << proxy_->startError();
    ASSERT_TRUE(proxy_->clear());
    channel = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    writeBuild(1, 0);
    writeBuild(2, 0);
    store = openServerStore(*server_);
  }

  // Build 1 or 2 with its own contents; another salt gives other chunks.
  // Extra files make a build of many small objects.
  void writeBuild(int build, uint64_t salt, int extraFiles = 0) {
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

  // The program against the store directly, and through the proxy.
  ProcessResult direct(const std::vector<std::string>& args) {
    return runWithStore(*server_, args);
  }
  ProcessResult viaProxy(const std::vector<std::string>& args) {
    return runCli(args, proxy_->env());
  }

  void publish(int build) {
    ASSERT_EQ(direct({"push", srcOf(build), channel, "--force"}).status, 0);
  }

  // Status 1 and, as the last line said, one that starts with prefix and
  // tells what failed; no crash report. ("storage head" answers on stdout.)
  static void expectCleanFailure(const ProcessResult& r, const std::string& prefix) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_GT(proxy_->faults(), 0) << "the fault was never injected";
    std::string text = r.err.empty() ? r.out : r.err;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t cut = text.find_last_of("\r\n");
    const std::string last = cut == std::string::npos ? text : text.substr(cut + 1);
    EXPECT_EQ(last.rfind(prefix, 0), 0u) << "last line: " << last << "\nall: " << r.err << r.out;
    EXPECT_GT(last.size(), prefix.size() + 5) << last;
    for (const char* crash : {"Sanitizer", "terminate called", "Segmentation", "Aborted"})
      EXPECT_EQ(r.err.find(crash), std::string::npos) << r.err;
  }

  // The channel's stored manifest is the given build and every chunk it names
  // is in the store.
  void expectStoreHolds(int build) {
    const auto files = storedFiles(*store, channel);
    std::map<std::string, std::string> listed;
    for (const auto& f : files) listed[f.path] = slurp(srcOf(build) + "/" + f.path);
    EXPECT_EQ(listed.size(), filesOf(build).size());
    for (const auto& f : files) EXPECT_EQ(f.size, listed[f.path].size()) << f.path;
    for (const auto& [id, size] : uniqueChunks(files)) {
      std::string err;
      EXPECT_TRUE(store->head(store->chunkKey(id), &err).exists) << "missing chunk " << id;
    }
  }

  // The files of a build, relative to its directory.
  std::vector<std::string> filesOf(int build) const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(srcOf(build)))
      if (entry.is_regular_file())
        files.push_back(std::filesystem::relative(entry.path(), srcOf(build)).string());
    return files;
  }

  // Every file of either build is present at the destination with the
  // content of one build or the other, never a mix or a short file. Returns
  // how many hold the second build.
  int expectOldOrNew() {
    int fresh = 0;
    for (const std::string& rel : filesOf(2)) {
      const std::string got = slurp(dest() + "/" + rel);
      const bool isNew = got == slurp(srcOf(2) + "/" + rel);
      EXPECT_TRUE(isNew || got == slurp(srcOf(1) + "/" + rel)) << rel << ": neither build";
      fresh += isNew;
    }
    return fresh;
  }

  // The destination holds exactly the build (left-over part files aside).
  void expectInstalled(int build) {
    for (const std::string& rel : filesOf(build))
      EXPECT_EQ(slurp(dest() + "/" + rel), slurp(srcOf(build) + "/" + rel)) << rel;
  }

  static S3Server* server_;
  static FaultProxy* proxy_;
  TempDir tmp;
  std::string channel;
  std::unique_ptr<vorn::StorageProvider> store;
};

inline S3Server* FaultFixture::server_ = nullptr;
inline FaultProxy* FaultFixture::proxy_ = nullptr;

// URL patterns of the store's requests, as the proxy sees them.
inline const std::string kChunkPath = "/faulty/chunks/";
inline const std::string kManifestPath = "/faulty/channels/[^/]+/manifest\\.json$";
inline const std::string kListPath = "/faulty/?\\?";

}  // namespace vorn_test
