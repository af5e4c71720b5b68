// The engine against an in-memory store, for what the program cannot be made
// to show from outside: where each chunk of a sync comes from, what a push
// leaves after a fault, where a failed removal stops garbage collection, and
// the manifest fetch policy.

#include "engine/channel_manifest.hpp"
#include "engine/file_mode.hpp"
#include "engine/garbage_collection.hpp"
#include "engine/grace_collection.hpp"
#include "engine/push.hpp"
#include "engine/signing.hpp"
#include "engine/sync.hpp"
#include "engine/verify.hpp"
#include "util/digest.hpp"
#include "util/utc_time.hpp"

#include "support/fixtures.hpp"
#include "support/memory_store.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using vorn_test::slurp;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const std::string kChannel = "main";
const std::string kKey = "channels/main/manifest.json";
const std::string kUnreachable = "curl: Couldn't connect to server";
const size_t kMiB = 1048576;

vorn::PushRequest pushOf(const std::string& source, bool force) {
  vorn::PushRequest request;
  request.source = source;
  request.channel = kChannel;
  request.force = force;
  return request;
}

// A manifest entry of one file held in one chunk.
std::string fileEntry(const std::string& path, const std::string& content) {
  const std::string n = std::to_string(content.size());
  return "{\"path\":\"" + path + "\",\"size\":" + n + ",\"chunks\":[{\"h\":\"" +
         vorn::blake3Hex(content) + "\",\"n\":" + n + "}]}";
}

class Engine : public ::testing::Test {
 protected:
  vorn_test::MemoryStore store;
  vorn_test::TempDir tmp;
  vorn::SyncStats stats;
  std::string err;

  std::string src() const { return tmp / "src"; }
  std::string dest() const { return tmp / "root/dest"; }

  // A file repeated under two names, a unique one and an empty one.
  void pushBuild() {
    writeTextFile(src() + "/0first.txt", "first file of the build\n");
    const std::string shared = vorn_test::seededBytes(5 * kMiB, 11);
    writeTextFile(src() + "/a.bin", shared);
    writeTextFile(src() + "/sub/b.bin", shared);
    writeSeededFile(src() + "/c.bin", 3 * kMiB, 12);
    writeTextFile(src() + "/empty.txt", "");
    ASSERT_TRUE(vorn::pushChannel(store, pushOf(src(), true), nullptr, &err)) << err;
  }
  bool sync(const vorn::SyncOptions& options = {}, const vorn::ChunkUrlMap& urls = {}) {
    err.clear();
    vorn::ChannelSource source;
    source.channel = kChannel;
    source.chunkUrls = urls;
    return vorn::syncChannel(store, source, dest(), &stats, &err, options);
  }
  std::set<std::string> ids(const std::string& onlyPath = "") {
    std::set<std::string> out;
    for (const auto& f : vorn_test::storedFiles(store, kChannel))
      if (onlyPath.empty() || f.path == onlyPath)
        for (const auto& c : f.chunks) out.insert(c.id);
    return out;
  }
  void expectInstalled() {
    for (const auto& f : vorn_test::storedFiles(store, kChannel))
      EXPECT_EQ(slurp(src() + "/" + f.path), slurp(dest() + "/" + f.path)) << f.path;
  }
  // Flips one byte in every `step` bytes of a file, in place.
  static void spoil(const std::string& path, uint64_t step) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    for (uint64_t off = 0; off < fs::file_size(path); off += step) {
      file.seekg(static_cast<std::streamoff>(off));
      const char c = static_cast<char>(file.get());
      file.seekp(static_cast<std::streamoff>(off));
      file.put(static_cast<char>(c ^ 0x5a));
    }
  }
};

// ---- sync: where every chunk comes from ----

