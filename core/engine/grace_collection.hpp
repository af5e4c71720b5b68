#pragma once
// Two-phase garbage collection, safe beside running pushes: garbage is first
// set aside (moved to "gc/aside/" + its key, where sync and push still find
// it), and only a run at least a grace period later deletes what no manifest
// names by then, putting the rest back. Ages come from the store's clock alone.
//
// Store layout, all under "gc/": the set-aside objects; the record of the
// collection in progress, "gc/state/collection.json" (its state, its time and
// its objects); and one lock object per running collection,
// "gc/state/lock." + a random id.

#include "storage/storage_provider.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn {

enum class GcStep {
  kPutBack,   // a set-aside chunk that a manifest names again, moved back to its key
  kDeleted,   // a set-aside chunk still unnamed after the grace period, removed
  kSetAside,  // unnamed for at least the grace period, moved to its set-aside key
};

// (step, object key of the chunk, listed size, done: false in a dry run).
// Called in the order of the record, or of the chunk listing.
using GcStepReport =
    std::function<void(GcStep step, const std::string& chunkKey, int64_t size, bool done)>;

struct GraceGcOptions {
  bool apply = false;        // false: report what each phase would do, change nothing
  int jobs = 1;              // moves and removals in flight at once
  int64_t graceSeconds = 0;  // how long garbage stays set aside, and the least age of
                             // what is set aside, by the store's clock
  GcStepReport report;       // may be empty
};

// What a run found and did (or, in a dry run, would do).
struct GraceGcStats {
  enum class Previous {
    kNone,      // no collection was in progress
    kWaiting,   // the one in progress is younger than the grace period: left alone
    kFinished,  // the one in progress was finished
    kResumed,   // an interrupted run had left its objects half moved: completed
  };
  size_t manifests = 0;
  size_t referenced = 0;
  Previous previous = Previous::kNone;
  int64_t previousAge = 0;  // seconds since the previous collection was recorded
  size_t previousObjects = 0;
  size_t putBack = 0;
  size_t deleted = 0;
  int64_t deletedBytes = 0;
  // Current garbage, looked for only when no collection is left in progress.
  bool looked = false;
  size_t chunkObjects = 0;
  size_t garbage = 0;
  int64_t garbageBytes = 0;
  size_t setAside = 0;  // of the garbage (or of a resumed collection): set aside
  int64_t setAsideBytes = 0;
};

// The age a lock object keeps another collection away.
constexpr int64_t kGcLockSeconds = 30 * 60;

// One run: takes the lock (refusing while another collection's lock is
// younger than kGcLockSeconds), reads every manifest, finishes (or resumes)
// the collection in progress, and when none is left sets aside the garbage
// old enough, recording it before anything moves, so a run that is cut short
// is completed by the next one. Removes its lock at the end, also after a
// failure. *stats is written only on success.
bool collectInTwoPhases(StorageProvider& store, const GraceGcOptions& options, GraceGcStats* stats,
                        std::string* err);

}  // namespace vorn
