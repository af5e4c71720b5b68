// Sync against an in-memory store: where every chunk comes from, what is
// downloaded, how files are replaced, and what a hostile manifest cannot do.

#include "engine/mirror.hpp"
#include "engine/push.hpp"
#include "engine/sync.hpp"
#include "util/digest.hpp"

#include "support/engine_fixtures.hpp"
#include "support/memory_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using vorn_test::slurp;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const std::string kChannel = "games/main";
const size_t kMiB = 1048576;

// Flips one byte in every `step` bytes of a file, in place.
void spoil(const std::string& path, uint64_t step) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (uint64_t off = 0; off < fs::file_size(path); off += step) {
    file.seekg(static_cast<std::streamoff>(off));
    const char c = static_cast<char>(file.get());
    file.seekp(static_cast<std::streamoff>(off));
    file.put(static_cast<char>(c ^ 0x5a));
  }
}

class SyncEngine : public ::testing::Test {
 protected:
  vorn_test::MemoryStore store;
  vorn_test::TempDir tmp;
  vorn::SyncStats stats;
  std::string err;

  std::string src() const { return tmp / "src"; }
  std::string dest() const { return tmp / "dest"; }

  // A small build: a file repeated under two names, a unique file, an empty
  // file; pushed to the store.
  void pushBuild() {
    writeTextFile(tmp / "src/0first.txt", "first file of the build\n");
    const std::string shared = vorn_test::seededBytes(5 * kMiB, 11);
    writeTextFile(tmp / "src/a.bin", shared);
    writeTextFile(tmp / "src/sub/b.bin", shared);
    writeSeededFile(tmp / "src/c.bin", 3 * kMiB, 12);
    writeTextFile(tmp / "src/empty.txt", "");
    push();
  }

  void push() {
    ASSERT_TRUE(vorn::pushChannel(store, src(), kChannel, true, "", nullptr, &err)) << err;
  }

  std::set<std::string> manifestIds(const std::string& onlyPath = "") {
    std::set<std::string> ids;
    for (const auto& f : vorn_test::storedFiles(store, kChannel))
      if (onlyPath.empty() || f.path == onlyPath)
        for (const auto& c : f.chunks) ids.insert(c.id);
    return ids;
  }

  size_t chunkGets() const {
    size_t n = 0;
    for (const auto& c : store.calls) n += c.rfind("get chunks/", 0) == 0;
    return n;
  }

  bool sync(const std::string& base = "", const vorn::ProgressFn& progress = {},
            int waitSeconds = 0, const vorn::WaitFn& onWait = {},
            const vorn::ChunkUrlMap& urls = {}) {
    err.clear();
    return vorn::syncChannel(store, kChannel, dest(), "", "", "", urls, &stats, &err, progress,
                             waitSeconds, onWait, base);
  }

  void expectInstalled() {
    for (const auto& f : vorn_test::storedFiles(store, kChannel))
      EXPECT_TRUE(fs::is_regular_file(dest() + "/" + f.path) &&
                  slurp(src() + "/" + f.path) == slurp(dest() + "/" + f.path))
          << f.path;
  }

  // Stores a manifest with one single-chunk file per (path, content) and
  // the chunks; `edit` may change the last file entry.
  void putManifest(const std::vector<std::pair<std::string, std::string>>& files,
                   const std::function<void(Json::Value&)>& edit = {}) {
    std::vector<std::vector<vorn_test::ChunkRef>> refs;
    for (const auto& [path, content] : files) {
      store.objects[store.chunkKey(vorn::blake3Hex(content))] = content;
      refs.push_back({{vorn::blake3Hex(content), content.size()}});
    }
    Json::Value doc = vorn_test::manifestDoc(refs, kChannel);
    for (size_t i = 0; i < files.size(); ++i) doc["files"][Json::ArrayIndex(i)]["path"] = files[i].first;
    if (edit) edit(doc["files"][doc["files"].size() - 1]);
    store.objects[vorn::channelManifestKey(kChannel)] = vorn::writeJsonText(doc);
  }
};

