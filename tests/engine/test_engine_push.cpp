// Push against the in-memory store: what is uploaded, in which order, the
// unchanged and force rules, signatures, and the faults that must leave the
// channel's previous manifest current.

#include "engine/push.hpp"

#include "chunking/manifest.hpp"
#include "chunking/manifest_builder.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/signing.hpp"
#include "util/digest.hpp"

#include "support/memory_store.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using vorn::pushChannel;
using vorn::PushStats;
using vorn_test::MemoryStore;
using vorn_test::TempDir;

constexpr size_t kMiB = 1024 * 1024;
const std::string kStableKey = "channels/stable/manifest.json";

// Text-like bytes: compress well, but cut like any other content.
std::string compressibleBytes(size_t size, uint64_t seed) {
  std::string noise = vorn_test::seededBytes(size / 4 + 16, seed);
  const char* words[] = {"load ", "store ", "call ", "ret\n", "push ", "pop ", "jmp ", "nop "};
  std::string out;
  out.reserve(size + 8);
  for (size_t i = 0; out.size() < size; ++i) {
    out += words[static_cast<unsigned char>(noise[i % noise.size()]) % 8];
    out += static_cast<char>('a' + static_cast<unsigned char>(noise[(i * 7) % noise.size()]) % 26);
  }
  out.resize(size);
  return out;
}

// A small build: a compressible file, an incompressible one, an exact copy
// of it in a subdirectory (cross-file repeat) and an empty file.
void makeSmallBuild(const TempDir& dir) {
  vorn_test::writeTextFile(dir / "src/app.txt", compressibleBytes(2 * kMiB, 1));
  vorn_test::writeSeededFile(dir / "src/data.bin", 1536 * 1024, 2);
  vorn_test::writeSeededFile(dir / "src/sub/copy.bin", 1536 * 1024, 2);
  vorn_test::writeTextFile(dir / "src/empty", "");
}

bool push(MemoryStore& store, const std::string& source, PushStats* stats, std::string* err,
          bool force = false, const std::string& key = "", const std::string& channel = "stable") {
  return pushChannel(store, source, channel, force, key, stats, err);
}

Json::Value storedManifest(const MemoryStore& store, const std::string& key = kStableKey) {
  Json::Value doc;
  auto it = store.objects.find(key);
  EXPECT_TRUE(it != store.objects.end()) << key;
  if (it != store.objects.end()) {
    EXPECT_TRUE(vorn::parseJson(it->second, &doc, nullptr));
  }
  return doc;
}

std::vector<vorn::ManifestFile> filesOf(const Json::Value& doc) {
  std::vector<vorn::ManifestFile> files;
  std::string err;
  EXPECT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  return files;
}

// Distinct chunk ids of a manifest with their sizes.
std::map<std::string, uint64_t> uniqueChunks(const Json::Value& doc) {
  std::map<std::string, uint64_t> ids;
  for (const auto& file : filesOf(doc)) {
    for (const auto& chunk : file.chunks) ids[chunk.id] = chunk.size;
  }
  return ids;
}

// The zstd command-line tool, found on PATH (runProcess does not search it).
std::string zstdTool() {
  const std::string path = vorn_test::runProcess({"/bin/sh", "-c", "command -v zstd"}).out;
  return path.substr(0, path.find('\n'));
}

std::vector<std::string> callsOf(const MemoryStore& store, const std::string& op) {
  std::vector<std::string> out;
  for (const auto& call : store.calls) {
    if (call.compare(0, op.size() + 1, op + " ") == 0) out.push_back(call.substr(op.size() + 1));
  }
  return out;
}

size_t chunkObjectCount(const MemoryStore& store) {
  size_t n = 0;
  for (const auto& entry : store.objects) n += entry.first.rfind("chunks/", 0) == 0;
  return n;
}

