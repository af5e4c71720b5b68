// The engine against an in-memory store, for what the program cannot be made
// to show from outside: hostile manifests met by every consumer, where each
// chunk of a sync comes from, what a push asks and writes and what survives
// its faults, and the small units (codec, signatures, descriptors, manifests).

#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/garbage_collection.hpp"
#include "engine/push.hpp"
#include "engine/signing.hpp"
#include "engine/sync.hpp"
#include "engine/sync_descriptor.hpp"
#include "engine/verify.hpp"
#include "storage/request_signing.hpp"
#include "util/digest.hpp"

#include "support/fixtures.hpp"
#include "support/memory_store.hpp"

#include <gtest/gtest.h>
#include <json/writer.h>
#include <zstd.h>

#include <fstream>
#include <functional>
#include <regex>

namespace {

namespace fs = std::filesystem;
using vorn_test::slurp;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const std::string kChannel = "main";
const std::string kKey = "channels/main/manifest.json";
const std::string kUnreachable = "curl: Couldn't connect to server";
const size_t kMiB = 1048576;

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
    ASSERT_TRUE(vorn::pushChannel(store, src(), kChannel, true, "", nullptr, &err)) << err;
  }
  bool sync(const vorn::SyncOptions& options = {}, const vorn::ChunkUrlMap& urls = {}) {
    err.clear();
    return vorn::syncChannel(store, kChannel, dest(), "", "", "", urls, &stats, &err, options);
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

TEST_F(Engine, SyncFailuresAndATargetInUse) {
  pushBuild();
  // With chunk URLs the store is never asked for chunks.
  EXPECT_FALSE(sync({}, {{std::string(64, 'f'), "http://127.0.0.1:9/never"}}));
  EXPECT_EQ(err.rfind("no presigned URL for chunk ", 0), 0u) << err;
  // A target in use (a rename over a non-empty directory fails) is waited for.
  writeTextFile(dest() + "/c.bin/x", "");
  std::vector<std::string> waits;
  vorn::SyncOptions options;
  options.waitSeconds = 2;
  options.onWait = [&](const std::string& path, int attempt, int limit) {
    waits.push_back(path + " " + std::to_string(attempt) + "/" + std::to_string(limit));
  };
  EXPECT_FALSE(sync(options));
  EXPECT_EQ(waits, (std::vector<std::string>{"c.bin 1/2", "c.bin 2/2"}));
  EXPECT_EQ(err.rfind("'c.bin' is in use - could not replace it (", 0), 0u) << err;
  options.waitSeconds = 5;
  options.onWait = [&](const std::string&, int, int) { fs::remove_all(dest() + "/c.bin"); };
  ASSERT_TRUE(sync(options)) << err;
  expectInstalled();
}

// ---- push: what it asks, writes, and leaves after a fault ----

std::vector<std::string> callsOf(const vorn_test::MemoryStore& store, const std::string& op) {
  std::vector<std::string> out;
  for (const auto& call : store.calls)
    if (call.rfind(op + " ", 0) == 0) out.push_back(call.substr(op.size() + 1));
  return out;
}

TEST_F(Engine, PushWritesEachMissingChunkOnceInIdOrderAsAFrameOrRawBytes) {
  writeTextFile(src() + "/app.txt", vorn_test::compressibleBytes(2 * kMiB, 1));
  writeSeededFile(src() + "/data.bin", 1536 * 1024, 2);
  writeSeededFile(src() + "/sub/copy.bin", 1536 * 1024, 2);
  vorn::PushStats first, again;
  ASSERT_TRUE(vorn::pushChannel(store, src(), kChannel, false, "", &first, &err)) << err;
  const auto unique = vorn_test::uniqueChunks(vorn_test::storedFiles(store, kChannel));
  std::vector<std::string> keys{kKey};
  int64_t stored = 0;
  for (const auto& [id, size] : unique) {
    keys.push_back(vorn::plainChunkKey(id));
    stored += int64_t(store.objects.at(keys.back()).size());
  }
  EXPECT_EQ(callsOf(store, "head"), keys) << "the manifest, then each chunk once, ascending";
  std::rotate(keys.begin(), keys.begin() + 1, keys.end());
  EXPECT_EQ(callsOf(store, "put"), keys);
  EXPECT_EQ(std::make_tuple(first.uniqueChunks, first.uploaded, first.alreadyPresent,
                            first.bytesStored, first.bytesIn),
            std::make_tuple(unique.size(), unique.size(), size_t(0), stored,
                            int64_t(2 * kMiB + 1536 * 1024)));
  // Each object is the level 12 frame, which the zstd tool restores, or the raw bytes.
  size_t frames = 0;
  for (const auto& f : vorn_test::storedFiles(store, kChannel)) {
    const std::string content = slurp(src() + "/" + f.path);
    uint64_t offset = 0;
    for (const auto& c : f.chunks) {
      const std::string bytes = content.substr(offset, c.size),
                        object = store.objects.at(vorn::plainChunkKey(c.id));
      offset += c.size;
      if (object == bytes) continue;
      ++frames;
      EXPECT_EQ(object, vorn::compressChunk(bytes, 12));
      writeTextFile(tmp / "frame.zst", object);
      const auto unpacked =
          vorn_test::runProcess({"/usr/bin/zstd", "-d", "-q", "-c", tmp / "frame.zst"});
      EXPECT_TRUE(unpacked.status == 0 && unpacked.out == bytes) << unpacked.err;
      break;  // one frame is enough for the tool
    }
  }
  EXPECT_GE(frames, 1u);
  EXPECT_LT(frames, unique.size());
  // The same build again is unchanged, forced or not; lost chunks come back.
  const std::string marked = store.objects[kKey] + " ";
  store.objects[kKey] = marked;
  store.objects.erase(vorn::plainChunkKey(unique.rbegin()->first));
  store.calls.clear();
  ASSERT_TRUE(vorn::pushChannel(store, src(), kChannel, true, "", &again, &err)) << err;
  EXPECT_TRUE(again.unchanged);
  EXPECT_EQ(
      std::make_tuple(again.build, again.uploaded, again.alreadyPresent, again.bytesIn),
      std::make_tuple(first.build, size_t(1), unique.size() - 1, int64_t(unique.rbegin()->second)));
  EXPECT_EQ(callsOf(store, "put"),
            std::vector<std::string>{vorn::plainChunkKey(unique.rbegin()->first)});
  EXPECT_EQ(store.objects.at(kKey), marked);

  // Another build without force is refused before any chunk is probed; a
  // stored manifest that cannot be read counts as another build.
  writeSeededFile(src() + "/new.bin", 1000, 3);
  for (const std::string& text : {marked, std::string("[1,2]"), std::string("{\"build\":7}")}) {
    store.objects[kKey] = text;
    store.calls.clear();
    again.uploaded = 777;
    EXPECT_FALSE(vorn::pushChannel(store, src(), kChannel, false, "", &again, &err));
    EXPECT_EQ(err, "channel 'main' already published (use --force to overwrite)");
    EXPECT_EQ(store.calls, (std::vector<std::string>{"head " + kKey, "get " + kKey}));
    EXPECT_EQ(again.uploaded, 777u) << "untouched on failure";
  }
}

TEST_F(Engine, AFileChangedUnderAPushLeavesThePreviousManifest) {
  writeSeededFile(src() + "/data.bin", 1536 * 1024, 2);
  ASSERT_TRUE(vorn::pushChannel(store, src(), kChannel, false, "", nullptr, &err)) << err;
  const std::string previous = store.objects.at(kKey), newFile = src() + "/new.bin";
  // The manifest probe comes after the build: a file changed by then is caught.
  const auto changeAfterBuild = [&](size_t size) {
    return [&, size](const std::string& op, const std::string& key) {
      if (op == "head" && key == kKey) writeSeededFile(newFile, size, 41);
      return false;
    };
  };
  const std::pair<std::function<bool(const std::string&, const std::string&)>,
                  std::function<std::string()>>
      faults[] = {
          {changeAfterBuild(1300 * 1024),
           [&] { return "chunk hash mismatch reading " + newFile + " (file changed under us?)"; }},
          {changeAfterBuild(1000), [&] { return "cannot read chunk bytes from " + newFile; }},
      };
  for (const auto& [hook, expected] : faults) {
    writeSeededFile(newFile, 1300 * 1024, 40);
    store.failWhen = hook;
    vorn::PushStats stats;
    stats.build = "untouched";
    EXPECT_FALSE(vorn::pushChannel(store, src(), kChannel, true, "", &stats, &err));
    EXPECT_EQ(err, expected());
    EXPECT_EQ(stats.build, "untouched");
    store.failWhen = nullptr;
    EXPECT_EQ(store.objects.at(kKey), previous) << expected();
  }
}

// ---- garbage collection: nothing goes unless every manifest was understood ----

TEST_F(Engine, GcStopsBeforeListingChunksAndAFailedRemovalStopsAtOnce) {
  const auto chunk = [&](uint64_t seed) {
    const std::string bytes = vorn_test::seededBytes(100 + seed, seed);
    store.objects[store.chunkKey(vorn::blake3Hex(bytes))] = bytes;
    return bytes;
  };
  store.objects["channels/good/manifest.json"] = "{\"files\":[" + fileEntry("a", chunk(1)) + "]}";
  chunk(2);
  const std::string file = R"({"schema": 1, "files": [{"path": "a", "size": 1, "chunks": )";
  for (const std::string& text :
       {std::string("{\"files\": ["), std::string("\"text\""), file + "{}}]}",
        file + R"([{"h": 5, "n": 1}]}]})", file + R"([{"n": 1}]}]})"}) {
    store.objects["channels/odd/manifest.json"] = text;
    const auto before = store.objects;
    store.calls.clear();
    EXPECT_FALSE(vorn::collectGarbage(store, true, {}, nullptr, &err)) << text;
    EXPECT_EQ(store.count("list chunks/"), 0u);
    EXPECT_EQ(store.objects, before);
  }
  store.objects.erase("channels/odd/manifest.json");
  // Not manifests, so never read.
  store.objects["channels/goodmanifest.json"] = store.objects["channels/good/notes.txt"] =
      "not json";
  std::vector<std::string> keys;
  for (uint64_t seed = 3; seed <= 6; ++seed)
    keys.push_back(store.chunkKey(vorn::blake3Hex(chunk(seed))));
  keys.push_back(store.chunkKey(vorn::blake3Hex(vorn_test::seededBytes(102, 2))));
  std::sort(keys.begin(), keys.end());
  store.failWhen = [&](const std::string& op, const std::string& key) {
    return op == "remove" && key == keys[2];
  };
  std::vector<std::string> reports, expected;
  for (int i = 0; i < 2; ++i)
    expected.push_back(keys[i] + " " + std::to_string(store.objects[keys[i]].size()) + " deleted");
  vorn::GcStats stats;
  stats.deleted = 777;
  EXPECT_FALSE(vorn::collectGarbage(
      store, true,
      [&](const std::string& key, int64_t size, bool deleted) {
        reports.push_back(key + " " + std::to_string(size) + (deleted ? " deleted" : ""));
      },
      &stats, &err));
  EXPECT_EQ(err, kUnreachable);
  EXPECT_EQ(reports, expected) << "earlier removals stand, nothing later is tried";
  for (size_t i = 0; i < keys.size(); ++i)
    EXPECT_EQ(store.objects.count(keys[i]), i < 2 ? 0u : 1u) << i;
  EXPECT_EQ(stats.deleted, 777u) << "stats untouched on failure";
}

// ---- the small units ----

TEST(ChunkCodec, FramesRawBytesAndRefusals) {
  const std::string chunk = vorn_test::compressibleBytes(300000, 1), id = vorn::blake3Hex(chunk);
  const std::string frame = vorn::compressChunk(chunk, 12);
  ASSERT_LT(frame.size(), chunk.size());
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), chunk.size());
  std::string out, error;
  const auto decoded = [](const std::string& object, const std::string& forId) {
    std::string result = "junk";
    return vorn::decodeChunk(object, forId, &result, nullptr) ? result : "refused";
  };
  EXPECT_EQ(decoded(frame, id), chunk);
  const std::string magicRaw = std::string("\x28\xB5\x2F\xFD", 4) + vorn_test::seededBytes(5000, 7);
  EXPECT_EQ(decoded(magicRaw, vorn::blake3Hex(magicRaw)), magicRaw);
  // A raw chunk that is itself a valid frame of other bytes: the id decides.
  const std::string inner = vorn_test::compressibleBytes(10000, 8),
                    frameAsChunk = vorn::compressChunk(inner, 3);
  EXPECT_EQ(decoded(frameAsChunk, vorn::blake3Hex(frameAsChunk)), frameAsChunk);
  EXPECT_EQ(decoded(frameAsChunk, vorn::blake3Hex(inner)), inner);
  std::string corrupt = frame;
  corrupt[corrupt.size() / 2] ^= 0x40;
  // A header declaring 2^50 bytes and then a tiny block: refused, not allocated.
  const std::string huge =
      std::string("\x28\xB5\x2F\xFD\xE0", 5) + std::string("\0\0\0\0\0\0\x04\0\x01\x00\x00", 11);
  for (const std::string& object : {vorn::compressChunk(inner, 12), corrupt,
                                    frame.substr(0, frame.size() - 10), chunk + "x", huge}) {
    EXPECT_FALSE(vorn::decodeChunk(object, id, &out, &error)) << object.size();
    EXPECT_EQ(error, "chunk " + id + " failed to decode/verify (corrupt or tampered)");
  }
  const std::string tooBig(16 * kMiB + 1, 'z');
  EXPECT_EQ(decoded(vorn::compressChunk(tooBig, 1), vorn::blake3Hex(tooBig)), "refused");
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
    EXPECT_EQ(vorn::fetchChannelManifest(store, kChannel, "", row.key, "", &doc, &err),
              row.expected.empty())
        << row.manifest;
    EXPECT_EQ(err, row.expected) << row.manifest;
    EXPECT_EQ(doc.isObject(), row.expected.empty());
    if (row.key.empty()) {
      EXPECT_EQ(store.calls, std::vector<std::string>{"get " + kKey});
    }
  }
}

}  // namespace
