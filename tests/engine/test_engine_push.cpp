// Push against the in-memory store: what is uploaded, in which order, the
// unchanged and force rules, signatures, and the faults that must leave the
// channel's previous manifest current.

#include "engine/push.hpp"

#include "chunking/manifest_builder.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/signing.hpp"

#include "support/engine_fixtures.hpp"
#include "support/memory_store.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <functional>
#include <set>

namespace {

using vorn::PushStats;
using vorn_test::writeSeededFile;

constexpr size_t kMiB = 1024 * 1024;
const std::string kStableKey = "channels/stable/manifest.json";
const std::string kForceMessage = "channel 'stable' already published (use --force to overwrite)";

std::vector<std::string> callsOf(const vorn_test::MemoryStore& store, const std::string& op) {
  std::vector<std::string> out;
  for (const auto& call : store.calls)
    if (call.rfind(op + " ", 0) == 0) out.push_back(call.substr(op.size() + 1));
  return out;
}

// A small build in dir/src: a compressible file, an incompressible one, an
// exact copy of it in a subdirectory (cross-file repeat) and an empty file.
class Push : public ::testing::Test {
 protected:
  void SetUp() override {
    vorn_test::writeTextFile(dir / "src/app.txt", vorn_test::compressibleBytes(2 * kMiB, 1));
    writeSeededFile(dir / "src/data.bin", 1536 * 1024, 2);
    writeSeededFile(dir / "src/sub/copy.bin", 1536 * 1024, 2);
    vorn_test::writeTextFile(dir / "src/empty", "");
  }

  bool push(PushStats* stats, bool force = false, const std::string& key = "",
            const std::string& source = "src", const std::string& channel = "stable") {
    err.clear();
    return vorn::pushChannel(store, dir / source, channel, force, key, stats, &err);
  }

  std::vector<vorn::ManifestFile> files(const std::string& channel = "stable") {
    return vorn_test::storedFiles(store, channel);
  }
  std::map<std::string, uint64_t> uniqueChunks() { return vorn_test::uniqueChunks(files()); }

