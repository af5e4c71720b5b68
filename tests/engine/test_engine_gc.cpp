// Garbage collection against an in-memory store: what counts as referenced,
// what is reported and removed, and that nothing is removed unless every
// manifest was read in full.

#include <gtest/gtest.h>

#include <json/value.h>

#include <algorithm>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/garbage_collection.hpp"
#include "support/memory_store.hpp"
#include "support/test_data.hpp"
#include "util/digest.hpp"

using vorn::collectGarbage;
using vorn::GcStats;
using vorn_test::MemoryStore;

namespace {

struct TestChunk {
  std::string id;
  uint64_t size = 0;
};

// A distinct chunk id and its plain size from a seed.
TestChunk chunkFor(uint64_t seed) {
  const std::string bytes = vorn_test::seededBytes(100 + seed % 37, seed);
  return {vorn::blake3Hex(bytes), bytes.size()};
}

// A channel manifest in the stored form, one file per list of chunks.
std::string manifestText(const std::string& channel,
                         const std::vector<std::vector<TestChunk>>& files) {
  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  doc["channel"] = channel;
  doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < files.size(); ++i) {
    Json::Value& file = doc["files"][Json::ArrayIndex(i)];
    file["path"] = "f" + std::to_string(i);
    file["chunks"] = Json::Value(Json::arrayValue);
    uint64_t size = 0;
    for (const TestChunk& c : files[i]) {
      Json::Value ref(Json::objectValue);
      ref["h"] = c.id;
      ref["n"] = Json::UInt64(c.size);
      file["chunks"].append(ref);
      size += c.size;
    }
    file["size"] = Json::UInt64(size);
  }
  return vorn::writeJsonText(doc);
}

std::string manifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
}

// Stores a chunk object (its length is what gets reported) and returns its key.
std::string putChunk(vorn::StorageProvider& store, const TestChunk& chunk) {
  const std::string key = store.chunkKey(chunk.id);
  EXPECT_TRUE(store.put(key, vorn_test::seededBytes(chunk.size / 2 + 1, chunk.size), nullptr));
  return key;
}

void publish(vorn::StorageProvider& store, const std::string& channel,
             const std::vector<std::vector<TestChunk>>& files) {
  for (const auto& file : files)
    for (const TestChunk& c : file) putChunk(store, c);
  ASSERT_TRUE(store.put(manifestKey(channel), manifestText(channel, files), nullptr));
  ASSERT_TRUE(store.put(manifestKey(channel) + ".sig", std::string(128, 'a'), nullptr));
}

struct Reported {
  std::string key;
  int64_t size;
  bool deleted;
  bool operator==(const Reported& o) const {
    return std::tie(key, size, deleted) == std::tie(o.key, o.size, o.deleted);
  }
};

std::ostream& operator<<(std::ostream& os, const Reported& r) {
  return os << r.key << " " << r.size << (r.deleted ? " deleted" : " garbage");
}

// Runs a collection, capturing every report. A failed run must leave the
// stats as they were.
bool collect(vorn::StorageProvider& store, bool remove, std::vector<Reported>* reports,
             GcStats* stats, std::string* err = nullptr) {
  GcStats sentinel;
  sentinel.manifests = sentinel.deleted = 777;
  sentinel.garbageBytes = -777;
  *stats = sentinel;
  reports->clear();
  const bool ok = collectGarbage(
      store, remove,
      [reports](const std::string& key, int64_t size, bool deleted) {
        reports->push_back({key, size, deleted});
      },
      stats, err);
  if (!ok) {
    EXPECT_EQ(stats->manifests, 777u);
    EXPECT_EQ(stats->deleted, 777u);
    EXPECT_EQ(stats->garbageBytes, -777);
  }
  return ok;
}

// Two channels sharing chunk 2; beta also repeats chunk 3 within one file.
class TwoChannels : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint64_t seed = 1; seed <= 5; ++seed) c.push_back(chunkFor(seed));
    publish(store, "alpha", {{c[0], c[1]}, {c[2]}});
    publish(store, "beta", {{c[2], c[3], c[3]}, {c[4]}});
  }

  void retireBeta() {
    store.objects.erase(manifestKey("beta"));
    store.objects.erase(manifestKey("beta") + ".sig");
  }

  Reported garbage(const std::string& key, bool deleted = false) {
    return {key, static_cast<int64_t>(store.objects.at(key).size()), deleted};
  }

  MemoryStore store;
  std::vector<TestChunk> c;
  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
};

}  // namespace