TEST_F(Engine, SyncReadsTheBaseFirstAndChecksEveryLocalChunkAgain) {
  pushBuild();
  // Spoiled after indexing: the base's copy is read instead, or else the store's.
  for (const bool withBase : {true, false}) {
    fs::remove_all(dest());
    for (const char* name : {"0first.txt", "a.bin", "c.bin"})
      writeTextFile(dest() + "/old/" + name, slurp(src() + "/" + name));
    vorn::SyncOptions options;
    options.baseDirectory = withBase ? src() : "";
    options.progress = [&](uint64_t done, uint64_t, int64_t) {
      if (done != 1) return;  // after 0first.txt, before the big files
      spoil(dest() + "/old/a.bin", 256 * 1024);
      spoil(dest() + "/old/c.bin", 256 * 1024);
    };
    ASSERT_TRUE(sync(options)) << err;
    EXPECT_EQ(withBase, stats.downloaded == 0u) << stats.downloaded;
    expectInstalled();
  }
}

// What an interrupted sync left is reused; links named like part files and
// names the manifest lists itself are not part files.
TEST_F(Engine, SyncReusesPartFilesButNotLinksOrListedNames) {
  pushBuild();
  const size_t unique = ids().size(), cChunks = ids("c.bin").size();
  writeTextFile(dest() + "/c.bin.part", slurp(src() + "/c.bin"));
  fs::create_symlink(src() + "/a.bin", dest() + "/a.bin.part");
  fs::create_symlink(src() + "/a.bin", dest() + "/0stray.part.old");
  writeTextFile(dest() + "/0first.txt.part.old", "an older, shorter beginning");
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(std::make_pair(stats.downloaded, stats.reused),
            std::make_pair(unique - cChunks, cChunks));
  expectInstalled();
  for (const char* left : {"c.bin.part", "c.bin.part.old", "a.bin.part", "0first.txt.part.old"})
    EXPECT_FALSE(fs::exists(fs::symlink_status(dest() + "/" + left))) << left;
  EXPECT_EQ(vorn_test::seededBytes(5 * kMiB, 11), slurp(src() + "/a.bin")) << "the link's target";
  EXPECT_TRUE(fs::is_symlink(dest() + "/0stray.part.old")) << "not a sync's, left alone";
  // A longer part file replaces the set-aside one; a shorter one stays beside it; both are read.
  fs::remove_all(dest());
  writeTextFile(dest() + "/c.bin.part", slurp(src() + "/c.bin"));
  writeTextFile(dest() + "/c.bin.part.old", "short");
  writeTextFile(dest() + "/a.bin.part.old", slurp(src() + "/a.bin"));
  writeTextFile(dest() + "/a.bin.part", "short");
  ASSERT_TRUE(sync()) << err;
  EXPECT_EQ(stats.downloaded, unique - cChunks - ids("a.bin").size());
  for (const char* left : {"c.bin.part", "c.bin.part.old", "a.bin.part", "a.bin.part.old"})
    EXPECT_FALSE(fs::exists(dest() + "/" + left)) << left;
  // Listed under the set-aside name: installed, never taken for a part file.
  fs::remove_all(dest());
  const std::string listed = "listed, not a part";
  for (const std::string& content : {std::string("the file"), listed})
    store.objects[store.chunkKey(vorn::blake3Hex(content))] = content;
  store.objects[kKey] = "{\"schema\":1,\"files\":[" + fileEntry("x", "the file") + "," +
                        fileEntry("x.part.old", listed) + "]}";
  ASSERT_TRUE(sync() && sync()) << err;
  EXPECT_EQ(stats.downloaded, 0u);
  EXPECT_EQ(slurp(dest() + "/x.part.old"), listed);
}

// With chunk URLs the store is never asked for chunks.
TEST_F(Engine, SyncWithChunkUrlsNeverAsksTheStore) {
  pushBuild();
  store.calls.clear();
  EXPECT_FALSE(sync({}, {{std::string(64, 'f'), "http://127.0.0.1:9/never"}}));
  EXPECT_EQ(err.rfind("no presigned URL for chunk ", 0), 0u) << err;
  EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kKey});
}

