// Verify against an in-memory store: the four reasons, quick against full
// checks, the counters and what a hostile manifest cannot make it do.

#include "engine/verify.hpp"

#include "engine/push.hpp"
#include "engine/sync.hpp"

#include "support/engine_fixtures.hpp"
#include "support/memory_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;
using vorn_test::writeTextFile;

const std::string kChannel = "tools";
const size_t kMiB = 1048576;

class VerifyEngine : public ::testing::Test {
 protected:
  vorn_test::MemoryStore store;
  vorn_test::TempDir tmp;
  vorn::ManifestFile big;  // the multi-chunk file
  size_t totalChunks = 0;
  std::map<std::string, std::string> bad;  // path -> reason
  vorn::VerifyStats stats;
  std::string err;

  std::string dest() const { return tmp / "dest"; }

  // Publishes a build with one multi-chunk file and installs it.
  void SetUp() override {
    vorn_test::writeSeededFile(tmp / "src/big.bin", 14 * kMiB, 21);
    vorn_test::writeSeededFile(tmp / "src/lib/small.bin", 2 * kMiB, 22);
    writeTextFile(tmp / "src/readme.txt", "read me\n");
    ASSERT_TRUE(vorn::pushChannel(store, tmp / "src", kChannel, false, "", nullptr, &err)) << err;
    for (const auto& f : vorn_test::storedFiles(store, kChannel)) {
      totalChunks += f.chunks.size();
      if (f.path == "big.bin") big = f;
    }
    ASSERT_GE(big.chunks.size(), 3u) << "the test needs a file of at least three chunks";
    ASSERT_TRUE(sync(nullptr)) << err;
  }

  bool sync(vorn::SyncStats* synced) {
    return vorn::syncChannel(store, kChannel, dest(), "", "", "", vorn::ChunkUrlMap(), synced, &err,
                             vorn::ProgressFn(), 0, vorn::WaitFn(), "");
  }

  bool verify(bool quick, const vorn::ProgressFn& progress = vorn::ProgressFn(),
              const std::string& channel = kChannel) {
    bad.clear();
    return vorn::verifyChannel(
        store, channel, dest(), "", "", "",
        [&](const std::string& path, const std::string& reason) {
          EXPECT_EQ(0u, bad.count(path)) << "reported twice: " << path;
          bad[path] = reason;
        },
        &stats, &err, progress, quick);
  }
};

TEST_F(VerifyEngine, IntactInstallPassesQuickAndFull) {
  // Extra files are not the manifest's business.
  writeTextFile(dest() + "/save/game1.sav", "progress");
  writeTextFile(dest() + "/big.bin.part", "left over");
  ASSERT_TRUE(verify(false)) << err;
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(totalChunks, stats.chunksChecked);
  EXPECT_EQ(static_cast<int64_t>(16 * kMiB + 8), stats.bytesChecked);

  ASSERT_TRUE(verify(true)) << err;
  EXPECT_EQ(3u, stats.ok);
  EXPECT_EQ(0u, stats.chunksChecked);
  EXPECT_EQ(0, stats.bytesChecked);
}

TEST_F(VerifyEngine, MissingWrongSizeAndUnreadableFiles) {
  fs::remove(dest() + "/readme.txt");
  std::ofstream(dest() + "/big.bin", std::ios::binary | std::ios::app).put('!');
  // A directory where a file belongs has a status but no readable bytes.
  fs::remove(dest() + "/lib/small.bin");
  fs::create_directories(dest() + "/lib/small.bin/inner");
  for (bool quick : {true, false}) {
    ASSERT_TRUE(verify(quick)) << err;
    EXPECT_EQ(1u, stats.missing);
    EXPECT_EQ("missing", bad["readme.txt"]);
    EXPECT_EQ("size mismatch", bad["big.bin"]);  // never read, even in a full check
    EXPECT_EQ(0u, stats.chunksChecked);
  }
  EXPECT_EQ("truncated or unreadable", bad["lib/small.bin"]);
  EXPECT_EQ(2u, stats.corrupt);
  EXPECT_EQ(0u, stats.ok);

  fs::remove_all(dest());
  ASSERT_TRUE(verify(false)) << err;
  EXPECT_EQ(3u, stats.missing);
  EXPECT_FALSE(fs::exists(dest())) << "verify writes nothing";
}

