// Garbage collection against an in-memory store: what counts as referenced,
// what is reported and removed, and that nothing is removed unless every
// manifest was read in full.

#include "engine/garbage_collection.hpp"

#include "util/digest.hpp"

#include "support/engine_fixtures.hpp"
#include "support/memory_store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

namespace {

using vorn::GcStats;
using vorn_test::ChunkRef;
using vorn_test::MemoryStore;

const std::string kUnreachable = "curl: Couldn't connect to server";

// A distinct chunk id and its plain size from a seed.
ChunkRef chunkFor(uint64_t seed) {
  const std::string bytes = vorn_test::seededBytes(100 + seed % 37, seed);
  return {vorn::blake3Hex(bytes), bytes.size()};
}

std::string manifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
}

// Stores a chunk object (its length is what gets reported) and returns its key.
std::string putChunk(vorn::StorageProvider& store, const ChunkRef& chunk) {
  const std::string key = store.chunkKey(chunk.id);
  EXPECT_TRUE(store.put(key, vorn_test::seededBytes(chunk.size / 2 + 1, chunk.size), nullptr));
  return key;
}

void publish(vorn::StorageProvider& store, const std::string& channel,
             const std::vector<std::vector<ChunkRef>>& files) {
  for (const auto& file : files)
    for (const ChunkRef& c : file) putChunk(store, c);
  ASSERT_TRUE(store.put(manifestKey(channel), vorn_test::manifestText(files, channel), nullptr));
  ASSERT_TRUE(store.put(manifestKey(channel) + ".sig", std::string(128, 'a'), nullptr));
}

// Every report as "key size deleted|garbage", in order.
struct GcRun {
  bool ok = false;
  std::vector<std::string> reports;
  GcStats stats;
  std::string err;
};

// Runs a collection. A failed run must leave the stats as they were.
GcRun collect(vorn::StorageProvider& store, bool remove) {
  GcRun run;
  run.stats.manifests = run.stats.deleted = 777;
  run.ok = vorn::collectGarbage(
      store, remove,
      [&run](const std::string& key, int64_t size, bool deleted) {
        run.reports.push_back(key + " " + std::to_string(size) + (deleted ? " deleted" : " garbage"));
      },
      &run.stats, &run.err);
  if (!run.ok) {
    EXPECT_EQ(run.stats.manifests + run.stats.deleted, 2 * 777u);
  }
  EXPECT_EQ(run.err.find('\n'), std::string::npos);
  return run;
}

std::string report(const MemoryStore& store, const std::string& key, bool deleted) {
  return key + " " + std::to_string(store.objects.at(key).size()) +
         (deleted ? " deleted" : " garbage");
}