  vorn_test::TempDir dir;
  vorn_test::MemoryStore store;
  std::string err;
};

TEST_F(Push, FirstPushUploadsEveryUniqueChunkOnceAsFramesOrRawBytes) {
  PushStats stats;
  const int64_t before = std::time(nullptr);
  ASSERT_TRUE(push(&stats)) << err;
  Json::Value doc;
  ASSERT_TRUE(vorn::parseJson(store.objects[kStableKey], &doc, &err)) << err;
  const auto ids = uniqueChunks();
  EXPECT_EQ(stats.uniqueChunks, ids.size());
  EXPECT_EQ(stats.uploaded, ids.size());
  EXPECT_EQ(stats.alreadyPresent, 0u);
  EXPECT_FALSE(stats.unchanged);
  EXPECT_EQ(doc["build"].asString(), stats.build);
  EXPECT_EQ(doc["channel"].asString(), "stable");
  EXPECT_GE(doc["created"].asInt64(), before);
  EXPECT_LE(doc["created"].asInt64(), std::time(nullptr));
  // Stamping changes neither the build id nor the files.
  vorn::ManifestStats built;
  Json::Value builderDoc;
  ASSERT_TRUE(vorn::parseJson(vorn::buildManifest(dir / "src", &built, &err), &builderDoc, &err));
  EXPECT_EQ(built.build, stats.build);
  EXPECT_EQ(builderDoc["files"], doc["files"]);

  // Probed and written once each, ascending, under the plain key; then the manifest.
  std::vector<std::string> keys{kStableKey};
  for (const auto& entry : ids) keys.push_back(vorn::plainChunkKey(entry.first));
  EXPECT_EQ(callsOf(store, "head"), keys);
  std::rotate(keys.begin(), keys.begin() + 1, keys.end());
  EXPECT_EQ(callsOf(store, "put"), keys);

  // Each object is the level 12 frame, which the zstd tool restores, or the
  // raw bytes when that does not shrink them.
  const std::string zstd = vorn_test::runProcess({"/bin/sh", "-c", "command -v zstd"}).out;
  ASSERT_FALSE(zstd.empty()) << "the zstd tool is needed";
  size_t frames = 0, raw = 0;
  int64_t bytesStored = 0;
  std::set<std::string> seen;
  for (const auto& file : files()) {
    const std::string content = vorn_test::slurp(dir / ("src/" + file.path));
    uint64_t offset = 0;
    for (const auto& chunk : file.chunks) {
      const std::string bytes = content.substr(offset, chunk.size);
      offset += chunk.size;
      const std::string& object = store.objects.at(vorn::plainChunkKey(chunk.id));
      if (!seen.insert(chunk.id).second) continue;
      bytesStored += static_cast<int64_t>(object.size());
      if (object.size() < bytes.size()) {
        ++frames;
        EXPECT_EQ(object, vorn::compressChunk(bytes, 12));
        vorn_test::writeTextFile(dir / "frame.zst", object);
        auto unpacked = vorn_test::runProcess(
            {zstd.substr(0, zstd.find('\n')), "-d", "-q", "-c", dir / "frame.zst"});
        EXPECT_TRUE(unpacked.status == 0 && unpacked.out == bytes) << unpacked.err;
      } else {
        ++raw;
        EXPECT_TRUE(object == bytes);
      }
    }
  }
  EXPECT_GE(frames, 1u);
  EXPECT_GE(raw, 1u);
  EXPECT_EQ(stats.bytesStored, bytesStored);
  EXPECT_EQ(stats.bytesIn, static_cast<int64_t>(2 * kMiB + 1536 * 1024));
}

TEST_F(Push, SingleFileEmptyDirectoryAndMissingSource) {
  PushStats stats;
  ASSERT_TRUE(push(&stats, false, "", "src/app.txt", "one")) << err;
  const auto one = files("one");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].path, "app.txt");

  std::filesystem::create_directories(dir / "nothing");
  ASSERT_TRUE(push(&stats, false, "", "nothing", "none")) << err;
  EXPECT_EQ(stats.uniqueChunks, 0u);
  EXPECT_TRUE(files("none").empty());

  EXPECT_FALSE(push(&stats, false, "", "missing", "gone"));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(store.objects.count("channels/gone/manifest.json"), 0u);
}

TEST_F(Push, SameBuildIsUnchangedButProbedAndMissingChunksReturn) {
  PushStats first, again;
  ASSERT_TRUE(push(&first)) << err;
  // Mark the stored manifest so any rewrite would show.
  const std::string marked = store.objects[kStableKey] + " ";
  store.objects[kStableKey] = marked;
  store.calls.clear();
  for (bool force : {false, true}) {
    ASSERT_TRUE(push(&again, force)) << err;
    EXPECT_TRUE(again.unchanged);
    EXPECT_EQ(again.build, first.build);
    EXPECT_EQ(again.alreadyPresent, first.uniqueChunks);
    EXPECT_EQ(again.bytesIn, 0);
  }
  EXPECT_EQ(store.count("put"), 0u);
  EXPECT_EQ(store.count("head"), 2 * (1 + first.uniqueChunks));

  // Lost chunk objects (first and last in id order) are uploaded and counted.
  const auto ids = uniqueChunks();
  const std::string firstKey = vorn::plainChunkKey(ids.begin()->first);
  const std::string lastKey = vorn::plainChunkKey(ids.rbegin()->first);
  const int64_t lostStored =
      static_cast<int64_t>(store.objects[firstKey].size() + store.objects[lastKey].size());
  store.objects.erase(firstKey);
  store.objects.erase(lastKey);
  store.calls.clear();
  ASSERT_TRUE(push(&again)) << err;
  EXPECT_TRUE(again.unchanged);
  EXPECT_EQ(again.uploaded, 2u);
  EXPECT_EQ(again.alreadyPresent, ids.size() - 2);
  EXPECT_EQ(again.bytesIn, static_cast<int64_t>(ids.begin()->second + ids.rbegin()->second));
  EXPECT_EQ(again.bytesStored, lostStored);
  EXPECT_EQ(callsOf(store, "put"), (std::vector<std::string>{firstKey, lastKey}));
  EXPECT_EQ(store.objects.at(kStableKey), marked);
}