TEST_F(TwoChannels, DryRunThenDeleteReclaimExactlyWhatOnlyTheRetiredChannelNamed) {
  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(stats.manifests, 2u);
  // Chunk 2 is named by both channels and chunk 3 twice by one: each counts once.
  EXPECT_EQ(stats.referenced, 5u);
  EXPECT_EQ(stats.chunkObjects, 5u);
  EXPECT_EQ(stats.garbage, 0u);

  retireBeta();
  const auto before = store.objects;
  store.calls.clear();
  ASSERT_TRUE(collect(store, false, &reports, &stats, &err)) << err;
  // Bounded by the listings and one get per manifest.
  EXPECT_EQ(store.calls, (std::vector<std::string>{"list channels/", "get " + manifestKey("alpha"),
                                                   "list chunks/"}));
  std::vector<Reported> expected{garbage(store.chunkKey(c[3].id)),
                                 garbage(store.chunkKey(c[4].id))};
  // Reports follow the listing, which is in key order.
  std::sort(expected.begin(), expected.end(),
            [](const Reported& a, const Reported& b) { return a.key < b.key; });
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(stats.manifests, 1u);
  EXPECT_EQ(stats.referenced, 3u);
  EXPECT_EQ(stats.chunkObjects, 5u);
  EXPECT_EQ(stats.garbage, 2u);
  EXPECT_EQ(stats.deleted, 0u);
  EXPECT_EQ(stats.garbageBytes, expected[0].size + expected[1].size);
  EXPECT_EQ(store.objects, before);

  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  for (Reported& r : expected) r.deleted = true;
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(stats.deleted, 2u);
  for (const Reported& r : expected) EXPECT_EQ(store.objects.count(r.key), 0u) << r;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(store.objects.count(store.chunkKey(c[i].id)), 1u);
  EXPECT_EQ(store.objects.count(manifestKey("alpha") + ".sig"), 1u);

  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(stats.chunkObjects, 3u);
  EXPECT_EQ(stats.garbage, 0u);
}

TEST_F(TwoChannels, OnlyManifestKeysAreReadAndOnlyChunkKeysProtect) {
  retireBeta();
  // Neither is a manifest; both would fail the run if they were read.
  store.objects["channels/betamanifest.json"] = "not json";
  store.objects["channels/alpha/notes.txt"] = "not json";
  // Under chunks/ but not where any referenced id maps to.
  store.objects["chunks/" + c[0].id] = "wrong layout";
  ASSERT_TRUE(collect(store, false, &reports, &stats, &err)) << err;
  EXPECT_EQ(stats.manifests, 1u);
  EXPECT_EQ(store.count("get"), 1u);
  std::set<std::string> keys;
  for (const Reported& r : reports) keys.insert(r.key);
  EXPECT_EQ(keys, (std::set<std::string>{"chunks/" + c[0].id, store.chunkKey(c[3].id),
                                         store.chunkKey(c[4].id)}));
}

TEST(GcWithoutManifests, EveryChunkObjectIsGarbageAndAnEmptyStoreIsFine) {
  MemoryStore store;
  std::vector<Reported> reports;
  GcStats stats;
  ASSERT_TRUE(collect(store, true, &reports, &stats));
  EXPECT_EQ(stats.chunkObjects, 0u);
  EXPECT_EQ(stats.deleted, 0u);
  EXPECT_EQ(stats.garbageBytes, 0);

  int64_t total = 0;
  for (uint64_t seed = 10; seed < 14; ++seed)
    total += static_cast<int64_t>(store.objects[putChunk(store, chunkFor(seed))].size());
  ASSERT_TRUE(collect(store, false, &reports, &stats));
  EXPECT_EQ(stats.manifests, 0u);
  EXPECT_EQ(stats.referenced, 0u);
  EXPECT_EQ(stats.garbage, 4u);
  EXPECT_EQ(stats.garbageBytes, total);
  EXPECT_EQ(reports.size(), 4u);
}

