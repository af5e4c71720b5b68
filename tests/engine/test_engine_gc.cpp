// Garbage collection against an in-memory store: what counts as referenced,
// what is reported and removed, and that nothing is removed unless every
// manifest was read in full.

#include <gtest/gtest.h>

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <memory>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

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
  doc["build"] = std::string(64, 'b');
  doc["channel"] = channel;
  doc["created"] = Json::Int64(1700000000);
  Json::Value& list = doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < files.size(); ++i) {
    Json::Value file(Json::objectValue);
    Json::Value& chunks = file["chunks"] = Json::Value(Json::arrayValue);
    uint64_t size = 0;
    for (const TestChunk& c : files[i]) {
      Json::Value ref(Json::objectValue);
      ref["h"] = c.id;
      ref["n"] = Json::UInt64(c.size);
      chunks.append(ref);
      size += c.size;
    }
    file["path"] = "f" + std::to_string(i);
    file["size"] = Json::UInt64(size);
    list.append(file);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  return Json::writeString(writer, doc);
}

std::string manifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
}

// Stores a chunk object (its content is irrelevant to collection; its length
// is what gets reported) and returns its key.
std::string putChunk(vorn::StorageProvider& store, const TestChunk& chunk) {
  const std::string key = store.chunkKey(chunk.id);
  EXPECT_TRUE(store.put(key, vorn_test::seededBytes(chunk.size / 2 + 1, chunk.size), nullptr));
  return key;
}

void publish(vorn::StorageProvider& store, const std::string& channel,
             const std::vector<std::vector<TestChunk>>& files) {
  for (const auto& file : files) {
    for (const TestChunk& c : file) putChunk(store, c);
  }
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

// Runs a collection, capturing every report.
bool collect(vorn::StorageProvider& store, bool remove, std::vector<Reported>* reports,
             GcStats* stats, std::string* err) {
  return collectGarbage(
      store, remove,
      [reports](const std::string& key, int64_t size, bool deleted) {
        reports->push_back({key, size, deleted});
      },
      stats, err);
}

// Values that a collection never produces, to see that a failure leaves them.
GcStats sentinelStats() {
  GcStats s;
  s.manifests = s.referenced = s.chunkObjects = s.garbage = s.deleted = 777;
  s.garbageBytes = -777;
  return s;
}

void expectUntouched(const GcStats& s) {
  EXPECT_EQ(s.manifests, 777u);
  EXPECT_EQ(s.deleted, 777u);
  EXPECT_EQ(s.garbageBytes, -777);
}

// Two channels sharing chunk 3; beta also repeats chunk 4 within one file.
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

  int64_t storedSize(const TestChunk& chunk) {
    return static_cast<int64_t>(store.objects.at(store.chunkKey(chunk.id)).size());
  }

  MemoryStore store;
  std::vector<TestChunk> c;
};

}  // namespace

TEST_F(TwoChannels, NothingIsGarbageWhileBothChannelsExist) {
  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(store, false, &reports, &stats, &err)) << err;
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(stats.manifests, 2u);
  // Chunk 3 is named by both channels and chunk 4 twice by one: each counts once.
  EXPECT_EQ(stats.referenced, 5u);
  EXPECT_EQ(stats.chunkObjects, 5u);
  EXPECT_EQ(stats.garbage, 0u);
  EXPECT_EQ(stats.garbageBytes, 0);
}

TEST_F(TwoChannels, DryRunReportsExactlyTheChunksOnlyTheRetiredChannelNamed) {
  retireBeta();
  const auto before = store.objects;
  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(store, false, &reports, &stats, &err)) << err;

  std::vector<Reported> expected{{store.chunkKey(c[3].id), storedSize(c[3]), false},
                                 {store.chunkKey(c[4].id), storedSize(c[4]), false}};
  // Reports follow the listing, which is in key order.
  std::sort(expected.begin(), expected.end(),
            [](const Reported& a, const Reported& b) { return a.key < b.key; });
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(stats.manifests, 1u);
  EXPECT_EQ(stats.referenced, 3u);
  EXPECT_EQ(stats.chunkObjects, 5u);
  EXPECT_EQ(stats.garbage, 2u);
  EXPECT_EQ(stats.deleted, 0u);
  EXPECT_EQ(stats.garbageBytes, storedSize(c[3]) + storedSize(c[4]));
  EXPECT_EQ(store.objects, before);
  EXPECT_EQ(store.count("remove"), 0u);
}