TEST_F(VerifyEngine, AlteredMiddleChunkIsFoundOnlyByTheFullCheck) {
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
  })) << err;
  EXPECT_EQ(2u, stats.ok);
  EXPECT_EQ((std::map<std::string, std::string>{{"big.bin", "chunk hash mismatch"}}), bad);
  EXPECT_EQ(middle + totalChunks - big.chunks.size(), stats.chunksChecked);
  EXPECT_EQ(static_cast<int64_t>(offset + 2 * kMiB + 8), stats.bytesChecked);
  // Progress reaches the total even though the rest of big.bin is skipped.
  EXPECT_EQ(totalChunks, lastTotal);
  EXPECT_EQ(lastTotal, lastDone);
  EXPECT_EQ(stats.bytesChecked, lastBytes);

  ASSERT_TRUE(verify(true)) << err;
  EXPECT_TRUE(bad.empty());

  // A sync repairs it and costs no download for the intact files.
  vorn::SyncStats synced;
  ASSERT_TRUE(sync(&synced)) << err;
  EXPECT_EQ(totalChunks - 1, synced.reused);
  ASSERT_TRUE(verify(false)) << err;
  EXPECT_EQ(3u, stats.ok);
}

// Executable bits count only once the manifest speaks of them; sync then sets
// them where listed (x where r is set) and clears them elsewhere.
TEST_F(VerifyEngine, ExecutableBitsAreCheckedAndSetOnlyWhenTheManifestCarriesThem) {
  const auto perms = [&](const std::string& path) {
    return fs::status(dest() + "/" + path).permissions() & fs::perms::all;
  };
  const fs::perms exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  fs::permissions(dest() + "/readme.txt", fs::perms::owner_exec, fs::perm_options::add);
  ASSERT_TRUE(verify(false)) << err;
  EXPECT_TRUE(bad.empty()) << "no member anywhere: modes are not checked";

  const std::string key = vorn::channelManifestKey(kChannel);
  Json::Value doc;
  ASSERT_TRUE(vorn::parseJson(store.objects[key], &doc, &err)) << err;
  for (Json::Value& file : doc["files"])
    if (file["path"] == "big.bin") file["executable"] = true;
  store.objects[key] = vorn::writeJsonText(doc);
  for (bool quick : {true, false}) {
    ASSERT_TRUE(verify(quick)) << err;
    EXPECT_EQ((std::map<std::string, std::string>{{"big.bin", "mode"}, {"readme.txt", "mode"}}),
              bad);
    EXPECT_EQ(2u, stats.corrupt);
    EXPECT_EQ(1u, stats.ok);
  }
  EXPECT_EQ(vorn::kReasonMode, std::string("mode"));

  ASSERT_TRUE(sync(nullptr)) << err;
  const unsigned mode = static_cast<unsigned>(perms("big.bin"));
  EXPECT_EQ(mode & 0111u, (mode & 0444u) >> 2) << std::oct << mode;
  EXPECT_NE(mode & 0100u, 0u) << std::oct << mode;
  EXPECT_EQ(perms("readme.txt") & exec, fs::perms::none);
  EXPECT_EQ(perms("lib/small.bin") & exec, fs::perms::none);
  ASSERT_TRUE(verify(false)) << err;
  EXPECT_TRUE(bad.empty());
  // Content problems are named before the mode.
  fs::permissions(dest() + "/big.bin", exec, fs::perm_options::remove);
  std::ofstream(dest() + "/big.bin", std::ios::binary | std::ios::app).put('!');
  ASSERT_TRUE(verify(false)) << err;
  EXPECT_EQ("size mismatch", bad["big.bin"]);
}

TEST_F(VerifyEngine, ManifestFailuresLeaveTheRecordUntouched) {
  stats.files = 99;
  EXPECT_FALSE(verify(false, {}, "other"));
  EXPECT_EQ("GET channels/other/manifest.json -> HTTP 404 ", err);
  store.objects[vorn::channelManifestKey(kChannel)] =
      "{\"schema\":1,\"files\":[{\"path\":\"../outside.txt\",\"size\":0,\"chunks\":[]}]}";
  EXPECT_FALSE(verify(false));
  EXPECT_EQ("unsafe path in manifest: '../outside.txt'", err);
  EXPECT_EQ(99u, stats.files);

  // verifyFiles reads a parsed document of any shape without a crash.
  Json::Value doc;
  ASSERT_TRUE(vorn::parseJson("{\"schema\":1,\"files\":[{\"path\":7,\"size\":\"x\"}]}", &doc, &err));
  err.clear();
  EXPECT_FALSE(
      vorn::verifyFiles(dest(), doc, vorn::BadFileFn(), &stats, vorn::ProgressFn(), false, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(99u, stats.files);
}

}  // namespace
