// Sync against an in-memory store: where every chunk comes from, what is
// downloaded, how files are replaced, and what a hostile manifest cannot do.

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/push.hpp"
#include "engine/sync.hpp"
#include "util/digest.hpp"

#include "support/memory_store.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <json/value.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vorn_test::MemoryStore;
using vorn_test::seededBytes;
using vorn_test::slurp;
using vorn_test::TempDir;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const std::string kChannel = "games/main";
const size_t kMiB = 1048576;

// Overwrites one byte in place (same size, different content).
void flipByte(const std::string& path, uint64_t offset) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekg(static_cast<std::streamoff>(offset));
  char c = 0;
  file.get(c);
  file.seekp(static_cast<std::streamoff>(offset));
  file.put(static_cast<char>(c ^ 0x5a));
}

class SyncEngine : public ::testing::Test {
 protected:
  MemoryStore store;
  TempDir tmp;

  std::string src() const { return tmp / "src"; }
  std::string dest() const { return tmp / "dest"; }

  // A small build: a file repeated under two names, a unique file, an empty file.
  void writeBuild() {
    writeTextFile(tmp / "src/0first.txt", "first file of the build\n");
    const std::string shared = seededBytes(5 * kMiB, 11);
    writeTextFile(tmp / "src/a.bin", shared);
    writeTextFile(tmp / "src/sub/b.bin", shared);
    writeSeededFile(tmp / "src/c.bin", 3 * kMiB, 12);
    writeTextFile(tmp / "src/empty.txt", "");
  }

  void push() {
    std::string err;
    vorn::PushStats stats;
    ASSERT_TRUE(vorn::pushChannel(store, src(), kChannel, true, "", &stats, &err)) << err;
  }

  // The channel's manifest file list as stored.
  std::vector<vorn::ManifestFile> manifestFiles() {
    std::string text, err;
    Json::Value doc;
    std::vector<vorn::ManifestFile> files;
    EXPECT_TRUE(store.get(vorn::channelManifestKey(kChannel), &text, &err)) << err;
    EXPECT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
    EXPECT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
    return files;
  }

  std::set<std::string> manifestIds() {
    std::set<std::string> ids;
    for (const auto& f : manifestFiles())
      for (const auto& c : f.chunks) ids.insert(c.id);
    return ids;
  }

  size_t chunkGets() const {
    size_t n = 0;
    for (const auto& c : store.calls) n += c.rfind("get chunks/", 0) == 0;
    return n;
  }

  bool sync(vorn::SyncStats* stats, std::string* err, const std::string& base = "",
            const vorn::ProgressFn& progress = vorn::ProgressFn(), int waitSeconds = 0,
            const vorn::WaitFn& onWait = vorn::WaitFn(),
            const vorn::ChunkUrlMap& urls = vorn::ChunkUrlMap()) {
    return vorn::syncChannel(store, kChannel, dest(), "", "", "", urls, stats, err, progress,
                             waitSeconds, onWait, base);
  }

  void expectSameTree(const std::string& from, const std::string& to) {
    for (const auto& f : manifestFiles()) {
      EXPECT_EQ(slurp(from + "/" + f.path), slurp(to + "/" + f.path)) << f.path;
      EXPECT_TRUE(fs::is_regular_file(to + "/" + f.path)) << f.path;
    }
  }

  // Stores a hand-made channel manifest listing the given files.
  void putManifest(const Json::Value& files) {
    Json::Value doc(Json::objectValue);
    doc["schema"] = 1;
    doc["channel"] = kChannel;
    doc["build"] = std::string(64, '0');
    doc["files"] = files;
    store.objects[vorn::channelManifestKey(kChannel)] = vorn::writeJsonText(doc);
  }
};

// --- downloads and reuse -------------------------------------------------