TEST_F(TwoChannels, DeleteRemovesExactlyTheGarbageAndASecondRunFindsNone) {
  retireBeta();
  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  ASSERT_EQ(reports.size(), 2u);
  for (const Reported& r : reports) {
    EXPECT_TRUE(r.deleted) << r;
    EXPECT_EQ(store.objects.count(r.key), 0u) << r;
  }
  EXPECT_EQ(stats.garbage, 2u);
  EXPECT_EQ(stats.deleted, 2u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(store.objects.count(store.chunkKey(c[i].id)), 1u);
  EXPECT_EQ(store.objects.count(manifestKey("alpha") + ".sig"), 1u);
  EXPECT_EQ(store.count("remove"), 2u);

  reports.clear();
  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(stats.chunkObjects, 3u);
  EXPECT_EQ(stats.garbage, 0u);
  EXPECT_EQ(stats.deleted, 0u);
}

TEST_F(TwoChannels, RequestsAreTwoListingsAndOneGetPerManifest) {
  retireBeta();
  store.calls.clear();
  GcStats stats;
  ASSERT_TRUE(collectGarbage(store, false, {}, &stats, nullptr));
  std::vector<std::string> expected{"list channels/", "get " + manifestKey("alpha"),
                                    "list chunks/"};
  EXPECT_EQ(store.calls, expected);
}

TEST_F(TwoChannels, OnlyKeysEndingInSlashManifestJsonAreRead) {
  retireBeta();
  // Neither is a manifest; both would fail the run if they were read.
  store.objects["channels/betamanifest.json"] = "not json";
  store.objects["channels/alpha/notes.txt"] = "not json";
  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(store, false, &reports, &stats, &err)) << err;
  EXPECT_EQ(stats.manifests, 1u);
  EXPECT_EQ(stats.garbage, 2u);
  EXPECT_EQ(store.count("get"), 1u);
}

TEST_F(TwoChannels, ObjectsUnderChunksThatNoIdMapsToAreGarbage) {
  store.objects["chunks/zz/stray"] = "12345";
  store.objects["chunks/" + c[0].id] = "wrong layout";  // the id, but not its key
  std::vector<Reported> reports;
  GcStats stats;
  ASSERT_TRUE(collect(store, false, &reports, &stats, nullptr));
  std::vector<Reported> expected{{"chunks/" + c[0].id, 12, false}, {"chunks/zz/stray", 5, false}};
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(stats.garbageBytes, 17);
}

TEST(GcEmptyStore, WithoutManifestsEveryChunkObjectIsGarbage) {
  MemoryStore store;
  int64_t total = 0;
  for (uint64_t seed = 10; seed < 14; ++seed) {
    const std::string key = putChunk(store, chunkFor(seed));
    total += static_cast<int64_t>(store.objects[key].size());
  }
  std::vector<Reported> reports;
  GcStats stats;
  ASSERT_TRUE(collect(store, false, &reports, &stats, nullptr));
  EXPECT_EQ(stats.manifests, 0u);
  EXPECT_EQ(stats.referenced, 0u);
  EXPECT_EQ(stats.chunkObjects, 4u);
  EXPECT_EQ(stats.garbage, 4u);
  EXPECT_EQ(stats.garbageBytes, total);
  EXPECT_EQ(reports.size(), 4u);
}

TEST(GcEmptyStore, NothingAtAllIsAnEmptySuccess) {
  MemoryStore store;
  GcStats stats = sentinelStats();
  ASSERT_TRUE(collectGarbage(store, true, {}, &stats, nullptr));
  EXPECT_EQ(stats.manifests, 0u);
  EXPECT_EQ(stats.chunkObjects, 0u);
  EXPECT_EQ(stats.garbage, 0u);
  EXPECT_EQ(stats.deleted, 0u);
  EXPECT_EQ(stats.garbageBytes, 0);
}

TEST(GcManyObjects, ThousandsOfChunkObjectsAreAllAccountedFor) {
  MemoryStore store;
  std::vector<TestChunk> kept;
  std::set<std::string> garbageKeys;
  for (uint64_t seed = 0; seed < 2500; ++seed) {
    TestChunk chunk = chunkFor(1000 + seed);
    store.objects[store.chunkKey(chunk.id)] = "x";
    if (seed % 5 == 0) {
      kept.push_back(chunk);
    } else {
      garbageKeys.insert(store.chunkKey(chunk.id));
    }
  }
  // Split the kept chunks over many files of one manifest.
  std::vector<std::vector<TestChunk>> files;
  for (size_t i = 0; i < kept.size(); i += 7) {
    files.emplace_back(kept.begin() + i, kept.begin() + std::min(kept.size(), i + 7));
  }
  store.objects[manifestKey("big")] = manifestText("big", files);

  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(store, true, &reports, &stats, &err)) << err;
  EXPECT_EQ(stats.referenced, 500u);
  EXPECT_EQ(stats.chunkObjects, 2500u);
  EXPECT_EQ(stats.garbage, 2000u);
  EXPECT_EQ(stats.deleted, 2000u);
  EXPECT_EQ(stats.garbageBytes, 2000);
  std::set<std::string> reportedKeys;
  for (const Reported& r : reports) reportedKeys.insert(r.key);
  EXPECT_EQ(reportedKeys, garbageKeys);
  for (const TestChunk& chunk : kept) EXPECT_EQ(store.objects.count(store.chunkKey(chunk.id)), 1u);
  EXPECT_EQ(store.objects.size(), 501u);
}

