// Push against the in-memory store: what is uploaded, in which order, the
// unchanged and force rules, signatures, and the faults that must leave the
// channel's previous manifest current.

#include "engine/push.hpp"

#include "chunking/manifest.hpp"
#include "chunking/manifest_builder.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/signing.hpp"

#include "support/memory_store.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using vorn::PushStats;
using vorn_test::MemoryStore;
using vorn_test::TempDir;

constexpr size_t kMiB = 1024 * 1024;
const std::string kStableKey = "channels/stable/manifest.json";
const std::string kForceMessage = "channel 'stable' already published (use --force to overwrite)";

// Text-like bytes: compress well, but cut like any other content.
std::string compressibleBytes(size_t size, uint64_t seed) {
  std::string noise = vorn_test::seededBytes(size / 4 + 16, seed);
  const char* words[] = {"load ", "store ", "call ", "ret\n", "push ", "pop ", "jmp ", "nop "};
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) {
    out += words[static_cast<unsigned char>(noise[i % noise.size()]) % 8];
    out += static_cast<char>('a' + static_cast<unsigned char>(noise[(i * 7) % noise.size()]) % 26);
  }
  out.resize(size);
  return out;
}

std::vector<std::string> callsOf(const MemoryStore& store, const std::string& op) {
  std::vector<std::string> out;
  for (const auto& call : store.calls) {
    if (call.compare(0, op.size() + 1, op + " ") == 0) out.push_back(call.substr(op.size() + 1));
  }
  return out;
}

// A small build in dir/src: a compressible file, an incompressible one, an
// exact copy of it in a subdirectory (cross-file repeat) and an empty file.
class Push : public ::testing::Test {
 protected:
  void SetUp() override {
    vorn_test::writeTextFile(dir / "src/app.txt", compressibleBytes(2 * kMiB, 1));
    vorn_test::writeSeededFile(dir / "src/data.bin", 1536 * 1024, 2);
    vorn_test::writeSeededFile(dir / "src/sub/copy.bin", 1536 * 1024, 2);
    vorn_test::writeTextFile(dir / "src/empty", "");
  }

  bool push(PushStats* stats, bool force = false, const std::string& key = "",
            const std::string& source = "src", const std::string& channel = "stable") {
    err.clear();
    return vorn::pushChannel(store, dir / source, channel, force, key, stats, &err);
  }

  Json::Value stored(const std::string& key = kStableKey) {
    Json::Value doc;
    EXPECT_TRUE(store.objects.count(key)) << key;
    EXPECT_TRUE(vorn::parseJson(store.objects[key], &doc, nullptr));
    return doc;
  }

  std::vector<vorn::ManifestFile> files(const Json::Value& doc) {
    std::vector<vorn::ManifestFile> out;
    EXPECT_TRUE(vorn::readManifestFiles(doc, &out, &err)) << err;
    return out;
  }

  // Distinct chunk ids of the stored manifest with their sizes.
  std::map<std::string, uint64_t> uniqueChunks() {
    std::map<std::string, uint64_t> ids;
    for (const auto& file : files(stored()))
      for (const auto& chunk : file.chunks) ids[chunk.id] = chunk.size;
    return ids;
  }

  size_t chunkObjects() const {
    size_t n = 0;
    for (const auto& entry : store.objects) n += entry.first.rfind("chunks/", 0) == 0;
    return n;
  }

  TempDir dir;
  MemoryStore store;
  std::string err;
};

TEST_F(Push, FirstPushUploadsEveryUniqueChunkOnceInIdOrder) {
  PushStats stats;
  const int64_t before = std::time(nullptr);
  ASSERT_TRUE(push(&stats)) << err;

  const Json::Value doc = stored();
  const auto ids = uniqueChunks();
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(stats.uniqueChunks, ids.size());
  EXPECT_EQ(stats.uploaded, ids.size());
  EXPECT_EQ(stats.alreadyPresent, 0u);
  EXPECT_FALSE(stats.unchanged);
  EXPECT_EQ(stats.build, doc["build"].asString());
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
  std::vector<std::string> keys;
  for (const auto& entry : ids) keys.push_back(vorn::plainChunkKey(entry.first));
  std::vector<std::string> puts = callsOf(store, "put");
  std::vector<std::string> heads = callsOf(store, "head");
  ASSERT_EQ(puts.size(), ids.size() + 1);
  EXPECT_EQ(std::vector<std::string>(puts.begin(), puts.end() - 1), keys);
  EXPECT_EQ(puts.back(), kStableKey);
  ASSERT_FALSE(heads.empty());
  EXPECT_EQ(heads.front(), kStableKey);
  EXPECT_EQ(std::vector<std::string>(heads.begin() + 1, heads.end()), keys);
  EXPECT_EQ(chunkObjects(), ids.size());
}