TEST_F(SyncEngine, FreshDestinationDownloadsEachUniqueChunkOnce) {
  writeBuild();
  push();
  const auto files = manifestFiles();
  const auto ids = manifestIds();
  size_t entries = 0;
  int64_t uniqueBytes = 0;
  std::set<std::string> seen;
  for (const auto& f : files) {
    entries += f.chunks.size();
    for (const auto& c : f.chunks)
      if (seen.insert(c.id).second) uniqueBytes += static_cast<int64_t>(c.size);
  }
  ASSERT_LT(ids.size(), entries) << "the build must repeat chunks across files";

  int64_t storedBytes = 0;
  for (const auto& id : ids)
    storedBytes += static_cast<int64_t>(store.objects[store.chunkKey(id)].size());

  store.calls.clear();
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err)) << err;
  EXPECT_EQ(files.size(), stats.files);
  EXPECT_EQ(entries, stats.chunkSlots);
  EXPECT_EQ(ids.size(), stats.downloaded);
  EXPECT_EQ(ids.size(), chunkGets());
  EXPECT_EQ(0u, stats.reused);
  EXPECT_EQ(uniqueBytes, stats.unpackedBytes);
  EXPECT_EQ(storedBytes, stats.wireBytes);
  expectSameTree(src(), dest());
  EXPECT_TRUE(fs::is_regular_file(dest() + "/empty.txt"));
  EXPECT_EQ(0u, fs::file_size(dest() + "/empty.txt"));
  EXPECT_FALSE(fs::exists(dest() + "/a.bin.part"));
}

TEST_F(SyncEngine, SecondSyncReusesEverythingAndRewritesIdenticalFiles) {
  writeBuild();
  push();
  vorn::SyncStats first, second;
  std::string err;
  ASSERT_TRUE(sync(&first, &err)) << err;
  store.calls.clear();
  ASSERT_TRUE(sync(&second, &err)) << err;
  EXPECT_EQ(0u, second.downloaded);
  EXPECT_EQ(0, second.wireBytes);
  EXPECT_EQ(0, second.unpackedBytes);
  EXPECT_EQ(second.chunkSlots, second.reused);
  EXPECT_EQ(first.files, second.files);
  EXPECT_EQ(0u, chunkGets());
  expectSameTree(src(), dest());
}

TEST_F(SyncEngine, ChangedBuildDownloadsOnlyNewChunks) {
  writeBuild();
  push();
  const auto oldIds = manifestIds();
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err)) << err;

  writeSeededFile(tmp / "src/c.bin", 3 * kMiB, 99);
  writeTextFile(tmp / "src/new/d.txt", "a new file\n");
  push();
  size_t fresh = 0;
  for (const auto& id : manifestIds()) fresh += oldIds.count(id) == 0;
  ASSERT_GT(fresh, 0u);

  ASSERT_TRUE(sync(&stats, &err)) << err;
  EXPECT_EQ(fresh, stats.downloaded);
  EXPECT_EQ(stats.chunkSlots - fresh, stats.reused);
  expectSameTree(src(), dest());
}

TEST_F(SyncEngine, FilesTheManifestDoesNotListSurvive) {
  writeBuild();
  push();
  writeTextFile(dest() + "/user/settings.ini", "volume=3\n");
  writeTextFile(dest() + "/a.bin.bak", "keep me");
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err)) << err;
  EXPECT_EQ("volume=3\n", slurp(dest() + "/user/settings.ini"));
  EXPECT_EQ("keep me", slurp(dest() + "/a.bin.bak"));
}

TEST_F(SyncEngine, ProgressCountsEveryEntryAndEndsAtTotal) {
  writeBuild();
  push();
  std::vector<uint64_t> done;
  uint64_t total = 0;
  int64_t lastWire = -1;
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err, "", [&](uint64_t d, uint64_t t, int64_t w) {
    done.push_back(d);
    total = t;
    lastWire = w;
  })) << err;
  ASSERT_EQ(stats.chunkSlots, done.size());
  for (size_t i = 0; i < done.size(); ++i) EXPECT_EQ(i + 1, done[i]);
  EXPECT_EQ(stats.chunkSlots, total);
  EXPECT_EQ(stats.wireBytes, lastWire);
}

// --- local chunks: base directory and re-checks ---------------------------

TEST_F(SyncEngine, BaseDirectorySuppliesChunks) {
  writeBuild();
  push();
  vorn::SyncStats stats;
  std::string err;
  store.calls.clear();
  ASSERT_TRUE(sync(&stats, &err, src())) << err;
  EXPECT_EQ(0u, stats.downloaded);
  EXPECT_EQ(stats.chunkSlots, stats.reused);
  EXPECT_EQ(0u, chunkGets());
  expectSameTree(src(), dest());
}