// A manifest that cannot be read in full must stop the run before chunks are
// even listed: its chunks are unknown, so nothing may be judged garbage.
class GcUnreadableManifest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
};

TEST_P(GcUnreadableManifest, FailsBeforeAnyChunkIsListedAndRemovesNothing) {
  MemoryStore store;
  const TestChunk a = chunkFor(1);
  publish(store, "good", {{a}});
  putChunk(store, chunkFor(2));  // garbage that must survive
  // "channels/odd/..." sorts after "channels/good/...": a good manifest first
  // does not let the run start deleting.
  store.objects[manifestKey("odd")] = GetParam().first;
  const auto before = store.objects;

  GcStats stats = sentinelStats();
  std::vector<Reported> reports;
  std::string err;
  EXPECT_FALSE(collect(store, true, &reports, &stats, &err));
  EXPECT_NE(err.find(GetParam().second), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  EXPECT_EQ(store.count("list chunks/"), 0u);
  EXPECT_EQ(store.count("remove"), 0u);
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(store.objects, before);
  expectUntouched(stats);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, GcUnreadableManifest,
    ::testing::Values(
        std::make_pair("{\"files\": [", "manifest parse error: "),
        std::make_pair("", "manifest parse error: "),
        std::make_pair("[1, 2]", "channels/odd/manifest.json"),
        std::make_pair("null", "channels/odd/manifest.json"),
        std::make_pair("\"text\"", "channels/odd/manifest.json"),
        std::make_pair("{\"schema\": 1, \"files\": {}}", "channels/odd/manifest.json"),
        std::make_pair("{\"schema\": 1, \"files\": [7]}", "channels/odd/manifest.json"),
        std::make_pair(
            "{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": {}}]}",
            "channels/odd/manifest.json"),
        std::make_pair("{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": "
                       "[{\"h\": 5, \"n\": 1}]}]}",
                       "channels/odd/manifest.json"),
        std::make_pair("{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": "
                       "[{\"n\": 1}]}]}",
                       "channels/odd/manifest.json")));

TEST(GcManifestContent, SchemaChannelAndSignatureAreNotChecked) {
  // Every manifest object present protects its chunks, whatever else it says.
  MemoryStore store;
  const TestChunk a = chunkFor(1), b = chunkFor(2);
  putChunk(store, a);
  putChunk(store, b);
  std::string text = manifestText("other", {{a}});
  store.objects[manifestKey("mismatch")] = text;
  Json::Value doc(Json::objectValue);
  doc["schema"] = 99;
  Json::Value file(Json::objectValue);
  file["path"] = "x";
  file["size"] = Json::UInt64(b.size);
  file["chunks"].append(Json::Value(Json::objectValue));
  file["chunks"][0]["h"] = b.id;
  file["chunks"][0]["n"] = Json::UInt64(b.size);
  doc["files"].append(file);
  store.objects[manifestKey("future")] = Json::writeString(Json::StreamWriterBuilder(), doc);
  // No "files" at all: a manifest of an empty build.
  store.objects[manifestKey("empty")] = "{\"schema\": 1}";

  GcStats stats;
  std::string err;
  ASSERT_TRUE(collectGarbage(store, true, {}, &stats, &err)) << err;
  EXPECT_EQ(stats.manifests, 3u);
  EXPECT_EQ(stats.referenced, 2u);
  EXPECT_EQ(stats.garbage, 0u);
}

TEST(GcStoreFailures, ListingOrReadingFailuresPassTheProviderMessageOn) {
  for (const std::string& failing :
       std::vector<std::string>{"list channels/", "get " + manifestKey("a"), "list chunks/"}) {
    MemoryStore store;
    publish(store, "a", {{chunkFor(1)}});
    putChunk(store, chunkFor(2));
    store.failWhen = [&](const std::string& op, const std::string& key) {
      return op + " " + key == failing;
    };
    GcStats stats = sentinelStats();
    std::string err;
    EXPECT_FALSE(collectGarbage(store, true, {}, &stats, &err)) << failing;
    EXPECT_EQ(err, "curl: Couldn't connect to server") << failing;
    EXPECT_EQ(store.count("remove"), 0u) << failing;
    expectUntouched(stats);
  }
}