TEST_F(Push, StoredObjectsAreZstdFramesOrRawBytes) {
  PushStats stats;
  ASSERT_TRUE(push(&stats)) << err;
  const std::string zstd = vorn_test::runProcess({"/bin/sh", "-c", "command -v zstd"}).out;
  ASSERT_FALSE(zstd.empty()) << "the zstd tool is needed";
  size_t frames = 0, raw = 0;
  int64_t bytesIn = 0, bytesStored = 0;
  std::map<std::string, bool> seen;
  for (const auto& file : files(stored())) {
    const std::string content = vorn_test::slurp(dir / ("src/" + file.path));
    uint64_t offset = 0;
    for (const auto& chunk : file.chunks) {
      const std::string bytes = content.substr(offset, chunk.size);
      offset += chunk.size;
      const std::string& object = store.objects.at(vorn::plainChunkKey(chunk.id));
      if (!seen.emplace(chunk.id, true).second) continue;
      bytesIn += static_cast<int64_t>(bytes.size());
      bytesStored += static_cast<int64_t>(object.size());
      if (object.size() < bytes.size()) {
        ++frames;
        EXPECT_EQ(object, vorn::compressChunk(bytes, 12));
        // An independent decoder restores the frame.
        vorn_test::writeTextFile(dir / "frame.zst", object);
        auto unpacked = vorn_test::runProcess(
            {zstd.substr(0, zstd.find('\n')), "-d", "-q", "-c", dir / "frame.zst"});
        ASSERT_EQ(unpacked.status, 0) << unpacked.err;
        EXPECT_TRUE(unpacked.out == bytes);
      } else {
        ++raw;
        EXPECT_TRUE(object == bytes);
      }
    }
  }
  EXPECT_GE(frames, 1u);
  EXPECT_GE(raw, 1u);
  EXPECT_EQ(stats.bytesIn, bytesIn);
  EXPECT_EQ(stats.bytesStored, bytesStored);
  EXPECT_LT(stats.bytesStored, stats.bytesIn);
}

TEST_F(Push, SingleFileEmptyDirectoryAndMissingSource) {
  PushStats stats;
  ASSERT_TRUE(push(&stats, false, "", "src/app.txt", "one")) << err;
  const auto one = files(stored("channels/one/manifest.json"));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].path, "app.txt");

  std::filesystem::create_directories(dir / "nothing");
  ASSERT_TRUE(push(&stats, false, "", "nothing", "none")) << err;
  EXPECT_EQ(stats.uniqueChunks, 0u);
  EXPECT_EQ(stats.bytesIn, 0);
  EXPECT_TRUE(files(stored("channels/none/manifest.json")).empty());

  EXPECT_FALSE(push(&stats, false, "", "missing", "gone"));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(store.objects.count("channels/gone/manifest.json"), 0u);
}