TEST(PushFirst, UploadsEveryUniqueChunkOnceAndDecodable) {
  TempDir dir;
  makeSmallBuild(dir);
  MemoryStore store;
  PushStats stats;
  std::string err;
  const int64_t before = std::time(nullptr);
  ASSERT_TRUE(push(store, dir / "src", &stats, &err)) << err;

  const Json::Value doc = storedManifest(store);
  const auto ids = uniqueChunks(doc);
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(stats.uniqueChunks, ids.size());
  EXPECT_EQ(stats.uploaded, ids.size());
  EXPECT_EQ(stats.alreadyPresent, 0u);
  EXPECT_FALSE(stats.unchanged);
  EXPECT_EQ(stats.build, doc["build"].asString());
  EXPECT_EQ(doc["channel"].asString(), "stable");
  EXPECT_GE(doc["created"].asInt64(), before);
  EXPECT_LE(doc["created"].asInt64(), std::time(nullptr));
  EXPECT_EQ(doc["schema"].asInt(), 1);
  // Stamping changes neither the build id nor the files.
  vorn::ManifestStats built;
  Json::Value builderDoc;
  ASSERT_TRUE(vorn::parseJson(vorn::buildManifest(dir / "src", &built, &err), &builderDoc, &err));
  EXPECT_EQ(built.build, stats.build);
  EXPECT_EQ(builderDoc["files"], doc["files"]);

  // Each chunk probed and written exactly once, in ascending id order, under
  // its plain key; the repeated file's chunk is not written twice.
  std::vector<std::string> expectedKeys;
  for (const auto& [id, size] : ids) expectedKeys.push_back(vorn::plainChunkKey(id));
  std::vector<std::string> puts = callsOf(store, "put");
  ASSERT_EQ(puts.size(), ids.size() + 1);
  EXPECT_EQ(std::vector<std::string>(puts.begin(), puts.end() - 1), expectedKeys);
  EXPECT_EQ(puts.back(), kStableKey);
  std::vector<std::string> heads = callsOf(store, "head");
  EXPECT_EQ(heads.front(), kStableKey);
  EXPECT_EQ(std::vector<std::string>(heads.begin() + 1, heads.end()), expectedKeys);
  EXPECT_EQ(chunkObjectCount(store), ids.size());
}