// With receipts in use the receipt folder is no chunk source, and never a link.
TEST_F(Engine, TheReceiptFolderIsNoChunkSourceAndNoLink) {
  pushBuild();
  vorn::SyncOptions withReceipt;
  withReceipt.receipts.write = true;
  for (const bool receipts : {false, true}) {
    fs::remove_all(dest());
    writeTextFile(dest() + "/.vorn/c.bin", slurp(src() + "/c.bin"));
    ASSERT_TRUE(sync(receipts ? withReceipt : vorn::SyncOptions())) << err;
    EXPECT_EQ(stats.reused, receipts ? 0u : ids("c.bin").size()) << receipts;
  }
  fs::remove_all(dest() + "/.vorn");
  fs::create_directory_symlink(src(), dest() + "/.vorn");
  EXPECT_FALSE(sync(withReceipt));
  EXPECT_EQ(err, "cannot keep a receipt in " + dest() + "/.vorn: it is a link or not a directory");
  EXPECT_FALSE(vorn::writeReceipt(dest(), vorn::Receipt(), &err) ||
               fs::exists(src() + "/receipt.json.tmp") || fs::exists(src() + "/receipt.json"));
}

// ---- push: what a fault leaves ----

TEST_F(Engine, AFileChangedUnderAPushLeavesThePreviousManifest) {
  writeSeededFile(src() + "/data.bin", 1536 * 1024, 2);
  ASSERT_TRUE(vorn::pushChannel(store, pushOf(src(), false), nullptr, &err)) << err;
  const std::string previous = store.objects.at(kKey), newFile = src() + "/new.bin";
  // The manifest probe comes after the build: a file rewritten, cut short or removed by then
  // (size 0) is caught.
  for (const size_t size : {size_t(1300 * 1024), size_t(1000), size_t(0)}) {
    writeSeededFile(newFile, 1300 * 1024, 40);
    store.failWhen = [&](const std::string& op, const std::string& key) {
      if (op == "head" && key == kKey && size) writeSeededFile(newFile, size, 41);
      if (op == "head" && key == kKey && !size) fs::remove(newFile);
      return false;
    };
    vorn::PushStats stats;
    stats.build = "untouched";
    EXPECT_FALSE(vorn::pushChannel(store, pushOf(src(), true), &stats, &err));
    EXPECT_EQ(err, size < 1300 * 1024
                       ? "cannot read chunk bytes from " + newFile
                       : "chunk hash mismatch reading " + newFile + " (file changed under us?)");
    EXPECT_EQ(stats.build, "untouched");
    store.failWhen = nullptr;
    EXPECT_EQ(store.objects.at(kKey), previous);
  }
}

// A mode that cannot be set (here: the file is gone) fails with its path, whoever runs the tests.
TEST(FileMode, AModeThatCannotBeSetIsNamed) {
  vorn_test::TempDir tmp;
  std::string err;
  EXPECT_FALSE(vorn::setExecutableBits(tmp / "gone", true, &err));
  EXPECT_EQ(err, "cannot set the mode of " + (tmp / "gone"));
}

// ---- garbage collection ----