// A manifest that cannot be read in full must stop the run before chunks are
// even listed: its chunks are unknown, so nothing may be judged garbage.
TEST(GcUnreadableManifest, FailsBeforeAnyChunkIsListedAndRemovesNothing) {
  const std::string odd = manifestKey("odd");
  const std::pair<std::string, std::string> rows[] = {
      {"{\"files\": [", "manifest parse error: "},
      {"", "manifest parse error: "},
      {"[1, 2]", odd},
      {"\"text\"", odd},
      {"{\"schema\": 1, \"files\": {}}", odd},
      {"{\"schema\": 1, \"files\": [7]}", odd},
      {"{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": {}}]}", odd},
      {"{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": [{\"h\": 5, "
       "\"n\": 1}]}]}",
       odd},
      {"{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": [{\"n\": 1}]}]}",
       odd},
  };
  for (const auto& [text, expected] : rows) {
    MemoryStore store;
    // "channels/odd/..." sorts after "channels/good/...": a good manifest first
    // does not let the run start deleting.
    publish(store, "good", {{chunkFor(1)}});
    putChunk(store, chunkFor(2));  // garbage that must survive
    store.objects[odd] = text;
    const auto before = store.objects;
    std::vector<Reported> reports;
    GcStats stats;
    std::string err;
    EXPECT_FALSE(collect(store, true, &reports, &stats, &err)) << text;
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(store.count("list chunks/"), 0u);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(store.objects, before);
  }
}

TEST(GcManifestContent, SchemaChannelAndSignatureAreNotChecked) {
  // Every manifest object present protects its chunks, whatever else it says.
  MemoryStore store;
  const TestChunk a = chunkFor(1), b = chunkFor(2);
  putChunk(store, a);
  putChunk(store, b);
  store.objects[manifestKey("mismatch")] = manifestText("other", {{a}});
  Json::Value future;
  ASSERT_TRUE(vorn::parseJson(manifestText("future", {{b}}), &future, nullptr));
  future["schema"] = 99;
  store.objects[manifestKey("future")] = vorn::writeJsonText(future);
  store.objects[manifestKey("empty")] = "{\"schema\": 1}";  // no "files": an empty build

  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  EXPECT_EQ(stats.manifests, 3u);
  EXPECT_EQ(stats.referenced, 2u);
  EXPECT_EQ(stats.garbage, 0u);
}

TEST(GcStoreFailures, ListingReadingAndRemovalFailuresStopTheRun) {
  for (const std::string failing : {"list channels/", "get channels/a/manifest.json",
                                    "list chunks/"}) {
    MemoryStore store;
    publish(store, "a", {{chunkFor(1)}});
    putChunk(store, chunkFor(2));
    store.failWhen = [&](const std::string& op, const std::string& key) {
      return op + " " + key == failing;
    };
    std::vector<Reported> reports;
    GcStats stats;
    std::string err;
    EXPECT_FALSE(collect(store, true, &reports, &stats, &err)) << failing;
    EXPECT_EQ(err, "curl: Couldn't connect to server") << failing;
    EXPECT_EQ(store.count("remove"), 0u) << failing;
  }

  // A removal failing part-way: the earlier removals stand, nothing later is tried.
  MemoryStore store;
  std::vector<std::string> keys;
  for (uint64_t seed = 1; seed <= 5; ++seed) keys.push_back(putChunk(store, chunkFor(seed)));
  std::sort(keys.begin(), keys.end());
  store.failWhen = [&](const std::string& op, const std::string& key) {
    return op == "remove" && key == keys[2];
  };
  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  EXPECT_FALSE(collect(store, true, &reports, &stats, &err));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
  ASSERT_EQ(reports.size(), 2u);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i < 2) {
      EXPECT_EQ(reports[i], (Reported{keys[i], reports[i].size, true}));
    }
    EXPECT_EQ(store.objects.count(keys[i]), i < 2 ? 0u : 1u) << i;
  }
  EXPECT_EQ(store.count("remove"), 3u);
  // Null stats and error pointers are allowed.
  EXPECT_FALSE(collectGarbage(store, true, {}, nullptr, nullptr));
}

// The same collection through the encrypted layer: manifests are opened by it
// and chunk ids map to its keyed names.
TEST(GcEncrypted, ForeignAndPlainObjectsAreGarbageAndAPlainManifestFailsTheRun) {
  auto memory = std::make_unique<MemoryStore>();
  MemoryStore* raw = memory.get();
  auto store = vorn::makeEncryptedProvider(std::move(memory), std::string(32, '\x11'));
  auto otherKey =
      vorn::makeEncryptedProvider(std::make_unique<MemoryStore>(), std::string(32, '\x22'));
  const TestChunk a = chunkFor(1), b = chunkFor(2);
  publish(*store, "sealed", {{a, b}});
  for (const auto& entry : raw->objects) {
    EXPECT_EQ(entry.first.find(a.id), std::string::npos) << entry.first;
    EXPECT_EQ(entry.first.find(b.id), std::string::npos) << entry.first;
  }
  raw->objects[otherKey->chunkKey(a.id)] = "other key";
  raw->objects[vorn::plainChunkKey(b.id)] = "plain";

  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(*store, false, &reports, &stats, &err)) << err;
  EXPECT_EQ(stats.manifests, 1u);
  EXPECT_EQ(stats.referenced, 2u);
  EXPECT_EQ(stats.chunkObjects, 4u);
  std::set<std::string> reported;
  for (const Reported& r : reports) reported.insert(r.key);
  EXPECT_EQ(reported, (std::set<std::string>{otherKey->chunkKey(a.id), vorn::plainChunkKey(b.id)}));

  raw->objects[manifestKey("plain")] = manifestText("plain", {{a}});
  const auto before = raw->objects;
  EXPECT_FALSE(collect(*store, true, &reports, &stats, &err));
  EXPECT_EQ(err, manifestKey("plain") +
                     ": not an encrypted object (wrong store, or written without a key)");
  EXPECT_EQ(raw->objects, before);
}
