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
using vorn_test::MemoryStore;
using vorn_test::slurp;
using vorn_test::TempDir;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const std::string kChannel = "tools";
const size_t kMiB = 1048576;

class VerifyEngine : public ::testing::Test {
 protected:
  MemoryStore store;
  TempDir tmp;
  std::vector<vorn::ManifestFile> files;
  std::map<std::string, std::string> bad;  // path -> reason
  vorn::VerifyStats stats;

  std::string dest() const { return tmp / "dest"; }

  // Publishes a build with one multi-chunk file and installs it.
  void SetUp() override {
    writeSeededFile(tmp / "src/big.bin", 14 * kMiB, 21);
    writeSeededFile(tmp / "src/lib/small.bin", 2 * kMiB, 22);
    writeTextFile(tmp / "src/readme.txt", "read me\n");
    std::string err;
    ASSERT_TRUE(vorn::pushChannel(store, tmp / "src", kChannel, false, "", nullptr, &err)) << err;
    std::string text;
    Json::Value doc;
    ASSERT_TRUE(store.get(vorn::channelManifestKey(kChannel), &text, &err)) << err;
    ASSERT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
    ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
    ASSERT_EQ(3u, files.size());
    ASSERT_TRUE(vorn::syncChannel(store, kChannel, dest(), "", "", "", vorn::ChunkUrlMap(), nullptr,
                                  &err, vorn::ProgressFn(), 0, vorn::WaitFn(), ""))
        << err;
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

TEST_F(VerifyEngine, IntactInstallPassesAndCountsEveryChunk) {
  ASSERT_TRUE(verify(false));
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(3u, stats.files);
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(totalChunks(), stats.chunksChecked);
  EXPECT_EQ(static_cast<int64_t>(14 * kMiB + 2 * kMiB + 8), stats.bytesChecked);
}

TEST_F(VerifyEngine, QuickCheckReadsNoChunks) {
  ASSERT_TRUE(verify(true));
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(0u, stats.chunksChecked);
  EXPECT_EQ(0, stats.bytesChecked);
}

TEST_F(VerifyEngine, MissingDestinationReportsEveryFileMissing) {
  fs::remove_all(dest());
  ASSERT_TRUE(verify(false));
  EXPECT_EQ(stats.files, stats.missing);
  EXPECT_EQ(0u, stats.ok);
  ASSERT_EQ(3u, bad.size());
  for (const auto& [path, reason] : bad) EXPECT_EQ("missing", reason) << path;
  EXPECT_FALSE(fs::exists(dest())) << "verify writes nothing";
}

TEST_F(VerifyEngine, WrongSizeIsCorruptInBothChecksAndNotRead) {
  {
    std::ofstream grow(dest() + "/lib/small.bin", std::ios::binary | std::ios::app);
    grow.put('!');
  }
  fs::resize_file(dest() + "/readme.txt", 7);
  for (bool quick : {true, false}) {
    ASSERT_TRUE(verify(quick));
    EXPECT_EQ(2u, stats.corrupt);
    EXPECT_EQ(1u, stats.ok);
    EXPECT_EQ("size mismatch", bad["lib/small.bin"]);
    EXPECT_EQ("size mismatch", bad["readme.txt"]);
    EXPECT_EQ(quick ? 0u : entry("big.bin").chunks.size(), stats.chunksChecked);
  }
}

TEST_F(VerifyEngine, AlteredMiddleChunkIsFoundOnlyByTheFullCheck) {
  const auto& big = entry("big.bin");
  ASSERT_GE(big.chunks.size(), 3u) << "the test needs a file of at least three chunks";
  const size_t middle = big.chunks.size() / 2;
  uint64_t offset = 0;
  int64_t bytesBefore = 0;
  for (size_t i = 0; i < middle; ++i) {
    offset += big.chunks[i].size;
    bytesBefore += static_cast<int64_t>(big.chunks[i].size);
  }
  {
    std::fstream file(dest() + "/big.bin", std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset + big.chunks[middle].size / 2));
    file.put('\x7f');
  }
  // Other files' chunks count too; big.bin is checked up to its bad chunk.
  size_t otherChunks = totalChunks() - big.chunks.size();
  int64_t otherBytes = static_cast<int64_t>(2 * kMiB + 8);

  ASSERT_TRUE(verify(false));
  EXPECT_EQ(1u, stats.corrupt);
  EXPECT_EQ(2u, stats.ok);
  EXPECT_EQ("chunk hash mismatch", bad["big.bin"]);
  EXPECT_EQ(middle + otherChunks, stats.chunksChecked);
  EXPECT_EQ(bytesBefore + otherBytes, stats.bytesChecked);

  ASSERT_TRUE(verify(true));
  EXPECT_EQ(3u, stats.ok);
  EXPECT_TRUE(bad.empty());
}

// A directory where a file belongs has a status but no readable bytes.
TEST_F(VerifyEngine, UnreadableFileIsTruncatedOrUnreadable) {
  fs::remove(dest() + "/lib/small.bin");
  fs::create_directories(dest() + "/lib/small.bin/inner");
  ASSERT_TRUE(verify(false));
  EXPECT_EQ("truncated or unreadable", bad["lib/small.bin"]);
  EXPECT_EQ(1u, stats.corrupt);
}

TEST_F(VerifyEngine, ExtraFilesAreNotReported) {
  writeTextFile(dest() + "/save/game1.sav", "progress");
  writeTextFile(dest() + "/big.bin.part", "left over");
  ASSERT_TRUE(verify(false));
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(3u, stats.files);
}

TEST_F(VerifyEngine, ProgressReachesTheTotalEvenWhenFilesAreSkipped) {
  fs::remove(dest() + "/big.bin");
  uint64_t lastDone = 0, lastTotal = 0;
  int64_t lastBytes = -1;
  ASSERT_TRUE(verify(false, [&](uint64_t done, uint64_t total, int64_t bytes) {
    EXPECT_GE(done, lastDone);
    lastDone = done;
    lastTotal = total;
    lastBytes = bytes;
  }));
  EXPECT_EQ(totalChunks(), lastTotal);
  EXPECT_EQ(lastTotal, lastDone);
  EXPECT_EQ(stats.bytesChecked, lastBytes);
}

TEST_F(VerifyEngine, SyncRepairsWhatVerifyFound) {
  fs::remove(dest() + "/readme.txt");
  writeTextFile(dest() + "/lib/small.bin", "short");
  ASSERT_TRUE(verify(false));
  EXPECT_EQ(1u, stats.missing);
  EXPECT_EQ(1u, stats.corrupt);

  vorn::SyncStats synced;
  std::string err;
  ASSERT_TRUE(vorn::syncChannel(store, kChannel, dest(), "", "", "", vorn::ChunkUrlMap(), &synced,
                                &err, vorn::ProgressFn(), 0, vorn::WaitFn(), ""))
      << err;
  EXPECT_EQ(entry("big.bin").chunks.size(), synced.reused) << "intact files cost no download";
  ASSERT_TRUE(verify(false));
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(slurp(tmp / "src/lib/small.bin"), slurp(dest() + "/lib/small.bin"));
}

TEST_F(VerifyEngine, ManifestFailuresLeaveTheRecordUntouched) {
  stats.files = 99;
  std::string err;
  EXPECT_FALSE(vorn::verifyChannel(store, "other", dest(), "", "", "", vorn::BadFileFn(), &stats,
                                   &err, vorn::ProgressFn(), false));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(99u, stats.files);

  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  doc["files"] = Json::Value(Json::arrayValue);
  Json::Value hostile(Json::objectValue);
  hostile["path"] = "../outside.txt";
  hostile["size"] = 0;
  hostile["chunks"] = Json::Value(Json::arrayValue);
  doc["files"].append(hostile);
  store.objects[vorn::channelManifestKey(kChannel)] = vorn::writeJsonText(doc);
  EXPECT_FALSE(vorn::verifyChannel(store, kChannel, dest(), "", "", "", vorn::BadFileFn(), &stats,
                                   &err, vorn::ProgressFn(), false));
  EXPECT_EQ("unsafe path in manifest: '../outside.txt'", err);
  EXPECT_EQ(99u, stats.files);
}

TEST_F(VerifyEngine, VerifyFilesWorksOnAParsedDocumentWithWrongTypes) {
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(
      vorn::parseJson("{\"schema\":1,\"files\":[{\"path\":7,\"size\":\"x\"}]}", &doc, &err));
  vorn::VerifyStats none;
  EXPECT_FALSE(
      vorn::verifyFiles(dest(), doc, vorn::BadFileFn(), &none, vorn::ProgressFn(), false, &err));
  EXPECT_FALSE(err.empty());

  ASSERT_TRUE(vorn::parseJson("{\"schema\":1,\"files\":[]}", &doc, &err));
  EXPECT_TRUE(vorn::verifyFiles(dest(), doc, vorn::BadFileFn(), &none, vorn::ProgressFn(), false));
  EXPECT_EQ(0u, none.files);
}

}  // namespace