// Two channels sharing chunk 2; beta also repeats chunk 3 within one file.
TEST(Gc, DryRunThenDeleteReclaimExactlyWhatOnlyTheRetiredChannelNamed) {
  MemoryStore store;
  std::vector<ChunkRef> c;
  for (uint64_t seed = 1; seed <= 5; ++seed) c.push_back(chunkFor(seed));
  publish(store, "alpha", {{c[0], c[1]}, {c[2]}});
  publish(store, "beta", {{c[2], c[3], c[3]}, {c[4]}});
  GcRun run = collect(store, true);
  ASSERT_TRUE(run.ok) << run.err;
  EXPECT_TRUE(run.reports.empty());
  // Chunk 2 is named by both channels and chunk 3 twice by one: each counts once.
  EXPECT_EQ(run.stats.manifests, 2u);
  EXPECT_EQ(run.stats.referenced, 5u);
  EXPECT_EQ(run.stats.chunkObjects, 5u);

  store.objects.erase(manifestKey("beta"));
  store.objects.erase(manifestKey("beta") + ".sig");
  // Neither is a manifest; both would fail the run if they were read.
  store.objects["channels/betamanifest.json"] = "not json";
  store.objects["channels/alpha/notes.txt"] = "not json";
  const auto before = store.objects;
  store.calls.clear();
  // Reports follow the listing, which is in key order.
  std::vector<std::string> keys{store.chunkKey(c[3].id), store.chunkKey(c[4].id)};
  std::sort(keys.begin(), keys.end());
  run = collect(store, false);
  ASSERT_TRUE(run.ok) << run.err;
  // Bounded by the listings and one get per manifest.
  EXPECT_EQ(store.calls, (std::vector<std::string>{"list channels/", "get " + manifestKey("alpha"),
                                                   "list chunks/"}));
  EXPECT_EQ(run.reports,
            (std::vector<std::string>{report(store, keys[0], false), report(store, keys[1], false)}));
  EXPECT_EQ(run.stats.manifests, 1u);
  EXPECT_EQ(run.stats.referenced, 3u);
  EXPECT_EQ(run.stats.chunkObjects, 5u);
  EXPECT_EQ(run.stats.garbage, 2u);
  EXPECT_EQ(run.stats.deleted, 0u);
  EXPECT_EQ(run.stats.garbageBytes,
            static_cast<int64_t>(store.objects.at(keys[0]).size() + store.objects.at(keys[1]).size()));
  EXPECT_EQ(store.objects, before);

  const std::vector<std::string> deleted{report(store, keys[0], true), report(store, keys[1], true)};
  run = collect(store, true);
  ASSERT_TRUE(run.ok) << run.err;
  EXPECT_EQ(run.reports, deleted);
  EXPECT_EQ(run.stats.deleted, 2u);
  for (const std::string& key : keys) EXPECT_EQ(store.objects.count(key), 0u) << key;
  EXPECT_EQ(store.objects.size(), before.size() - 2);

  run = collect(store, true);
  EXPECT_TRUE(run.ok && run.reports.empty()) << run.err;
  EXPECT_EQ(run.stats.chunkObjects, 3u);
}

TEST(Gc, WithoutManifestsEveryChunkObjectIsGarbageAndAnEmptyStoreIsFine) {
  MemoryStore store;
  GcRun run = collect(store, true);
  EXPECT_TRUE(run.ok && run.stats.chunkObjects == 0u && run.stats.garbageBytes == 0) << run.err;

  int64_t total = 0;
  for (uint64_t seed = 10; seed < 14; ++seed)
    total += static_cast<int64_t>(store.objects[putChunk(store, chunkFor(seed))].size());
  // Under chunks/ but not where any id maps to: garbage too.
  store.objects["chunks/" + chunkFor(1).id] = "wrong layout";
  run = collect(store, false);
  ASSERT_TRUE(run.ok) << run.err;
  EXPECT_EQ(run.stats.manifests, 0u);
  EXPECT_EQ(run.stats.referenced, 0u);
  EXPECT_EQ(run.stats.garbage, 5u);
  EXPECT_EQ(run.stats.garbageBytes, total + 12);
  EXPECT_EQ(run.reports.size(), 5u);
}

// A manifest that cannot be read in full must stop the run before chunks are
// even listed: its chunks are unknown, so nothing may be judged garbage.
TEST(Gc, UnreadableManifestFailsBeforeAnyChunkIsListedAndRemovesNothing) {
  const std::string odd = manifestKey("odd");
  const std::string file = "{\"schema\": 1, \"files\": [{\"path\": \"a\", \"size\": 1, \"chunks\": ";
  const std::pair<std::string, std::string> rows[] = {
      {"{\"files\": [", "manifest parse error: "},
      {"", "manifest parse error: "},
      {"\"text\"", odd},
      {"{\"schema\": 1, \"files\": {}}", odd},
      {"{\"schema\": 1, \"files\": [7]}", odd},
      {file + "{}}]}", odd},
      {file + "[{\"h\": 5, \"n\": 1}]}]}", odd},
      {file + "[{\"n\": 1}]}]}", odd},
  };
  for (const auto& [text, expected] : rows) {
    MemoryStore store;
    // "channels/odd/..." sorts after "channels/good/...": a good manifest first
    // does not let the run start deleting.
    publish(store, "good", {{chunkFor(1)}});
    putChunk(store, chunkFor(2));  // garbage that must survive
    store.objects[odd] = text;
    const auto before = store.objects;
    const GcRun run = collect(store, true);
    EXPECT_FALSE(run.ok) << text;
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    EXPECT_EQ(store.count("list chunks/"), 0u);
    EXPECT_EQ(store.objects, before);
  }
}