// The destination holds the same chunks as the base, but its copy goes bad
// after indexing: only a sync that reads the base's copy avoids downloads.
TEST_F(SyncEngine, BaseDirectoryTakesPrecedenceOverDestination) {
  writeBuild();
  push();
  const auto spoilDestination = [&](uint64_t done, uint64_t, int64_t) {
    if (done != 1) return;  // after 0first.txt, before the big files
    for (const char* name : {"old/a.bin", "old/c.bin"}) {
      const std::string path = dest() + "/" + name;
      for (uint64_t off = 0; off < fs::file_size(path); off += 256 * 1024) flipByte(path, off);
    }
  };
  auto seedDestination = [&] {
    fs::remove_all(dest());
    writeTextFile(dest() + "/old/0first.txt", slurp(src() + "/0first.txt"));
    writeTextFile(dest() + "/old/a.bin", slurp(src() + "/a.bin"));
    writeTextFile(dest() + "/old/c.bin", slurp(src() + "/c.bin"));
  };
  vorn::SyncStats stats;
  std::string err;
  seedDestination();
  ASSERT_TRUE(sync(&stats, &err, src(), spoilDestination)) << err;
  EXPECT_EQ(0u, stats.downloaded);

  // Control: without the base only the spoiled destination copies force downloads.
  seedDestination();
  ASSERT_TRUE(sync(&stats, &err, "", spoilDestination)) << err;
  EXPECT_GT(stats.downloaded, 0u);
  expectSameTree(src(), dest());
}

TEST_F(SyncEngine, LocalChunkChangedAfterIndexingIsDownloadedAgain) {
  writeBuild();
  push();
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err)) << err;
  size_t cChunks = 0;
  for (const auto& f : manifestFiles())
    if (f.path == "c.bin") cChunks = f.chunks.size();
  ASSERT_GT(cChunks, 0u);

  // Spoil every chunk of c.bin once indexing is over and before c.bin is rebuilt.
  const auto spoil = [&](uint64_t done, uint64_t, int64_t) {
    if (done != 1) return;
    const std::string path = dest() + "/c.bin";
    for (uint64_t off = 0; off < fs::file_size(path); off += 512 * 1024) flipByte(path, off);
  };
  ASSERT_TRUE(sync(&stats, &err, "", spoil)) << err;
  EXPECT_EQ(cChunks, stats.downloaded);
  EXPECT_EQ(slurp(src() + "/c.bin"), slurp(dest() + "/c.bin"));
}

TEST_F(SyncEngine, LocalIndexKeepsFirstLocationInSortedOrder) {
  const std::string data = seededBytes(2 * kMiB, 5);
  writeTextFile(tmp / "idx/z.bin", data);
  writeTextFile(tmp / "idx/m/a.bin", data);
  writeTextFile(tmp / "idx/a.bin", data);
  vorn::LocalIndex index;
  vorn::buildLocalIndex(tmp.path() / "idx", &index);
  ASSERT_FALSE(index.empty());
  for (const auto& [id, ref] : index) EXPECT_EQ(tmp.path() / "idx/a.bin", ref.file) << id;

  vorn::LocalIndex none;
  vorn::buildLocalIndex(tmp.path() / "does-not-exist", &none);
  vorn::buildLocalIndex(tmp.path() / "idx/a.bin", &none);
  EXPECT_TRUE(none.empty());
}

// --- store and URL failures ----------------------------------------------

TEST_F(SyncEngine, TamperedStoreObjectFailsAndKeepsTheOldTarget) {
  writeBuild();
  push();
  const auto oldIds = manifestIds();
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err)) << err;
  const std::string oldC = slurp(dest() + "/c.bin");

  writeSeededFile(tmp / "src/c.bin", 3 * kMiB, 77);
  push();
  std::string tampered;
  for (const auto& id : manifestIds()) {
    if (oldIds.count(id)) continue;
    tampered = id;
    std::string& object = store.objects[store.chunkKey(id)];
    object[object.size() / 2] ^= 0x01;
  }
  ASSERT_FALSE(tampered.empty());

  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_NE(std::string::npos, err.find("failed to decode/verify (corrupt or tampered)")) << err;
  EXPECT_EQ(0u, err.rfind("chunk ", 0)) << err;
  EXPECT_EQ(oldC, slurp(dest() + "/c.bin"));
  EXPECT_TRUE(fs::exists(dest() + "/c.bin.part"));
}