TEST_F(SyncEngine, FreshSyncDownloadsEachUniqueChunkOnceThenNothing) {
  pushBuild();
  const auto files = vorn_test::storedFiles(store, kChannel);
  const auto unique = vorn_test::uniqueChunks(files);
  size_t entries = 0;
  int64_t uniqueBytes = 0, storedBytes = 0;
  for (const auto& f : files) entries += f.chunks.size();
  for (const auto& [id, size] : unique) {
    uniqueBytes += static_cast<int64_t>(size);
    storedBytes += static_cast<int64_t>(store.objects[store.chunkKey(id)].size());
  }
  ASSERT_LT(unique.size(), entries) << "the build must repeat chunks across files";
  writeTextFile(dest() + "/user/settings.ini", "volume=3\n");

  store.calls.clear();
  std::vector<uint64_t> done;
  uint64_t total = 0;
  int64_t lastWire = -1;
  ASSERT_TRUE(sync("", [&](uint64_t d, uint64_t t, int64_t w) {
    done.push_back(d);
    total = t;
    lastWire = w;
  })) << err;
  EXPECT_EQ(files.size(), stats.files);
  EXPECT_EQ(entries, stats.chunkSlots);
  EXPECT_EQ(unique.size(), stats.downloaded);
  EXPECT_EQ(unique.size(), chunkGets());
  EXPECT_EQ(0u, stats.reused);
  EXPECT_EQ(uniqueBytes, stats.unpackedBytes);
  EXPECT_EQ(storedBytes, stats.wireBytes);
  // Progress counts every entry once and ends at the total.
  ASSERT_EQ(entries, done.size());
  for (size_t i = 0; i < done.size(); ++i) EXPECT_EQ(i + 1, done[i]);
  EXPECT_EQ(entries, total);
  EXPECT_EQ(stats.wireBytes, lastWire);
  expectInstalled();
  EXPECT_FALSE(fs::exists(dest() + "/a.bin.part"));
  // Files the manifest does not list survive.
  EXPECT_EQ("volume=3\n", slurp(dest() + "/user/settings.ini"));

  store.calls.clear();
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(0u, stats.downloaded);
  EXPECT_EQ(0, stats.wireBytes);
  EXPECT_EQ(stats.chunkSlots, stats.reused);
  EXPECT_EQ(0u, chunkGets());
  expectInstalled();

  // A changed build: only the new chunks are fetched.
  writeSeededFile(tmp / "src/c.bin", 3 * kMiB, 99);
  writeTextFile(tmp / "src/new/d.txt", "a new file\n");
  push();
  size_t fresh = 0;
  for (const auto& id : manifestIds()) fresh += unique.count(id) == 0;
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(fresh, stats.downloaded);
  EXPECT_EQ(stats.chunkSlots - fresh, stats.reused);
  expectInstalled();
}

// The destination holds the same chunks as the base, but its copy goes bad
// after indexing: only a sync that reads the base's copy avoids downloads.
TEST_F(SyncEngine, BaseDirectorySuppliesChunksAndTakesPrecedence) {
  pushBuild();
  store.calls.clear();
  ASSERT_TRUE(sync(src())) << err;
  EXPECT_EQ(0u, stats.downloaded);
  EXPECT_EQ(0u, chunkGets());
  expectInstalled();

  const auto spoilDestination = [&](uint64_t done, uint64_t, int64_t) {
    if (done != 1) return;  // after 0first.txt, before the big files
    spoil(dest() + "/old/a.bin", 256 * 1024);
    spoil(dest() + "/old/c.bin", 256 * 1024);
  };
  for (const bool withBase : {true, false}) {
    fs::remove_all(dest());
    for (const char* name : {"0first.txt", "a.bin", "c.bin"})
      writeTextFile(dest() + "/old/" + name, slurp(src() + "/" + name));
    ASSERT_TRUE(sync(withBase ? src() : "", spoilDestination)) << err;
    // Control: without the base the spoiled copies force downloads.
    EXPECT_EQ(withBase, stats.downloaded == 0u) << stats.downloaded;
    expectInstalled();
  }
}

TEST_F(SyncEngine, LocalChunkChangedAfterIndexingIsDownloadedAgain) {
  pushBuild();
  ASSERT_TRUE(sync()) << err;
  // Spoil every chunk of c.bin once indexing is over and before it is rebuilt.
  ASSERT_TRUE(sync("", [&](uint64_t done, uint64_t, int64_t) {
    if (done == 1) spoil(dest() + "/c.bin", 512 * 1024);
  })) << err;
  EXPECT_EQ(manifestIds("c.bin").size(), stats.downloaded);
  EXPECT_EQ(slurp(src() + "/c.bin"), slurp(dest() + "/c.bin"));
}

