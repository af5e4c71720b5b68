// Verify against an in-memory store: the four reasons, quick against full
// checks, the counters and what a hostile manifest cannot make it do.

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/push.hpp"
#include "engine/sync.hpp"
#include "engine/verify.hpp"

#include "support/memory_store.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <json/value.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vorn_test::slurp;
using vorn_test::writeTextFile;

const std::string kChannel = "tools";
const size_t kMiB = 1048576;

class VerifyEngine : public ::testing::Test {
 protected:
  vorn_test::MemoryStore store;
  vorn_test::TempDir tmp;
  std::vector<vorn::ManifestFile> files;
  std::map<std::string, std::string> bad;  // path -> reason
  vorn::VerifyStats stats;

  std::string dest() const { return tmp / "dest"; }

  // Publishes a build with one multi-chunk file and installs it.
  void SetUp() override {
    vorn_test::writeSeededFile(tmp / "src/big.bin", 14 * kMiB, 21);
    vorn_test::writeSeededFile(tmp / "src/lib/small.bin", 2 * kMiB, 22);
    writeTextFile(tmp / "src/readme.txt", "read me\n");
    std::string err, text;
    Json::Value doc;
    ASSERT_TRUE(vorn::pushChannel(store, tmp / "src", kChannel, false, "", nullptr, &err)) << err;
    ASSERT_TRUE(store.get(vorn::channelManifestKey(kChannel), &text, &err)) << err;
    ASSERT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
    ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
    ASSERT_EQ(3u, files.size());
    ASSERT_TRUE(sync(nullptr, &err)) << err;
  }

  bool sync(vorn::SyncStats* synced, std::string* err) {
    return vorn::syncChannel(store, kChannel, dest(), "", "", "", vorn::ChunkUrlMap(), synced, err,
                             vorn::ProgressFn(), 0, vorn::WaitFn(), "");
  }

  const vorn::ManifestFile& entry(const std::string& path) const {
    for (const auto& f : files)
      if (f.path == path) return f;
    static const vorn::ManifestFile none;
    ADD_FAILURE() << "no manifest entry " << path;
    return none;
  }

  size_t totalChunks() const {
    size_t n = 0;
    for (const auto& f : files) n += f.chunks.size();
    return n;
  }

  bool verify(bool quick, const vorn::ProgressFn& progress = vorn::ProgressFn()) {
    bad.clear();
    std::string err;
    bool ok = vorn::verifyChannel(
        store, kChannel, dest(), "", "", "",
        [&](const std::string& path, const std::string& reason) {
          EXPECT_EQ(0u, bad.count(path)) << "reported twice: " << path;
          bad[path] = reason;
        },
        &stats, &err, progress, quick);
    EXPECT_TRUE(ok) << err;
    return ok;
  }
};

TEST_F(VerifyEngine, IntactInstallPassesQuickAndFull) {
  // Extra files are not the manifest's business.
  writeTextFile(dest() + "/save/game1.sav", "progress");
  writeTextFile(dest() + "/big.bin.part", "left over");
  ASSERT_TRUE(verify(false));
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(3u, stats.files);
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(totalChunks(), stats.chunksChecked);
  EXPECT_EQ(static_cast<int64_t>(14 * kMiB + 2 * kMiB + 8), stats.bytesChecked);

  ASSERT_TRUE(verify(true));
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(0u, stats.chunksChecked);
  EXPECT_EQ(0, stats.bytesChecked);
}

TEST_F(VerifyEngine, MissingWrongSizeAndUnreadableFiles) {
  fs::remove(dest() + "/readme.txt");
  {
    std::ofstream grow(dest() + "/big.bin", std::ios::binary | std::ios::app);
    grow.put('!');
  }
  // A directory where a file belongs has a status but no readable bytes.
  fs::remove(dest() + "/lib/small.bin");
  fs::create_directories(dest() + "/lib/small.bin/inner");
  for (bool quick : {true, false}) {
    ASSERT_TRUE(verify(quick));
    EXPECT_EQ(1u, stats.missing);
    EXPECT_EQ("missing", bad["readme.txt"]);
    EXPECT_EQ("size mismatch", bad["big.bin"]);  // never read, even in a full check
    EXPECT_EQ(0u, stats.chunksChecked);
  }
  EXPECT_EQ("truncated or unreadable", bad["lib/small.bin"]);
  EXPECT_EQ(2u, stats.corrupt);
  EXPECT_EQ(0u, stats.ok);

  fs::remove_all(dest());
  ASSERT_TRUE(verify(false));
  EXPECT_EQ(3u, stats.missing);
  for (const auto& [path, reason] : bad) EXPECT_EQ("missing", reason) << path;
  EXPECT_FALSE(fs::exists(dest())) << "verify writes nothing";
}