TEST(PushFirst, StoredObjectsAreZstdFramesOrRawBytes) {
  TempDir dir;
  makeSmallBuild(dir);
  MemoryStore store;
  PushStats stats;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &stats, &err)) << err;

  int64_t bytesIn = 0, bytesStored = 0;
  size_t frames = 0, raw = 0;
  for (const auto& file : filesOf(storedManifest(store))) {
    const std::string content = vorn_test::slurp(dir / ("src/" + file.path));
    uint64_t offset = 0;
    for (const auto& chunk : file.chunks) {
      const std::string bytes = content.substr(offset, chunk.size);
      offset += chunk.size;
      const std::string& object = store.objects.at(vorn::plainChunkKey(chunk.id));
      std::string decoded;
      ASSERT_TRUE(vorn::decodeChunk(object, chunk.id, &decoded, &err)) << err;
      EXPECT_EQ(decoded, bytes);
      if (object.size() < bytes.size()) {
        ++frames;
        EXPECT_EQ(object, vorn::compressChunk(bytes, 12));
        // An independent decoder restores the frame.
        const std::string framePath = dir / "frame.zst";
        vorn_test::writeTextFile(framePath, object);
        auto unpacked = vorn_test::runProcess({zstdTool(), "-d", "-q", "-c", framePath});
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
  for (const auto& [id, size] : uniqueChunks(storedManifest(store))) {
    bytesIn += static_cast<int64_t>(size);
    bytesStored += static_cast<int64_t>(store.objects.at(vorn::plainChunkKey(id)).size());
  }
  EXPECT_EQ(stats.bytesIn, bytesIn);
  EXPECT_EQ(stats.bytesStored, bytesStored);
  EXPECT_LT(stats.bytesStored, stats.bytesIn);
}

TEST(PushFirst, SingleFileAndEmptyDirectory) {
  TempDir dir;
  vorn_test::writeTextFile(dir / "tool.txt", compressibleBytes(1200 * 1024, 3));
  std::filesystem::create_directories(dir / "nothing");
  MemoryStore store;
  PushStats stats;
  std::string err;
  ASSERT_TRUE(push(store, dir / "tool.txt", &stats, &err, false, "", "one")) << err;
  const Json::Value doc = storedManifest(store, "channels/one/manifest.json");
  ASSERT_EQ(filesOf(doc).size(), 1u);
  EXPECT_EQ(filesOf(doc)[0].path, "tool.txt");
  EXPECT_EQ(stats.uploaded, 1u);

  ASSERT_TRUE(push(store, dir / "nothing", &stats, &err, false, "", "none")) << err;
  EXPECT_EQ(stats.uniqueChunks, 0u);
  EXPECT_EQ(stats.uploaded, 0u);
  EXPECT_EQ(stats.bytesIn, 0);
  EXPECT_TRUE(filesOf(storedManifest(store, "channels/none/manifest.json")).empty());

  EXPECT_FALSE(push(store, dir / "missing", &stats, &err, false, "", "gone"));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(store.objects.count("channels/gone/manifest.json"), 0u);
}

TEST(PushAgain, SameBuildIsUnchangedButChunksAreStillProbed) {
  TempDir dir;
  makeSmallBuild(dir);
  MemoryStore store;
  PushStats first, second;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &first, &err)) << err;
  // Mark the stored manifest so any rewrite would show.
  Json::Value doc = storedManifest(store);
  doc["created"] = 12345;
  const std::string marked = vorn::writeJsonText(doc);
  store.objects[kStableKey] = marked;
  store.calls.clear();

  for (bool force : {false, true}) {
    ASSERT_TRUE(push(store, dir / "src", &second, &err, force)) << err;
    EXPECT_TRUE(second.unchanged);
    EXPECT_EQ(second.build, first.build);
    EXPECT_EQ(second.uniqueChunks, first.uniqueChunks);
    EXPECT_EQ(second.alreadyPresent, first.uniqueChunks);
    EXPECT_EQ(second.uploaded, 0u);
    EXPECT_EQ(second.bytesIn, 0);
    EXPECT_EQ(store.objects.at(kStableKey), marked);
  }
  EXPECT_EQ(store.count("put"), 0u);
  EXPECT_EQ(store.count("head"), 2 * (1 + first.uniqueChunks));
}

TEST(PushAgain, MissingChunksAreReuploadedAndCounted) {
  TempDir dir;
  makeSmallBuild(dir);
  vorn_test::writeSeededFile(dir / "src/more/a.bin", 1100 * 1024, 4);
  vorn_test::writeTextFile(dir / "src/more/b.txt", compressibleBytes(1100 * 1024, 5));
  MemoryStore store;
  PushStats stats;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &stats, &err)) << err;
  const auto ids = uniqueChunks(storedManifest(store));
  ASSERT_GE(ids.size(), 4u);

  // Remove two chunk objects: the first and the last in id order.
  const std::string firstId = ids.begin()->first, lastId = ids.rbegin()->first;
  const int64_t expectedIn = static_cast<int64_t>(ids.at(firstId) + ids.at(lastId));
  const int64_t expectedStored =
      static_cast<int64_t>(store.objects.at(vorn::plainChunkKey(firstId)).size() +
                           store.objects.at(vorn::plainChunkKey(lastId)).size());
  store.objects.erase(vorn::plainChunkKey(firstId));
  store.objects.erase(vorn::plainChunkKey(lastId));
  const std::string manifestBefore = store.objects.at(kStableKey);
  store.calls.clear();

  ASSERT_TRUE(push(store, dir / "src", &stats, &err)) << err;
  EXPECT_TRUE(stats.unchanged);
  EXPECT_EQ(stats.uploaded, 2u);
  EXPECT_EQ(stats.alreadyPresent, ids.size() - 2);
  EXPECT_EQ(stats.bytesIn, expectedIn);
  EXPECT_EQ(stats.bytesStored, expectedStored);
  EXPECT_EQ(callsOf(store, "put"),
            (std::vector<std::string>{vorn::plainChunkKey(firstId), vorn::plainChunkKey(lastId)}));
  EXPECT_EQ(store.objects.at(kStableKey), manifestBefore);
  EXPECT_EQ(chunkObjectCount(store), ids.size());
}