// A failed removal stops the sweep at once; what was removed before it stays removed.
TEST_F(Engine, GcStopsAtTheFirstFailedRemoval) {
  const auto chunk = [&](uint64_t seed) {
    const std::string bytes = vorn_test::seededBytes(100 + seed, seed);
    store.objects[store.chunkKey(vorn::blake3Hex(bytes))] = bytes;
    return bytes;
  };
  store.objects["channels/good/manifest.json"] = "{\"files\":[" + fileEntry("a", chunk(1)) + "]}";
  // Not manifests, so never read.
  store.objects["channels/goodmanifest.json"] = store.objects["channels/good/notes.txt"] =
      "not json";
  std::vector<std::string> keys;
  for (uint64_t seed = 2; seed <= 6; ++seed)
    keys.push_back(store.chunkKey(vorn::blake3Hex(chunk(seed))));
  std::sort(keys.begin(), keys.end());
  store.failWhen = [&](const std::string& op, const std::string& key) {
    return op == "remove" && key == keys[2];
  };
  std::vector<std::string> expected;
  for (int i = 0; i < 2; ++i)
    expected.push_back(keys[i] + " " + std::to_string(store.objects[keys[i]].size()) + " deleted");
  // With one job nothing after the failure is tried; with four, what is reported gone is gone.
  const auto objects = store.objects;
  for (const int jobs : {1, 4}) {
    store.objects = objects;
    std::vector<std::string> reports;
    vorn::GcStats stats;
    stats.deleted = 777;
    vorn::GcOptions options;
    options.remove = true;
    options.jobs = jobs;
    options.report = [&](const std::string& key, int64_t size, bool deleted) {
      reports.push_back(key + " " + std::to_string(size) + (deleted ? " deleted" : ""));
    };
    EXPECT_FALSE(vorn::collectGarbage(store, options, &stats, &err));
    EXPECT_EQ(err, kUnreachable);
    EXPECT_EQ(stats.deleted, 777u) << "stats untouched on failure";
    EXPECT_EQ(store.objects.count(keys[2]), 1u);
    for (const std::string& line : reports)
      EXPECT_EQ(store.objects.count(line.substr(0, line.find(' '))), 0u) << line;
    if (jobs > 1) continue;
    EXPECT_EQ(reports, expected) << "earlier removals stand, nothing later is tried";
    for (size_t i = 0; i < keys.size(); ++i)
      EXPECT_EQ(store.objects.count(keys[i]), i < 2 ? 0u : 1u) << i;
  }
}

// Two-phase gc sets aside only what is listed more than the grace period before its lock; a run
// cut short is resumed; a lock or record it cannot trust stops the run before anything moves.
TEST_F(Engine, GcGraceGoesByTheStoreClockAndStopsAtWhatItCannotTrust) {
  store.clock = 10000;
  const auto written = [&](const std::string& key, int64_t age) {
    store.objects[key] = "x", store.written[key] = 10000 - age;
  };
  written("chunks/aa/old", 101);
  written("chunks/aa/edge", 100);
  store.objects["chunks/aa/untimed"] = "x";
  const vorn::GraceGcOptions options{true, 1, 100, {}};
  store.failWhen = [](const std::string& op, const std::string&) { return op == "copy"; };
  EXPECT_FALSE(vorn::collectInTwoPhases(store, options, nullptr, &err));
  EXPECT_EQ(err, kUnreachable);
  store.failWhen = nullptr;
  ASSERT_TRUE(vorn::collectInTwoPhases(store, options, nullptr, &err)) << err;
  std::vector<std::string> keys;
  for (const auto& [key, bytes] : store.objects) keys.push_back(key);
  EXPECT_EQ(keys, vorn_test::words("chunks/aa/edge chunks/aa/untimed gc/aside/chunks/aa/old "
                                   "gc/state/collection.json"));
  const auto before = store.objects;
  const std::string record = "gc/state/collection.json", lock = "gc/state/lock.other";
  const std::string entry = R"({"state":"moving","time":1,"objects":[{"size":1,"key":)";
  const std::pair<std::function<void()>, std::string> rows[] = {
      {[&] { written(lock, 1799); }, "another collection holds the lock " + lock + " (1799 s old"},
      {[&] { store.objects[lock + "2"] = ""; },
       "another collection holds the lock " + lock + "2 (of"},
      {[&] { store.objects[record] = "{\"state\":\"done\"}"; },
       "collection record " + record + ": unknown state"},
      {[&] { store.objects[record] = entry + "\"channels/c/manifest.json\"}]}"; },
       "collection record " + record + ": objects[0] is not a chunk object key"},
      {[&] { store.objects[record] = entry + "\"chunks/../channels/x\"}]}"; },
       "collection record " + record + ": objects[0] is not a chunk object key"}};
  for (const auto& [setUp, refusal] : rows) {
    store.objects = before;
    setUp();
    const auto prepared = store.objects;
    EXPECT_FALSE(vorn::collectInTwoPhases(store, options, nullptr, &err));
    EXPECT_EQ(err.substr(0, refusal.size()), refusal);
    EXPECT_EQ(store.objects, prepared) << refusal;
  }
  // A lock as old as the lock period held nothing: it goes, and the run goes on.
  store.objects = before;
  written(lock, vorn::kGcLockSeconds);
  EXPECT_TRUE(vorn::collectInTwoPhases(store, options, nullptr, &err)) << err;
  EXPECT_EQ(store.objects, before);
}