TEST_F(VerifyEngine, AlteredMiddleChunkIsFoundOnlyByTheFullCheck) {
  const auto& big = entry("big.bin");
  ASSERT_GE(big.chunks.size(), 3u) << "the test needs a file of at least three chunks";
  const size_t middle = big.chunks.size() / 2;
  uint64_t offset = 0;
  for (size_t i = 0; i < middle; ++i) offset += big.chunks[i].size;
  {
    std::fstream file(dest() + "/big.bin", std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset + big.chunks[middle].size / 2));
    file.put('\x7f');
  }
  // Other files' chunks count too; big.bin is checked up to its bad chunk.
  uint64_t lastDone = 0, lastTotal = 0;
  int64_t lastBytes = -1;
  ASSERT_TRUE(verify(false, [&](uint64_t done, uint64_t total, int64_t bytes) {
    EXPECT_GE(done, lastDone);
    lastDone = done;
    lastTotal = total;
    lastBytes = bytes;
  }));
  EXPECT_EQ(1u, stats.corrupt);
  EXPECT_EQ(2u, stats.ok);
  EXPECT_EQ("chunk hash mismatch", bad["big.bin"]);
  EXPECT_EQ(middle + totalChunks() - big.chunks.size(), stats.chunksChecked);
  EXPECT_EQ(static_cast<int64_t>(offset + 2 * kMiB + 8), stats.bytesChecked);
  // Progress reaches the total even though the rest of big.bin is skipped.
  EXPECT_EQ(totalChunks(), lastTotal);
  EXPECT_EQ(lastTotal, lastDone);
  EXPECT_EQ(stats.bytesChecked, lastBytes);

  ASSERT_TRUE(verify(true));
  EXPECT_TRUE(bad.empty());

  // A sync repairs it and costs no download for the intact files.
  vorn::SyncStats synced;
  std::string err;
  ASSERT_TRUE(sync(&synced, &err)) << err;
  EXPECT_EQ(totalChunks() - 1, synced.reused);
  ASSERT_TRUE(verify(false));
  EXPECT_EQ(3u, stats.ok);
}

TEST_F(VerifyEngine, ManifestFailuresLeaveTheRecordUntouched) {
  stats.files = 99;
  std::string err;
  EXPECT_FALSE(vorn::verifyChannel(store, "other", dest(), "", "", "", vorn::BadFileFn(), &stats,
                                   &err, vorn::ProgressFn(), false));
  EXPECT_EQ("GET channels/other/manifest.json -> HTTP 404 ", err);

  Json::Value doc;
  ASSERT_TRUE(vorn::parseJson("{\"schema\":1,\"files\":[{\"path\":\"../outside.txt\",\"size\":0,"
                              "\"chunks\":[]}]}",
                              &doc, &err));
  store.objects[vorn::channelManifestKey(kChannel)] = vorn::writeJsonText(doc);
  EXPECT_FALSE(vorn::verifyChannel(store, kChannel, dest(), "", "", "", vorn::BadFileFn(), &stats,
                                   &err, vorn::ProgressFn(), false));
  EXPECT_EQ("unsafe path in manifest: '../outside.txt'", err);
  EXPECT_EQ(99u, stats.files);

  // verifyFiles reads a parsed document of any shape without a crash.
  ASSERT_TRUE(
      vorn::parseJson("{\"schema\":1,\"files\":[{\"path\":7,\"size\":\"x\"}]}", &doc, &err));
  err.clear();
  EXPECT_FALSE(
      vorn::verifyFiles(dest(), doc, vorn::BadFileFn(), &stats, vorn::ProgressFn(), false, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(99u, stats.files);
}

}  // namespace