TEST_F(Push, SameBuildIsUnchangedButProbedAndMissingChunksReturn) {
  PushStats first, again;
  ASSERT_TRUE(push(&first)) << err;
  // Mark the stored manifest so any rewrite would show.
  Json::Value doc = stored();
  doc["created"] = 12345;
  const std::string marked = vorn::writeJsonText(doc);
  store.objects[kStableKey] = marked;
  store.calls.clear();
  for (bool force : {false, true}) {
    ASSERT_TRUE(push(&again, force)) << err;
    EXPECT_TRUE(again.unchanged);
    EXPECT_EQ(again.build, first.build);
    EXPECT_EQ(again.alreadyPresent, first.uniqueChunks);
    EXPECT_EQ(again.uploaded, 0u);
    EXPECT_EQ(again.bytesIn, 0);
  }
  EXPECT_EQ(store.count("put"), 0u);
  EXPECT_EQ(store.count("head"), 2 * (1 + first.uniqueChunks));

  // Lost chunk objects (first and last in id order) are uploaded and counted.
  const auto ids = uniqueChunks();
  const std::string firstKey = vorn::plainChunkKey(ids.begin()->first);
  const std::string lastKey = vorn::plainChunkKey(ids.rbegin()->first);
  const int64_t lostIn = static_cast<int64_t>(ids.begin()->second + ids.rbegin()->second);
  const int64_t lostStored =
      static_cast<int64_t>(store.objects[firstKey].size() + store.objects[lastKey].size());
  store.objects.erase(firstKey);
  store.objects.erase(lastKey);
  store.calls.clear();
  ASSERT_TRUE(push(&again)) << err;
  EXPECT_TRUE(again.unchanged);
  EXPECT_EQ(again.uploaded, 2u);
  EXPECT_EQ(again.alreadyPresent, ids.size() - 2);
  EXPECT_EQ(again.bytesIn, lostIn);
  EXPECT_EQ(again.bytesStored, lostStored);
  EXPECT_EQ(callsOf(store, "put"), (std::vector<std::string>{firstKey, lastKey}));
  EXPECT_EQ(store.objects.at(kStableKey), marked);
}

TEST_F(Push, EditingAFewFilesUploadsOnlyTheirChangedChunks) {
  for (int i = 0; i < 5; ++i) {
    vorn_test::writeSeededFile(dir / ("src/lib" + std::to_string(i) + ".bin"),
                               (1100 + 150 * i) * 1024, 10 + i);
  }
  vorn_test::writeTextFile(dir / "src/big.txt", compressibleBytes(11 * kMiB, 20));
  PushStats first, second;
  ASSERT_TRUE(push(&first)) << err;
  const auto before = uniqueChunks();

  // Rewrite one small file and change a few bytes near the end of the big one.
  vorn_test::writeSeededFile(dir / "src/lib2.bin", 1400 * 1024, 99);
  {
    std::fstream big(dir / "src/big.txt", std::ios::in | std::ios::out | std::ios::binary);
    big.seekp(static_cast<std::streamoff>(10 * kMiB + 777));
    big.write("EDITED", 6);
  }
  ASSERT_TRUE(push(&second, true)) << err;
  size_t changed = 0;
  int64_t changedBytes = 0;
  for (const auto& [id, size] : uniqueChunks()) {
    if (before.count(id)) continue;
    ++changed;
    changedBytes += static_cast<int64_t>(size);
  }
  EXPECT_NE(second.build, first.build);
  EXPECT_GE(changed, 2u);
  EXPECT_LE(changed, 3u);
  EXPECT_EQ(second.uploaded, changed);
  EXPECT_EQ(second.alreadyPresent, uniqueChunks().size() - changed);
  EXPECT_EQ(second.bytesIn, changedBytes);
}

TEST_F(Push, DifferentBuildNeedsForceAndIsRefusedBeforeAnyChunkProbe) {
  vorn_test::writeSeededFile(dir / "other/x.bin", 1200 * 1024, 30);
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
  EXPECT_EQ(stored()["build"].asString(), stats.build);

  // A stored manifest that cannot be read as one counts as a different build.
  for (const std::string text : {"not json at all", "[1,2]", "{\"build\":7}", "{}"}) {
    store.objects[kStableKey] = text;
    EXPECT_FALSE(push(&stats)) << text;
    EXPECT_EQ(err, kForceMessage);
    EXPECT_EQ(store.objects.at(kStableKey), text);
  }
  store.failWhen = [](const std::string& op, const std::string&) { return op == "get"; };
  EXPECT_FALSE(push(&stats));
  EXPECT_EQ(err, kForceMessage);
}