TEST(Gc, SchemaChannelAndSignatureAreNotChecked) {
  // Every manifest object present protects its chunks, whatever else it says.
  MemoryStore store;
  const ChunkRef a = chunkFor(1), b = chunkFor(2);
  putChunk(store, a);
  putChunk(store, b);
  store.objects[manifestKey("mismatch")] = vorn_test::manifestText({{a}}, "other");
  Json::Value future = vorn_test::manifestDoc({{b}});
  future["schema"] = 99;
  store.objects[manifestKey("future")] = vorn::writeJsonText(future);
  store.objects[manifestKey("empty")] = "{\"schema\": 1}";  // no "files": an empty build
  const GcRun run = collect(store, true);
  ASSERT_TRUE(run.ok) << run.err;
  EXPECT_EQ(run.stats.manifests, 3u);
  EXPECT_EQ(run.stats.referenced, 2u);
  EXPECT_EQ(run.stats.garbage, 0u);
}

TEST(Gc, ListingReadingAndRemovalFailuresStopTheRun) {
  for (const std::string failing :
       {"list channels/", "get channels/a/manifest.json", "list chunks/"}) {
    MemoryStore store;
    publish(store, "a", {{chunkFor(1)}});
    putChunk(store, chunkFor(2));
    store.failWhen = [&](const std::string& op, const std::string& key) {
      return op + " " + key == failing;
    };
    const GcRun run = collect(store, true);
    EXPECT_FALSE(run.ok) << failing;
    EXPECT_EQ(run.err, kUnreachable) << failing;
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
  const std::vector<std::string> expected{report(store, keys[0], true), report(store, keys[1], true)};
  const GcRun run = collect(store, true);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.err, kUnreachable);
  EXPECT_EQ(run.reports, expected);
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(store.objects.count(keys[i]), i < 2 ? 0u : 1u);
  EXPECT_EQ(store.count("remove"), 3u);
  // Null stats and error pointers are allowed.
  EXPECT_FALSE(vorn::collectGarbage(store, true, {}, nullptr, nullptr));
}

// The same collection through the encrypted layer: manifests are opened by it
// and chunk ids map to its keyed names.
TEST(Gc, EncryptedStoreForeignAndPlainObjectsAreGarbageAndAPlainManifestFailsTheRun) {
  auto memory = std::make_unique<MemoryStore>();
  MemoryStore* raw = memory.get();
  auto store = vorn::makeEncryptedProvider(std::move(memory), std::string(32, '\x11'));
  auto otherKey =
      vorn::makeEncryptedProvider(std::make_unique<MemoryStore>(), std::string(32, '\x22'));
  const ChunkRef a = chunkFor(1), b = chunkFor(2);
  publish(*store, "sealed", {{a, b}});
  for (const auto& entry : raw->objects)
    EXPECT_TRUE(entry.first.find(a.id) == std::string::npos &&
                entry.first.find(b.id) == std::string::npos)
        << entry.first;
  raw->objects[otherKey->chunkKey(a.id)] = "other key";
  raw->objects[vorn::plainChunkKey(b.id)] = "plain";

  GcRun run = collect(*store, false);
  ASSERT_TRUE(run.ok) << run.err;
  EXPECT_EQ(run.stats.manifests, 1u);
  EXPECT_EQ(run.stats.referenced, 2u);
  EXPECT_EQ(run.stats.chunkObjects, 4u);
  EXPECT_EQ(std::set<std::string>(run.reports.begin(), run.reports.end()),
            (std::set<std::string>{report(*raw, otherKey->chunkKey(a.id), false),
                                   report(*raw, vorn::plainChunkKey(b.id), false)}));

  raw->objects[manifestKey("plain")] = vorn_test::manifestText({{a}});
  const auto before = raw->objects;
  run = collect(*store, true);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.err, manifestKey("plain") +
                         ": not an encrypted object (wrong store, or written without a key)");
  EXPECT_EQ(raw->objects, before);
}

}  // namespace