// ---- the small units ----

TEST(ChannelManifest, ExpiryAndItsTimeInUtc) {
  const std::pair<int64_t, std::string> instants[] = {{-1, "1969-12-31T23:59:59Z"},
                                                      {951782400, "2000-02-29T00:00:00Z"},
                                                      {INT64_MAX, "292277026596-12-04T15:30:07Z"},
                                                      {INT64_MIN, "-292277022657-01-27T08:29:52Z"}};
  for (const auto& [seconds, text] : instants) EXPECT_EQ(vorn::utcText(seconds), text);
  Json::Value doc;
  doc["expires"] = 100;  // the instant itself is too late
  EXPECT_TRUE(vorn::checkManifestExpiry(doc, "c", 99, nullptr) &&
              !vorn::checkManifestExpiry(doc, "c", 100, nullptr));
}

TEST(ChannelManifest, ParseAndTheFetchPolicy) {
  Json::Value doc;
  std::string err;
  // Deep nesting is refused with one line, not a crash; brackets in strings are no nesting.
  ASSERT_TRUE(vorn::parseJson("{\"a\":\"" + std::string(5000, '[') + "\"}", &doc, &err)) << err;
  EXPECT_FALSE(vorn::parseJson(std::string(100000, '['), &doc, &err));
  EXPECT_EQ(err.rfind("manifest parse error: ", 0), 0u) << err;
  vorn::SigningKeyPair pair;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&pair, nullptr));
  const auto sign = [&](const std::string& text) {
    std::string sig;
    EXPECT_TRUE(vorn::signManifest(pair.secretHex, text, &sig, nullptr));
    return sig;
  };
  const std::string good = "{\"schema\":1,\"channel\":\"main\"}",
                    unsignedError = "channel 'main' has no signature but verification is required";
  const struct {
    std::string manifest, signature, key, expected;
  } rows[] = {
      {"{\"schema\":1,\"files\":[]}", "", "", ""},  // no channel: accepted anywhere
      {"{\"schema\":\"1\"}", "", "", "unsupported manifest schema"},
      {"[1]", "", "", "unsupported manifest schema"},
      {"{\"schema\":1,\"channel\":\"a\\nb\"}", "", "",
       "manifest is for channel 'a\\nb', not 'main'"},
      {good, "garbage", "", ""},  // no key: never read
      {good, "", pair.publicHex, unsignedError},
      {good, "zz", pair.publicHex, "bad signature"},
      {good, sign(good), "abc", "bad public key"},
      // Verified before it is parsed: a tampered document is never interpreted.
      {"{not json", sign(good), pair.publicHex, "signature does not verify"},
      {"{\"schema\":2}", sign("{\"schema\":2}"), pair.publicHex, "unsupported manifest schema"}};
  for (const auto& row : rows) {
    vorn_test::MemoryStore store;
    store.objects[kKey] = row.manifest;
    if (!row.signature.empty()) store.objects[kKey + ".sig"] = row.signature;
    doc = "untouched";
    err.clear();
    vorn::ChannelSource source;
    source.channel = kChannel;
    source.verifyKey = row.key;
    EXPECT_EQ(vorn::fetchChannelManifest(store, source, &doc, &err), row.expected.empty())
        << row.manifest;
    EXPECT_EQ(err, row.expected) << row.manifest;
    EXPECT_EQ(doc.isObject(), row.expected.empty());
    if (row.key.empty()) {
      EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kKey});
    }
  }
}

}  // namespace