TEST(PushAgain, EditingAFewFilesUploadsOnlyTheirChangedChunks) {
  TempDir dir;
  for (int i = 0; i < 5; ++i) {
    vorn_test::writeSeededFile(dir / ("src/lib" + std::to_string(i) + ".bin"),
                               (1100 + 150 * i) * 1024, 10 + i);
  }
  vorn_test::writeTextFile(dir / "src/big.txt", compressibleBytes(11 * kMiB, 20));
  MemoryStore store;
  PushStats first, second;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &first, &err)) << err;
  const auto before = uniqueChunks(storedManifest(store));
  ASSERT_GE(before.size(), 7u);  // the big file cuts into at least two chunks

  // Rewrite one small file and change a few bytes near the end of the big one.
  vorn_test::writeSeededFile(dir / "src/lib2.bin", 1400 * 1024, 99);
  {
    std::fstream big(dir / "src/big.txt", std::ios::in | std::ios::out | std::ios::binary);
    big.seekp(static_cast<std::streamoff>(10 * kMiB + 777));
    big.write("EDITED", 6);
  }
  EXPECT_FALSE(push(store, dir / "src", &second, &err));
  EXPECT_EQ(err, "channel 'stable' already published (use --force to overwrite)");
  ASSERT_TRUE(push(store, dir / "src", &second, &err, true)) << err;
  const auto after = uniqueChunks(storedManifest(store));

  size_t changed = 0;
  int64_t changedBytes = 0;
  for (const auto& [id, size] : after) {
    if (before.count(id)) continue;
    ++changed;
    changedBytes += static_cast<int64_t>(size);
  }
  EXPECT_FALSE(second.unchanged);
  EXPECT_NE(second.build, first.build);
  EXPECT_GE(changed, 2u);
  EXPECT_LE(changed, 3u);
  EXPECT_EQ(second.uploaded, changed);
  EXPECT_EQ(second.alreadyPresent, after.size() - changed);
  EXPECT_EQ(second.bytesIn, changedBytes);
  EXPECT_LT(second.bytesIn, first.bytesIn);
}

TEST(PushForce, DifferentBuildIsRefusedBeforeAnyChunkProbe) {
  TempDir dir;
  makeSmallBuild(dir);
  vorn_test::writeSeededFile(dir / "other/x.bin", 1200 * 1024, 30);
  MemoryStore store;
  PushStats stats;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &stats, &err)) << err;
  const std::string previous = store.objects.at(kStableKey);
  const size_t objects = store.objects.size();
  store.calls.clear();

  stats.uploaded = 777;
  EXPECT_FALSE(push(store, dir / "other", &stats, &err));
  EXPECT_EQ(err, "channel 'stable' already published (use --force to overwrite)");
  EXPECT_EQ(store.calls, (std::vector<std::string>{"head " + kStableKey, "get " + kStableKey}));
  EXPECT_EQ(store.objects.at(kStableKey), previous);
  EXPECT_EQ(store.objects.size(), objects);
  EXPECT_EQ(stats.uploaded, 777u);  // untouched on failure

  ASSERT_TRUE(push(store, dir / "other", &stats, &err, true)) << err;
  EXPECT_FALSE(stats.unchanged);
  EXPECT_EQ(stats.uploaded, 1u);
  EXPECT_EQ(storedManifest(store)["build"].asString(), stats.build);
}