TEST_F(SyncEngine, LocalIndexKeepsFirstLocationInSortedOrder) {
  const std::string data = vorn_test::seededBytes(2 * kMiB, 5);
  for (const char* name : {"idx/z.bin", "idx/m/a.bin", "idx/a.bin"}) writeTextFile(tmp / name, data);
  vorn::LocalIndex index;
  vorn::buildLocalIndex(tmp.path() / "idx", &index);
  ASSERT_FALSE(index.empty());
  for (const auto& [id, ref] : index) EXPECT_EQ(tmp.path() / "idx/a.bin", ref.file) << id;

  vorn::LocalIndex none;
  vorn::buildLocalIndex(tmp.path() / "does-not-exist", &none);
  vorn::buildLocalIndex(tmp.path() / "idx/a.bin", &none);
  EXPECT_TRUE(none.empty());
}

// What an interrupted sync left is reused; links named like part files and
// names the manifest lists itself are not part files.
TEST_F(SyncEngine, LeftOverPartFilesAreReusedButNotLinksOrListedNames) {
  pushBuild();
  const auto unique = vorn_test::uniqueChunks(vorn_test::storedFiles(store, kChannel));
  const size_t cChunks = manifestIds("c.bin").size();
  // c.bin whole in its part file, as if killed just before the rename; a.bin's
  // part file a link to the real thing outside the destination.
  writeTextFile(dest() + "/c.bin.part", slurp(src() + "/c.bin"));
  fs::create_symlink(src() + "/a.bin", dest() + "/a.bin.part");
  fs::create_symlink(src() + "/a.bin", dest() + "/0stray.part.old");
  writeTextFile(dest() + "/0first.txt.part.old", "an older, shorter beginning");
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(unique.size() - cChunks, stats.downloaded);
  EXPECT_EQ(cChunks, stats.reused);
  expectInstalled();
  for (const char* left : {"c.bin.part", "c.bin.part.old", "a.bin.part", "0first.txt.part.old"})
    EXPECT_FALSE(fs::exists(fs::symlink_status(dest() + "/" + left))) << left;
  EXPECT_EQ(vorn_test::seededBytes(5 * kMiB, 11), slurp(src() + "/a.bin")) << "the link's target";
  EXPECT_TRUE(fs::is_symlink(dest() + "/0stray.part.old")) << "not a sync's, left alone";

  // A part file longer than the set-aside one replaces it; a shorter one stays
  // beside it, and both are read.
  fs::remove_all(dest());
  const std::string c = slurp(src() + "/c.bin");
  writeTextFile(dest() + "/c.bin.part", c);
  writeTextFile(dest() + "/c.bin.part.old", c.substr(0, 100));
  writeTextFile(dest() + "/a.bin.part.old", slurp(src() + "/a.bin"));
  writeTextFile(dest() + "/a.bin.part", "short");
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(unique.size() - cChunks - manifestIds("a.bin").size(), stats.downloaded);
  expectInstalled();
  for (const char* left : {"c.bin.part", "c.bin.part.old", "a.bin.part", "a.bin.part.old"})
    EXPECT_FALSE(fs::exists(dest() + "/" + left)) << left;

  // Listed under the set-aside name: installed, never taken for a part file
  // (which would be removed once "x" is in place, and then downloaded again).
  fs::remove_all(dest());
  putManifest({{"x", "the file"}, {"x.part.old", "listed, not a part"}});
  ASSERT_TRUE(sync()) << err;
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(0u, stats.downloaded);
  EXPECT_EQ("listed, not a part", slurp(dest() + "/x.part.old"));
}