TEST_F(SyncEngine, StoreFailureEndsTheSyncWithTheStoreMessage) {
  writeBuild();
  push();
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "get" && key.rfind("chunks/", 0) == 0;
  };
  vorn::SyncStats stats;
  stats.files = 42;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_EQ("curl: Couldn't connect to server", err);
  EXPECT_EQ(42u, stats.files) << "stats are written only on success";
}

TEST_F(SyncEngine, ManifestFetchFailureWritesNothing) {
  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(fs::exists(dest()));
}

TEST_F(SyncEngine, ChunkUrlMapWithoutTheIdFailsAndNeverAsksTheStore) {
  writeBuild();
  push();
  store.calls.clear();
  vorn::ChunkUrlMap urls{{std::string(64, 'f'), "http://127.0.0.1:9/never"}};
  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err, "", vorn::ProgressFn(), 0, vorn::WaitFn(), urls));
  EXPECT_EQ(0u, err.rfind("no presigned URL for chunk ", 0)) << err;
  EXPECT_EQ(0u, chunkGets());
}

// --- replacing targets -----------------------------------------------------

// On Linux a rename over an open file succeeds; one over a non-empty
// directory does not, which stands in for a file held open.
TEST_F(SyncEngine, TargetThatCannotBeReplacedIsRetriedThenReported) {
  writeBuild();
  push();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  std::vector<std::string> waits;
  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err, "", vorn::ProgressFn(), 2,
                    [&](const std::string& path, int attempt, int limit) {
                      waits.push_back(path + " " + std::to_string(attempt) + "/" +
                                      std::to_string(limit));
                    }));
  EXPECT_EQ((std::vector<std::string>{"c.bin 1/2", "c.bin 2/2"}), waits);
  EXPECT_EQ(0u, err.rfind("'c.bin' is in use - could not replace it (", 0)) << err;
  EXPECT_EQ(')', err.back());
  EXPECT_TRUE(fs::exists(dest() + "/c.bin.part"));
  // Files before it in manifest order are already in place.
  EXPECT_EQ(slurp(src() + "/a.bin"), slurp(dest() + "/a.bin"));
}

TEST_F(SyncEngine, NoWaitFailsAtOnceWithoutCallingBack) {
  writeBuild();
  push();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  int calls = 0;
  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err, "", vorn::ProgressFn(), 0,
                    [&](const std::string&, int, int) { ++calls; }));
  EXPECT_EQ(0, calls);
  EXPECT_NE(std::string::npos, err.find("is in use")) << err;
}

TEST_F(SyncEngine, TargetReleasedDuringTheWaitIsReplaced) {
  writeBuild();
  push();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  int calls = 0;
  vorn::SyncStats stats;
  std::string err;
  ASSERT_TRUE(sync(&stats, &err, "", vorn::ProgressFn(), 5, [&](const std::string&, int, int) {
    ++calls;
    fs::remove_all(dest() + "/c.bin");
  })) << err;
  EXPECT_EQ(1, calls);
  EXPECT_EQ(slurp(src() + "/c.bin"), slurp(dest() + "/c.bin"));
  EXPECT_FALSE(fs::exists(dest() + "/c.bin.part"));
}

// --- hostile manifests -------------------------------------------------------

Json::Value fileEntry(const std::string& path, const std::string& content) {
  Json::Value entry(Json::objectValue);
  entry["path"] = path;
  entry["size"] = static_cast<Json::UInt64>(content.size());
  entry["chunks"] = Json::Value(Json::arrayValue);
  if (!content.empty()) {
    Json::Value chunk(Json::objectValue);
    chunk["h"] = vorn::blake3Hex(content);
    chunk["n"] = static_cast<Json::UInt64>(content.size());
    entry["chunks"].append(chunk);
  }
  return entry;
}

class HostileManifest : public SyncEngine, public ::testing::WithParamInterface<std::string> {};

