#pragma once
// Garbage collection: the chunk objects that no channel manifest in the store
// names any more, found (and optionally removed) through the provider alone,
// so plain and encrypted stores behave alike.

#include "storage/storage_provider.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace vorn {

// What one collection found. Written only when the collection succeeded.
struct GcStats {
  size_t manifests = 0;      // manifest objects read
  size_t referenced = 0;     // distinct chunk object keys the manifests name
  size_t chunkObjects = 0;   // objects listed under "chunks/"
  size_t garbage = 0;        // listed chunk objects no manifest names
  size_t deleted = 0;        // garbage objects removed (0 in a dry run)
  int64_t garbageBytes = 0;  // listed sizes of the garbage objects, summed
};

// Called once per garbage object, in listing order, after its removal when
// deleted is true: (object key, listed size, deleted).
using GcReport = std::function<void(const std::string& key, int64_t size, bool deleted)>;

struct GcOptions {
  bool remove = false;  // delete the garbage; false: a dry run that only reports it
  int jobs = 1;         // removals in flight at once; 1: one at a time, in listing order
  GcReport report;      // may be empty
};

// Reads every "channels/.../manifest.json" and adds the object key of each
// chunk it names to *referenced, counting the manifests in *manifests. Fails
// on the first listing, manifest or chunk list it cannot read in full.
bool readReferencedChunkKeys(StorageProvider& store, std::set<std::string>* referenced,
                             size_t* manifests, std::string* err);

// Reads every "channels/.../manifest.json", lists "chunks/" and reports each
// chunk object that no manifest names, in listing order; with remove set,
// deletes each one, reporting it once it is gone. Any failure to list, read or
// fully understand a manifest fails the run before anything is removed. A
// failed removal stops new ones at once: what was removed stands (and is
// reported) and *stats is left alone.
bool collectGarbage(StorageProvider& store, const GcOptions& options, GcStats* stats,
                    std::string* err);

}  // namespace vorn
