#include "engine/garbage_collection.hpp"

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "util/error_text.hpp"
#include "util/task_pool.hpp"

#include <json/value.h>

#include <set>
#include <vector>

namespace vorn {
namespace {

const std::string kManifestSuffix = "/manifest.json";

bool isManifestKey(const std::string& key) {
  return key.size() >= kManifestSuffix.size() &&
         key.compare(key.size() - kManifestSuffix.size(), kManifestSuffix.size(),
                     kManifestSuffix) == 0;
}

// Adds the store key of every chunk the manifest names. A manifest of any other
// shape fails: its chunks cannot be known, so nothing may be judged garbage.
bool addReferencedKeys(StorageProvider& store, const std::string& manifestKey,
                       const std::string& text, std::set<std::string>* referenced,
                       std::string* err) {
  Json::Value doc;
  std::vector<ManifestFile> files;
  if (!parseStoredManifest(manifestKey, text, &doc, &files, err)) return false;
  for (const ManifestFile& file : files) {
    for (const ManifestChunk& chunk : file.chunks) referenced->insert(store.chunkKey(chunk.id));
  }
  return true;
}

// Up to jobs removals in flight. Reports follow listing order, after the
// removals: on a failure, every object that is gone is still reported before
// the first failed key (in listing order) is.
bool removeConcurrently(StorageProvider& store, const std::vector<ObjectEntry>& chunkObjects,
                        const std::set<std::string>& referenced, int jobs, const GcReport& report,
                        GcStats* found, std::string* err) {
  std::vector<const ObjectEntry*> garbage;
  for (const ObjectEntry& entry : chunkObjects) {
    if (!referenced.count(entry.key)) garbage.push_back(&entry);
  }
  std::vector<char> removed(garbage.size(), 0);
  std::vector<std::string> errors(garbage.size());
  const size_t failed = runTasks(garbage.size(), jobs, [&](size_t i, int) {
    if (!store.remove(garbage[i]->key, &errors[i])) return false;
    removed[i] = 1;
    return true;
  });
  for (size_t i = 0; i < garbage.size(); ++i) {
    if (removed[i] && report) report(garbage[i]->key, garbage[i]->size, true);
  }
  if (failed < garbage.size()) {
    setError(err, errors[failed]);
    return false;
  }
  for (const ObjectEntry* entry : garbage) {
    ++found->deleted;
    ++found->garbage;
    found->garbageBytes += entry->size;
  }
  return true;
}

}  // namespace

bool collectGarbage(StorageProvider& store, bool remove, const GcReport& report, GcStats* stats,
                    std::string* err, int jobs) {
  std::vector<ObjectEntry> channelObjects;
  if (!store.list("channels/", &channelObjects, err)) return false;

  std::set<std::string> referenced;
  size_t manifests = 0;
  for (const ObjectEntry& entry : channelObjects) {
    // Signatures and anything else stored beside the manifests protect nothing.
    if (!isManifestKey(entry.key)) continue;
    std::string text;
    if (!store.get(entry.key, &text, err)) return false;
    if (!addReferencedKeys(store, entry.key, text, &referenced, err)) return false;
    ++manifests;
  }
  channelObjects.clear();
  channelObjects.shrink_to_fit();

  std::vector<ObjectEntry> chunkObjects;
  if (!store.list("chunks/", &chunkObjects, err)) return false;

  GcStats found;
  found.manifests = manifests;
  found.referenced = referenced.size();
  found.chunkObjects = chunkObjects.size();
  if (!remove || jobs <= 1) {
    for (const ObjectEntry& entry : chunkObjects) {
      if (referenced.count(entry.key)) continue;
      if (remove) {
        if (!store.remove(entry.key, err)) return false;
        ++found.deleted;
      }
      ++found.garbage;
      found.garbageBytes += entry.size;
      if (report) report(entry.key, entry.size, remove);
    }
  } else if (!removeConcurrently(store, chunkObjects, referenced, jobs, report, &found, err)) {
    return false;
  }
  if (stats) *stats = found;
  return true;
}

}  // namespace vorn