TEST_P(HostileManifest, IsRefusedBeforeAnythingIsWritten) {
  const std::string content = "payload";
  store.objects[store.chunkKey(vorn::blake3Hex(content))] = content;
  Json::Value files(Json::arrayValue);
  files.append(fileEntry("fine.txt", content));
  files.append(fileEntry(GetParam(), content));
  putManifest(files);

  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_EQ("unsafe path in manifest: '" + GetParam() + "'", err);
  EXPECT_FALSE(fs::exists(dest())) << "nothing may be created";
  EXPECT_FALSE(fs::exists(tmp / "x"));
  EXPECT_FALSE(fs::exists("/abs-vorn-test"));

  vorn::SyncPlan plan;
  EXPECT_FALSE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err));
  EXPECT_NE(std::string::npos, err.find("unsafe path in manifest")) << err;
}

INSTANTIATE_TEST_SUITE_P(Paths, HostileManifest,
                         ::testing::Values("../x", "/abs-vorn-test", "a//b", "", ".", "a/./b",
                                           "sub/../../x", "a\\..\\x"));

TEST_F(SyncEngine, ManifestWithBadIdOrHugeChunkIsRefused) {
  Json::Value files(Json::arrayValue);
  Json::Value entry = fileEntry("a.txt", "abc");
  entry["chunks"][0]["h"] = "../../etc/passwd";
  files.append(entry);
  putManifest(files);
  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_EQ("bad chunk id in manifest for a.txt", err);

  files = Json::Value(Json::arrayValue);
  entry = fileEntry("big.bin", "abc");
  const Json::UInt64 huge = 1ull << 62;
  entry["size"] = huge;
  entry["chunks"][0]["n"] = huge;
  files.append(entry);
  putManifest(files);
  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_EQ("chunk too large in manifest for big.bin", err);
  EXPECT_FALSE(fs::exists(dest()));
}

TEST_F(SyncEngine, ManifestThatLiesAboutAChunkSizeFails) {
  const std::string content = "twelve bytes";
  store.objects[store.chunkKey(vorn::blake3Hex(content))] = content;
  Json::Value files(Json::arrayValue);
  Json::Value entry = fileEntry("a.txt", content);
  entry["size"] = 5;
  entry["chunks"][0]["n"] = 5;
  files.append(entry);
  putManifest(files);
  vorn::SyncStats stats;
  std::string err;
  EXPECT_FALSE(sync(&stats, &err));
  EXPECT_EQ("chunk size mismatch for " + vorn::blake3Hex(content), err);
  EXPECT_FALSE(fs::exists(dest() + "/a.txt"));
}

// --- dry run -------------------------------------------------------------------

TEST_F(SyncEngine, PlanCountsDestinationChunksAndIgnoresBase) {
  writeBuild();
  push();
  const auto files = manifestFiles();
  const auto ids = manifestIds();
  vorn::SyncPlan plan;
  std::string err;
  ASSERT_TRUE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err)) << err;
  EXPECT_EQ(files.size(), plan.files);
  EXPECT_EQ(ids.size(), plan.uniqueChunks);
  EXPECT_EQ(0u, plan.alreadyLocal);
  EXPECT_EQ(ids.size(), plan.toDownload);
  EXPECT_FALSE(fs::exists(dest())) << "a dry run writes nothing";

  // Only c.bin present locally: its chunks are local, the rest to download.
  writeTextFile(dest() + "/elsewhere/c-copy.bin", slurp(src() + "/c.bin"));
  ASSERT_TRUE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err)) << err;
  std::set<std::string> cIds;
  int64_t missingBytes = 0;
  for (const auto& f : files)
    if (f.path == "c.bin")
      for (const auto& c : f.chunks) cIds.insert(c.id);
  std::set<std::string> counted;
  for (const auto& f : files)
    for (const auto& c : f.chunks)
      if (!cIds.count(c.id) && counted.insert(c.id).second)
        missingBytes += static_cast<int64_t>(c.size);
  EXPECT_EQ(cIds.size(), plan.alreadyLocal);
  EXPECT_EQ(ids.size() - cIds.size(), plan.toDownload);
  EXPECT_EQ(missingBytes, plan.downloadBytes);
  EXPECT_FALSE(fs::exists(dest() + "/a.bin"));
}

}  // namespace
