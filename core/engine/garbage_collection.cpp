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

}  // namespace

bool readReferencedChunkKeys(StorageProvider& store, std::set<std::string>* referenced,
                             size_t* manifests, std::string* err) {
  std::vector<ObjectEntry> channelObjects;
  if (!store.list("channels/", &channelObjects, err)) return false;
  for (const ObjectEntry& entry : channelObjects) {
    // Signatures and anything else stored beside the manifests protect nothing.
    if (!isManifestKey(entry.key)) continue;
    std::string text;
    if (!store.get(entry.key, &text, err)) return false;
    if (!addReferencedKeys(store, entry.key, text, referenced, err)) return false;
    ++*manifests;
  }
  return true;
}

bool collectGarbage(StorageProvider& store, const GcOptions& options, GcStats* stats,
                    std::string* err) {
  std::set<std::string> referenced;
  size_t manifests = 0;
  if (!readReferencedChunkKeys(store, &referenced, &manifests, err)) return false;

  std::vector<ObjectEntry> chunkObjects;
  if (!store.list("chunks/", &chunkObjects, err)) return false;
  std::vector<const ObjectEntry*> garbage;
  for (const ObjectEntry& entry : chunkObjects) {
    if (!referenced.count(entry.key)) garbage.push_back(&entry);
  }

  std::vector<std::string> errors(garbage.size());
  // A dry run makes no request: nothing to spread over workers.
  const size_t failed = runTasks(
      garbage.size(), options.remove ? options.jobs : 1,
      [&](size_t i, int) { return !options.remove || store.remove(garbage[i]->key, &errors[i]); },
      [&](size_t i) {
        if (options.report) options.report(garbage[i]->key, garbage[i]->size, options.remove);
      });
  if (failed < garbage.size()) {
    setError(err, errors[failed]);
    return false;
  }
  GcStats found;
  found.manifests = manifests;
  found.referenced = referenced.size();
  found.chunkObjects = chunkObjects.size();
  found.garbage = garbage.size();
  if (options.remove) found.deleted = garbage.size();
  for (const ObjectEntry* entry : garbage) found.garbageBytes += entry->size;
  if (stats) *stats = found;
  return true;
}

}  // namespace vorn