TEST(GcStoreFailures, ARemovalFailingPartWayStopsThereAndEarlierRemovalsStand) {
  MemoryStore store;
  std::vector<std::string> keys;
  for (uint64_t seed = 1; seed <= 5; ++seed) keys.push_back(putChunk(store, chunkFor(seed)));
  std::sort(keys.begin(), keys.end());
  store.failWhen = [&](const std::string& op, const std::string& key) {
    return op == "remove" && key == keys[2];
  };
  std::vector<Reported> reports;
  GcStats stats = sentinelStats();
  std::string err;
  EXPECT_FALSE(collect(store, true, &reports, &stats, &err));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].key, keys[0]);
  EXPECT_EQ(reports[1].key, keys[1]);
  EXPECT_TRUE(reports[0].deleted && reports[1].deleted);
  EXPECT_EQ(store.objects.count(keys[0]), 0u);
  EXPECT_EQ(store.objects.count(keys[1]), 0u);
  for (size_t i = 2; i < keys.size(); ++i) EXPECT_EQ(store.objects.count(keys[i]), 1u);
  // The run stopped at the failure: no attempt on later objects.
  EXPECT_EQ(store.count("remove"), 3u);
  expectUntouched(stats);
}

TEST(GcStoreFailures, NullStatsAndErrorAreAllowed) {
  MemoryStore store;
  putChunk(store, chunkFor(1));
  EXPECT_TRUE(collectGarbage(store, false, {}, nullptr, nullptr));
  store.failWhen = [](const std::string&, const std::string&) { return true; };
  EXPECT_FALSE(collectGarbage(store, false, {}, nullptr, nullptr));
}

// The same collection through the encrypted layer: manifests are opened by it
// and chunk ids map to its keyed names.
class GcEncrypted : public ::testing::Test {
 protected:
  void SetUp() override {
    auto memory = std::make_unique<MemoryStore>();
    raw = memory.get();
    store = vorn::makeEncryptedProvider(std::move(memory), std::string(32, '\x11'));
    otherKeyNames =
        vorn::makeEncryptedProvider(std::make_unique<MemoryStore>(), std::string(32, '\x22'));
  }

  MemoryStore* raw = nullptr;
  std::unique_ptr<vorn::StorageProvider> store;
  std::unique_ptr<vorn::StorageProvider> otherKeyNames;
};

TEST_F(GcEncrypted, ChunksUnderAnotherStoreKeyOrPlainNamesAreGarbage) {
  const TestChunk a = chunkFor(1), b = chunkFor(2);
  publish(*store, "sealed", {{a, b}});
  // The stored names hide the ids.
  for (const auto& [key, body] : raw->objects) {
    EXPECT_EQ(key.find(a.id), std::string::npos) << key;
    EXPECT_EQ(key.find(b.id), std::string::npos) << key;
  }
  raw->objects[otherKeyNames->chunkKey(a.id)] = "other key";
  raw->objects[vorn::plainChunkKey(b.id)] = "plain";

  std::vector<Reported> reports;
  GcStats stats;
  std::string err;
  ASSERT_TRUE(collect(*store, true, &reports, &stats, &err)) << err;
  EXPECT_EQ(stats.manifests, 1u);
  EXPECT_EQ(stats.referenced, 2u);
  EXPECT_EQ(stats.chunkObjects, 4u);
  EXPECT_EQ(stats.garbage, 2u);
  std::set<std::string> reported;
  for (const Reported& r : reports) reported.insert(r.key);
  EXPECT_EQ(reported,
            (std::set<std::string>{otherKeyNames->chunkKey(a.id), vorn::plainChunkKey(b.id)}));
  EXPECT_EQ(raw->objects.count(store->chunkKey(a.id)), 1u);
  EXPECT_EQ(raw->objects.count(store->chunkKey(b.id)), 1u);
}

TEST_F(GcEncrypted, APlainManifestFailsTheRunAndNothingIsRemoved) {
  const TestChunk a = chunkFor(1);
  publish(*store, "sealed", {{a}});
  raw->objects[otherKeyNames->chunkKey(a.id)] = "garbage that must stay";
  raw->objects[manifestKey("plain")] = manifestText("plain", {{a}});
  const auto before = raw->objects;
  std::string err;
  EXPECT_FALSE(collectGarbage(*store, true, {}, nullptr, &err));
  EXPECT_NE(err.find(manifestKey("plain") + ": not an encrypted object"), std::string::npos) << err;
  EXPECT_EQ(raw->objects, before);
  EXPECT_EQ(raw->count("list chunks/"), 0u);
}