TEST(PushForce, UnreadableStoredManifestCountsAsADifferentBuild) {
  TempDir dir;
  makeSmallBuild(dir);
  const std::string stored[] = {"not json at all", "[1,2]", "{\"build\":7}", "{}"};
  for (const std::string& text : stored) {
    MemoryStore store;
    store.objects[kStableKey] = text;
    PushStats stats;
    std::string err;
    EXPECT_FALSE(push(store, dir / "src", &stats, &err)) << text;
    EXPECT_EQ(err, "channel 'stable' already published (use --force to overwrite)");
    EXPECT_EQ(store.objects.at(kStableKey), text);
    ASSERT_TRUE(push(store, dir / "src", &stats, &err, true)) << err;
    EXPECT_FALSE(stats.unchanged);
    EXPECT_EQ(storedManifest(store)["build"].asString(), stats.build);
  }
  // A manifest that exists but cannot be read counts the same way.
  MemoryStore store;
  store.objects[kStableKey] = "{}";
  store.failWhen = [](const std::string& op, const std::string&) { return op == "get"; };
  PushStats stats;
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", &stats, &err));
  EXPECT_EQ(err, "channel 'stable' already published (use --force to overwrite)");
}

TEST(PushSigning, SignatureVerifiesOverTheStoredBytesAndIsWrittenLast) {
  TempDir dir;
  makeSmallBuild(dir);
  vorn::SigningKeyPair pair;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&pair, nullptr));
  MemoryStore store;
  PushStats stats;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &stats, &err, false, pair.secretHex)) << err;
  const std::string& text = store.objects.at(kStableKey);
  const std::string& signature = store.objects.at(kStableKey + ".sig");
  EXPECT_EQ(signature.size(), 128u);
  EXPECT_TRUE(vorn::verifyManifestSignature(pair.publicHex, text, signature, &err)) << err;
  EXPECT_EQ(store.calls.back(), "put " + kStableKey + ".sig");

  // The fetch with the public key accepts what push wrote.
  Json::Value doc;
  EXPECT_TRUE(vorn::fetchChannelManifest(store, "stable", "", pair.publicHex, "", &doc, &err))
      << err;
  EXPECT_EQ(doc["build"].asString(), stats.build);
}

TEST(PushSigning, BadKeyUploadsChunksAndManifestThenFails) {
  TempDir dir;
  makeSmallBuild(dir);
  MemoryStore store;
  PushStats stats;
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", &stats, &err, false, "abcd"));
  EXPECT_EQ(err, "bad secret key (need 64-byte hex)");
  EXPECT_EQ(store.objects.count(kStableKey), 1u);
  EXPECT_EQ(store.objects.count(kStableKey + ".sig"), 0u);
  EXPECT_EQ(chunkObjectCount(store), uniqueChunks(storedManifest(store)).size());

  // An unchanged push never uses the key.
  ASSERT_TRUE(push(store, dir / "src", &stats, &err, false, "abcd")) << err;
  EXPECT_TRUE(stats.unchanged);
}

TEST(PushSigning, UnsignedPushKeepsAnOldSignatureObject) {
  TempDir dir;
  makeSmallBuild(dir);
  vorn_test::writeSeededFile(dir / "other/x.bin", 1200 * 1024, 31);
  vorn::SigningKeyPair pair;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&pair, nullptr));
  MemoryStore store;
  PushStats stats;
  std::string err;
  ASSERT_TRUE(push(store, dir / "src", &stats, &err, false, pair.secretHex)) << err;
  const std::string oldSignature = store.objects.at(kStableKey + ".sig");
  ASSERT_TRUE(push(store, dir / "other", &stats, &err, true)) << err;
  EXPECT_EQ(store.objects.at(kStableKey + ".sig"), oldSignature);
  EXPECT_FALSE(vorn::verifyManifestSignature(pair.publicHex, store.objects.at(kStableKey),
                                             oldSignature, nullptr));
}

class PushFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    makeSmallBuild(dir);
    std::string err;
    ASSERT_TRUE(push(store, dir / "src", nullptr, &err)) << err;
    previous = store.objects.at(kStableKey);
    // The next push is a different build, forced, so it reaches every step.
    vorn_test::writeSeededFile(dir / "src/new.bin", 1300 * 1024, 40);
    store.calls.clear();
  }
  void expectPreviousManifest() { EXPECT_EQ(store.objects.at(kStableKey), previous); }

  TempDir dir;
  MemoryStore store;
  std::string previous;
};

TEST_F(PushFaults, StoreUnreachable) {
  store.failWhen = [](const std::string&, const std::string&) { return true; };
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", nullptr, &err, true));
  EXPECT_EQ(err, "cannot reach store: curl: Couldn't connect to server");
  EXPECT_EQ(store.calls, std::vector<std::string>{"head " + kStableKey});
  store.failWhen = nullptr;
  expectPreviousManifest();
}

TEST_F(PushFaults, ChunkProbeWithoutAnswer) {
  std::string failedKey;
  store.failWhen = [&](const std::string& op, const std::string& key) {
    if (op != "head" || key.rfind("chunks/", 0) != 0) return false;
    failedKey = key;
    return true;
  };
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", nullptr, &err, true));
  EXPECT_EQ(err, "HEAD " + failedKey + " failed: curl: Couldn't connect to server");
  store.failWhen = nullptr;
  expectPreviousManifest();
}

TEST_F(PushFaults, FileChangedAfterTheManifestWasBuilt) {
  // The manifest probe happens after the build: change the new file then.
  const std::string path = dir / "src/new.bin";
  store.failWhen = [&](const std::string& op, const std::string& key) {
    if (op == "head" && key == kStableKey) vorn_test::writeSeededFile(path, 1300 * 1024, 41);
    return false;
  };
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", nullptr, &err, true));
  EXPECT_EQ(err,
            "chunk hash mismatch reading " + dir.str() + "/src/new.bin (file changed under us?)");
  EXPECT_EQ(store.count("put"), 0u);
  store.failWhen = nullptr;
  expectPreviousManifest();
}

TEST_F(PushFaults, FileShortenedAfterTheManifestWasBuilt) {
  const std::string path = dir / "src/new.bin";
  store.failWhen = [&](const std::string& op, const std::string& key) {
    if (op == "head" && key == kStableKey) vorn_test::writeSeededFile(path, 1000, 40);
    return false;
  };
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", nullptr, &err, true));
  EXPECT_EQ(err, "cannot read chunk bytes from " + dir.str() + "/src/new.bin");
  store.failWhen = nullptr;
  expectPreviousManifest();
}

TEST_F(PushFaults, PutRefusedByTheStore) {
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "put" && key.rfind("chunks/", 0) == 0;
  };
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", nullptr, &err, true));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
  EXPECT_EQ(store.count("put"), 1u);
  store.failWhen = nullptr;
  expectPreviousManifest();
}

TEST_F(PushFaults, ManifestPutRefused) {
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "put" && key == kStableKey;
  };
  PushStats stats;
  stats.build = "untouched";
  std::string err;
  EXPECT_FALSE(push(store, dir / "src", &stats, &err, true));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
  EXPECT_EQ(stats.build, "untouched");
  store.failWhen = nullptr;
  expectPreviousManifest();
  // The chunks that made it stay; a retry only writes the manifest.
  store.calls.clear();
  ASSERT_TRUE(push(store, dir / "src", &stats, &err, true)) << err;
  EXPECT_EQ(stats.uploaded, 0u);
  EXPECT_EQ(callsOf(store, "put"), std::vector<std::string>{kStableKey});
}

}  // namespace