TEST_F(Push, EditingAFewFilesUploadsOnlyTheirChangedChunks) {
  for (int i = 0; i < 5; ++i)
    writeSeededFile(dir / ("src/lib" + std::to_string(i) + ".bin"), (1100 + 150 * i) * 1024, 10 + i);
  vorn_test::writeTextFile(dir / "src/big.txt", vorn_test::compressibleBytes(11 * kMiB, 20));
  PushStats first, second;
  ASSERT_TRUE(push(&first)) << err;
  const auto before = uniqueChunks();

  // Rewrite one small file and change a few bytes near the end of the big one.
  writeSeededFile(dir / "src/lib2.bin", 1400 * 1024, 99);
  {
    std::fstream big(dir / "src/big.txt", std::ios::in | std::ios::out | std::ios::binary);
    big.seekp(static_cast<std::streamoff>(10 * kMiB + 777));
    big.write("EDITED", 6);
  }
  ASSERT_TRUE(push(&second, true)) << err;
  const auto after = uniqueChunks();
  size_t changed = 0;
  int64_t changedBytes = 0;
  for (const auto& [id, size] : after) {
    if (before.count(id)) continue;
    ++changed;
    changedBytes += static_cast<int64_t>(size);
  }
  EXPECT_GE(changed, 2u);
  EXPECT_LE(changed, 3u);
  EXPECT_EQ(second.uploaded, changed);
  EXPECT_EQ(second.alreadyPresent, after.size() - changed);
  EXPECT_EQ(second.bytesIn, changedBytes);
}

TEST_F(Push, DifferentBuildNeedsForceAndIsRefusedBeforeAnyChunkProbe) {
  writeSeededFile(dir / "other/x.bin", 1200 * 1024, 30);
  PushStats stats;
  ASSERT_TRUE(push(&stats)) << err;
  const auto before = store.objects;
  store.calls.clear();
  stats.uploaded = 777;
  EXPECT_FALSE(push(&stats, false, "", "other"));
  EXPECT_EQ(err, kForceMessage);
  EXPECT_EQ(store.calls, (std::vector<std::string>{"head " + kStableKey, "get " + kStableKey}));
  EXPECT_EQ(store.objects, before);
  EXPECT_EQ(stats.uploaded, 777u);  // untouched on failure

  ASSERT_TRUE(push(&stats, true, "", "other")) << err;
  EXPECT_EQ(stats.uploaded, 1u);
  EXPECT_NE(store.objects.at(kStableKey).find(stats.build), std::string::npos);

  // A stored manifest that cannot be read as one (or at all) counts as a different build.
  for (const std::string text : {"not json at all", "[1,2]", "{\"build\":7}", ""}) {
    store.objects[kStableKey] = text;
    if (text.empty())
      store.failWhen = [](const std::string& op, const std::string&) { return op == "get"; };
    EXPECT_FALSE(push(&stats)) << text;
    EXPECT_EQ(err, kForceMessage);
    EXPECT_EQ(store.objects.at(kStableKey), text);
  }
}