TEST_F(Push, SignatureVerifiesOverTheStoredBytesAndIsWrittenLast) {
  vorn::SigningKeyPair pair;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&pair, nullptr));
  PushStats stats;
  ASSERT_TRUE(push(&stats, false, pair.secretHex)) << err;
  const std::string& signature = store.objects.at(kStableKey + ".sig");
  EXPECT_TRUE(vorn::verifyManifestSignature(pair.publicHex, store.objects.at(kStableKey),
                                            signature, &err))
      << err;
  EXPECT_EQ(store.calls.back(), "put " + kStableKey + ".sig");
  Json::Value doc;
  EXPECT_TRUE(vorn::fetchChannelManifest(store, "stable", "", pair.publicHex, "", &doc, &err))
      << err;

  // A forced unsigned push leaves the old (now stale) signature object alone.
  const std::string oldSignature = signature;
  vorn_test::writeSeededFile(dir / "other/x.bin", 1200 * 1024, 31);
  ASSERT_TRUE(push(&stats, true, "", "other")) << err;
  EXPECT_EQ(store.objects.at(kStableKey + ".sig"), oldSignature);
  EXPECT_FALSE(vorn::verifyManifestSignature(pair.publicHex, store.objects.at(kStableKey),
                                             oldSignature, nullptr));
}

TEST_F(Push, BadKeyUploadsChunksAndManifestThenFails) {
  PushStats stats;
  EXPECT_FALSE(push(&stats, false, "abcd"));
  EXPECT_EQ(err, "bad secret key (need 64-byte hex)");
  EXPECT_EQ(store.objects.count(kStableKey + ".sig"), 0u);
  EXPECT_EQ(chunkObjects(), uniqueChunks().size());
  // An unchanged push never uses the key.
  ASSERT_TRUE(push(&stats, false, "abcd")) << err;
  EXPECT_TRUE(stats.unchanged);
}

// Each fault hits a forced push of a changed build; the previous manifest
// must stay current.
TEST_F(Push, FaultsLeaveThePreviousManifestCurrent) {
  ASSERT_TRUE(push(nullptr)) << err;
  const std::string previous = store.objects.at(kStableKey);
  const std::string newFile = dir / "src/new.bin";
  vorn_test::writeSeededFile(newFile, 1300 * 1024, 40);
  std::string failedKey;
  const std::string unreachable = "curl: Couldn't connect to server";
  struct Fault {
    const char* name;
    std::function<bool(const std::string&, const std::string&)> hook;
    std::function<std::string()> expected;
  };
  // The manifest probe comes after the build: a file changed then is caught.
  auto changeAfterBuild = [&](size_t size, uint64_t seed) {
    return [&, size, seed](const std::string& op, const std::string& key) {
      if (op == "head" && key == kStableKey) vorn_test::writeSeededFile(newFile, size, seed);
      return false;
    };
  };
  const Fault faults[] = {
      {"store unreachable", [](const std::string&, const std::string&) { return true; },
       [&] { return "cannot reach store: " + unreachable; }},
      {"chunk probe",
       [&](const std::string& op, const std::string& key) {
         if (op != "head" || key.rfind("chunks/", 0) != 0) return false;
         failedKey = key;
         return true;
       },
       [&] { return "HEAD " + failedKey + " failed: " + unreachable; }},
      {"file changed", changeAfterBuild(1300 * 1024, 41),
       [&] { return "chunk hash mismatch reading " + newFile + " (file changed under us?)"; }},
      {"file shortened", changeAfterBuild(1000, 40),
       [&] { return "cannot read chunk bytes from " + newFile; }},
      {"chunk put",
       [](const std::string& op, const std::string& key) {
         return op == "put" && key.rfind("chunks/", 0) == 0;
       },
       [&] { return unreachable; }},
      {"manifest put",
       [](const std::string& op, const std::string& key) {
         return op == "put" && key == kStableKey;
       },
       [&] { return unreachable; }},
  };
  for (const Fault& fault : faults) {
    vorn_test::writeSeededFile(newFile, 1300 * 1024, 40);
    store.failWhen = fault.hook;
    PushStats stats;
    stats.build = "untouched";
    EXPECT_FALSE(push(&stats, true)) << fault.name;
    EXPECT_EQ(err, fault.expected()) << fault.name;
    EXPECT_EQ(stats.build, "untouched");
    store.failWhen = nullptr;
    EXPECT_EQ(store.objects.at(kStableKey), previous) << fault.name;
  }
  // Chunks that made it stay: a retry only writes the manifest.
  vorn_test::writeSeededFile(newFile, 1300 * 1024, 40);
  store.calls.clear();
  PushStats stats;
  ASSERT_TRUE(push(&stats, true)) << err;
  EXPECT_EQ(stats.uploaded, 0u);
  EXPECT_EQ(callsOf(store, "put"), std::vector<std::string>{kStableKey});
}

}  // namespace