// A mirror removes what the installed manifest does not list, links without
// following them, and emptied directories; never anything outside.
TEST_F(SyncEngine, MirrorRemovesWhatTheManifestDoesNotListAndNothingElse) {
  pushBuild();
  ASSERT_TRUE(sync()) << err;
  writeTextFile(dest() + "/old.bin", "dropped from the build");
  writeTextFile(dest() + "/sub/gone.txt", "beside a listed file");
  writeTextFile(dest() + "/emptied/x.txt", "the only file here");
  fs::create_directories(dest() + "/hollow/deeper");
  writeTextFile(tmp / "outside/keep.txt", "not the destination's");
  fs::create_directory_symlink(tmp / "outside", dest() + "/out-link");
  fs::create_symlink(tmp / "outside/keep.txt", dest() + "/file-link");
  ASSERT_EQ(0, mkfifo((dest() + "/pipe").c_str(), 0600));

  vorn::SyncOptions options;
  std::vector<std::string> installed;
  options.installedPaths = &installed;
  ASSERT_TRUE(vorn::syncChannel(store, kChannel, dest(), "", "", "", {}, &stats, &err, options))
      << err;
  std::vector<std::string> listed;
  for (const auto& f : vorn_test::storedFiles(store, kChannel)) listed.push_back(f.path);
  EXPECT_EQ(listed, installed);
  vorn::SyncPlan plan;
  std::vector<std::string> planned;
  ASSERT_TRUE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err, &planned)) << err;
  EXPECT_EQ(listed, planned);

  const std::vector<std::string> expected = {"emptied/x.txt", "emptied",     "file-link",
                                             "hollow/deeper", "hollow",      "old.bin",
                                             "out-link",      "sub/gone.txt"};
  for (const bool dryRun : {true, false}) {
    std::vector<std::string> removed;
    ASSERT_TRUE(vorn::removeUnlisted(
        dest(), installed, dryRun, [&](const std::string& path) { removed.push_back(path); }, &err))
        << err;
    EXPECT_EQ(expected, removed);
    EXPECT_EQ(dryRun, fs::exists(dest() + "/old.bin"));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(dest() + "/out-link")));
  EXPECT_TRUE(fs::exists(fs::symlink_status(dest() + "/pipe"))) << "only files and links go";
  EXPECT_EQ("not the destination's", slurp(tmp / "outside/keep.txt"));
  expectInstalled();
  std::vector<std::string> removed;
  ASSERT_TRUE(vorn::removeUnlisted(
      dest(), installed, false, [&](const std::string& path) { removed.push_back(path); }, &err));
  EXPECT_TRUE(removed.empty()) << removed.front();

  // A directory link that a listed path goes through stays, and so does the
  // file it reaches; a destination that does not exist is no error.
  fs::remove_all(dest());
  writeTextFile(dest() + "/real/extra.txt", "unlisted");
  fs::create_directory_symlink(dest() + "/real", dest() + "/in");
  putManifest({{"in/g", "through a link"}});
  installed.clear();
  ASSERT_TRUE(vorn::syncChannel(store, kChannel, dest(), "", "", "", {}, &stats, &err, options))
      << err;
  ASSERT_TRUE(vorn::removeUnlisted(
      dest(), installed, false, [&](const std::string& path) { removed.push_back(path); }, &err));
  EXPECT_EQ(std::vector<std::string>{"real/extra.txt"}, removed);
  EXPECT_EQ("through a link", slurp(dest() + "/in/g"));
  EXPECT_TRUE(vorn::removeUnlisted(tmp / "nowhere", installed, false, {}, &err));
}

TEST_F(SyncEngine, TamperedStoreObjectFailsAndKeepsTheOldTarget) {
  pushBuild();
  const auto oldIds = manifestIds();
  ASSERT_TRUE(sync()) << err;
  const std::string oldC = slurp(dest() + "/c.bin");
  writeSeededFile(tmp / "src/c.bin", 3 * kMiB, 77);
  push();
  for (const auto& id : manifestIds()) {
    if (oldIds.count(id)) continue;
    std::string& object = store.objects[store.chunkKey(id)];
    object[object.size() / 2] ^= 0x01;
  }
  stats.files = 42;
  EXPECT_FALSE(sync());
  EXPECT_TRUE(std::regex_match(
      err, std::regex("chunk [0-9a-f]{64} failed to decode/verify \\(corrupt or tampered\\)")))
      << err;
  EXPECT_EQ(42u, stats.files) << "stats are written only on success";
  EXPECT_EQ(oldC, slurp(dest() + "/c.bin"));
  EXPECT_TRUE(fs::exists(dest() + "/c.bin.part"));
}

TEST_F(SyncEngine, StoreAndSourceFailures) {
  EXPECT_FALSE(sync());  // no manifest
  EXPECT_EQ("GET channels/games/main/manifest.json -> HTTP 404 ", err);
  EXPECT_FALSE(fs::exists(dest()));

  pushBuild();
  store.failWhen = [](const std::string& op, const std::string& key) {
    return op == "get" && key.rfind("chunks/", 0) == 0;
  };
  EXPECT_FALSE(sync());
  EXPECT_EQ("curl: Couldn't connect to server", err);

  // With chunk URLs, the store is never asked for chunks.
  store.failWhen = nullptr;
  store.calls.clear();
  EXPECT_FALSE(sync("", {}, 0, {}, {{std::string(64, 'f'), "http://127.0.0.1:9/never"}}));
  EXPECT_EQ(0u, err.rfind("no presigned URL for chunk ", 0)) << err;
  EXPECT_EQ(0u, chunkGets());
}