TEST_F(Push, SignatureVerifiesOverTheStoredBytesAndABadKeyFailsLast) {
  PushStats stats;
  EXPECT_FALSE(push(&stats, false, "abcd"));
  EXPECT_EQ(err, "bad secret key (need 64-byte hex)");
  EXPECT_EQ(store.objects.count(kStableKey + ".sig"), 0u);
  EXPECT_EQ(store.count("put"), uniqueChunks().size() + 1);  // no signature
  // An unchanged push never uses the key.
  ASSERT_TRUE(push(&stats, false, "abcd")) << err;
  EXPECT_TRUE(stats.unchanged);

  vorn::SigningKeyPair pair;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&pair, nullptr));
  ASSERT_TRUE(push(&stats, false, pair.secretHex, "src", "signed")) << err;
  const std::string key = "channels/signed/manifest.json";
  EXPECT_TRUE(vorn::verifyManifestSignature(pair.publicHex, store.objects.at(key),
                                            store.objects.at(key + ".sig"), &err))
      << err;
  EXPECT_EQ(store.calls.back(), "put " + key + ".sig");
  // A forced unsigned push leaves the old (now stale) signature object alone.
  const std::string oldSignature = store.objects.at(key + ".sig");
  writeSeededFile(dir / "other/x.bin", 1200 * 1024, 31);
  ASSERT_TRUE(push(&stats, true, "", "other", "signed")) << err;
  EXPECT_EQ(store.objects.at(key + ".sig"), oldSignature);
}

// Each fault hits a forced push of a changed build; the previous manifest
// must stay current.
TEST_F(Push, FaultsLeaveThePreviousManifestCurrent) {
  ASSERT_TRUE(push(nullptr)) << err;
  const std::string previous = store.objects.at(kStableKey);
  const std::string newFile = dir / "src/new.bin";
  std::string failedKey;
  const std::string unreachable = "curl: Couldn't connect to server";
  // The manifest probe comes after the build: a file changed then is caught.
  auto changeAfterBuild = [&](size_t size, uint64_t seed) {
    return [&, size, seed](const std::string& op, const std::string& key) {
      if (op == "head" && key == kStableKey) writeSeededFile(newFile, size, seed);
      return false;
    };
  };
  const struct {
    std::function<bool(const std::string&, const std::string&)> hook;
    std::function<std::string()> expected;
  } faults[] = {
      {[](const std::string&, const std::string&) { return true; },
       [&] { return "cannot reach store: " + unreachable; }},
      {[&](const std::string& op, const std::string& key) {
         if (op != "head" || key.rfind("chunks/", 0) != 0) return false;
         failedKey = key;
         return true;
       },
       [&] { return "HEAD " + failedKey + " failed: " + unreachable; }},
      {changeAfterBuild(1300 * 1024, 41),
       [&] { return "chunk hash mismatch reading " + newFile + " (file changed under us?)"; }},
      {changeAfterBuild(1000, 40), [&] { return "cannot read chunk bytes from " + newFile; }},
      {[](const std::string& op, const std::string& key) {
         return op == "put" && key.rfind("chunks/", 0) == 0;
       },
       [&] { return unreachable; }},
      {[](const std::string& op, const std::string& key) { return op == "put" && key == kStableKey; },
       [&] { return unreachable; }},
  };
  for (const auto& fault : faults) {
    writeSeededFile(newFile, 1300 * 1024, 40);
    store.failWhen = fault.hook;
    PushStats stats;
    stats.build = "untouched";
    EXPECT_FALSE(push(&stats, true));
    EXPECT_EQ(err, fault.expected());
    EXPECT_EQ(stats.build, "untouched");
    store.failWhen = nullptr;
    EXPECT_EQ(store.objects.at(kStableKey), previous) << fault.expected();
  }
  // Chunks that made it stay: a retry only writes the manifest.
  writeSeededFile(newFile, 1300 * 1024, 40);
  store.calls.clear();
  PushStats stats;
  ASSERT_TRUE(push(&stats, true)) << err;
  EXPECT_EQ(stats.uploaded, 0u);
  EXPECT_EQ(callsOf(store, "put"), std::vector<std::string>{kStableKey});
}

}  // namespace