// On Linux a rename over an open file succeeds; one over a non-empty
// directory does not, which stands in for a file held open.
TEST_F(SyncEngine, TargetInUseIsWaitedForThenReportedOrReplaced) {
  pushBuild();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  std::vector<std::string> waits;
  const vorn::WaitFn record = [&](const std::string& path, int attempt, int limit) {
    waits.push_back(path + " " + std::to_string(attempt) + "/" + std::to_string(limit));
  };
  EXPECT_FALSE(sync("", {}, 0, record));
  EXPECT_TRUE(waits.empty()) << "no wait, no callback";
  EXPECT_FALSE(sync("", {}, 2, record));
  EXPECT_EQ((std::vector<std::string>{"c.bin 1/2", "c.bin 2/2"}), waits);
  EXPECT_TRUE(std::regex_match(err, std::regex("'c\\.bin' is in use - could not replace it \\(.+\\)")))
      << err;
  EXPECT_TRUE(fs::exists(dest() + "/c.bin.part"));
  // Files before it in manifest order are already in place.
  EXPECT_EQ(slurp(src() + "/a.bin"), slurp(dest() + "/a.bin"));

  // The obstacle goes away during the wait: the target is replaced.
  waits.clear();
  ASSERT_TRUE(sync("", {}, 5, [&](const std::string& path, int attempt, int limit) {
    record(path, attempt, limit);
    fs::remove_all(dest() + "/c.bin");
  })) << err;
  EXPECT_EQ(1u, waits.size());
  EXPECT_EQ(slurp(src() + "/c.bin"), slurp(dest() + "/c.bin"));
  EXPECT_FALSE(fs::exists(dest() + "/c.bin.part"));
}

TEST_F(SyncEngine, HostilePathsAreRefusedBeforeAnythingIsWritten) {
  for (const std::string path :
       {"../x", "/abs-vorn-test", "a//b", "", ".", "a/./b", "sub/../../x", "a\\..\\x"}) {
    putManifest({{"fine.txt", "payload"}, {path, "payload"}});
    EXPECT_FALSE(sync());
    EXPECT_EQ("unsafe path in manifest: '" + path + "'", err);
    vorn::SyncPlan plan;
    EXPECT_FALSE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err));
    EXPECT_EQ("unsafe path in manifest: '" + path + "'", err);
  }
  EXPECT_FALSE(fs::exists(dest())) << "nothing may be created";
  EXPECT_FALSE(fs::exists(tmp / "x"));
  EXPECT_FALSE(fs::exists("/abs-vorn-test"));
}

TEST_F(SyncEngine, ManifestWithBadIdHugeOrLyingChunkIsRefused) {
  const std::string content = "twelve bytes";
  const std::pair<std::function<void(Json::Value&)>, std::string> rows[] = {
      {[](Json::Value& f) { f["chunks"][0]["h"] = "../../etc/passwd"; },
       "bad chunk id in manifest for f.txt"},
      {[](Json::Value& f) { f["size"] = f["chunks"][0]["n"] = Json::UInt64(1ull << 62); },
       "chunk too large in manifest for f.txt"},
      {[](Json::Value& f) { f["size"] = f["chunks"][0]["n"] = 5; },
       "chunk size mismatch for " + vorn::blake3Hex(content)},
  };
  for (const auto& [edit, expected] : rows) {
    putManifest({{"f.txt", content}}, edit);
    EXPECT_FALSE(sync());
    EXPECT_EQ(expected, err);
    EXPECT_FALSE(fs::exists(dest() + "/f.txt"));
  }
}

TEST_F(SyncEngine, PlanCountsDestinationChunksAndWritesNothing) {
  pushBuild();
  const auto unique = vorn_test::uniqueChunks(vorn_test::storedFiles(store, kChannel));
  vorn::SyncPlan plan;
  ASSERT_TRUE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err)) << err;
  EXPECT_EQ(5u, plan.files);
  EXPECT_EQ(unique.size(), plan.uniqueChunks);
  EXPECT_EQ(0u, plan.alreadyLocal);
  EXPECT_EQ(unique.size(), plan.toDownload);
  EXPECT_FALSE(fs::exists(dest())) << "a dry run writes nothing";

  // Only c.bin's bytes present locally, under another name.
  writeTextFile(dest() + "/elsewhere/c-copy.bin", slurp(src() + "/c.bin"));
  ASSERT_TRUE(vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &err)) << err;
  const auto cIds = manifestIds("c.bin");
  int64_t missingBytes = 0;
  for (const auto& [id, size] : unique) missingBytes += cIds.count(id) ? 0 : static_cast<int64_t>(size);
  EXPECT_EQ(cIds.size(), plan.alreadyLocal);
  EXPECT_EQ(unique.size() - cIds.size(), plan.toDownload);
  EXPECT_EQ(missingBytes, plan.downloadBytes);
  EXPECT_FALSE(fs::exists(dest() + "/a.bin"));
}

}  // namespace
