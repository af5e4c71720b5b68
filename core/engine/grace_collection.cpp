#include "engine/grace_collection.hpp"

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/garbage_collection.hpp"
#include "engine/set_aside.hpp"
#include "util/error_text.hpp"
#include "util/hex.hpp"
#include "util/task_pool.hpp"

#include <json/value.h>
#include <sodium.h>

#include <set>
#include <vector>

namespace vorn {
namespace {

const std::string kStatePrefix = "gc/state/";
const std::string kRecordKey = "gc/state/collection.json";
const std::string kLockPrefix = "gc/state/lock.";
// Recorded, and its objects being moved aside: a run cut short leaves this.
const char* const kMoving = "moving";
// Every object moved aside; the grace period runs from the record's own time.
const char* const kSetAsideState = "set aside";

struct RecordedObject {
  std::string key;  // the chunk's object key
  int64_t size = 0;
};

struct Record {
  std::string state;
  int64_t time = 0;  // store time of the run that made it
  std::vector<RecordedObject> objects;
};

std::string recordText(const Record& record) {
  Json::Value doc(Json::objectValue);
  doc["state"] = record.state;
  doc["time"] = Json::Int64(record.time);
  Json::Value& objects = doc["objects"] = Json::Value(Json::arrayValue);
  for (const RecordedObject& object : record.objects) {
    Json::Value& entry = objects.append(Json::Value(Json::objectValue));
    entry["key"] = object.key;
    entry["size"] = Json::Int64(object.size);
  }
  return writeJsonText(doc);
}

// A record names only chunk objects: whatever else it says is never moved
// or removed, and no key may step out of its folder on a store that keeps
// objects as files.
bool recordableKey(const std::string& key) {
  if (key.compare(0, 7, "chunks/") != 0 || key.size() > 1024) return false;
  if (("/" + key + "/").find("/../") != std::string::npos) return false;
  for (const char c : key) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

bool parseRecord(const std::string& text, Record* out, std::string* err) {
  const auto refuse = [err](const std::string& why) {
    setError(err, "collection record " + kRecordKey + ": " + why);
    return false;
  };
  Json::Value doc;
  std::string parseError;
  if (!parseJson(text, &doc, &parseError)) return refuse(parseError);
  if (!doc.isObject()) return refuse("not a JSON object");
  const Json::Value& state = doc["state"];
  if (!state.isString() || (state.asString() != kMoving && state.asString() != kSetAsideState))
    return refuse("unknown state");
  if (!doc["time"].isInt64()) return refuse("time is not an integer");
  const Json::Value& objects = doc["objects"];
  if (!objects.isArray()) return refuse("objects is not an array");
  Record record;
  record.state = state.asString();
  record.time = doc["time"].asInt64();
  for (Json::ArrayIndex i = 0; i < objects.size(); ++i) {
    const Json::Value& entry = objects[i];
    const std::string at = "objects[" + std::to_string(i) + "]";
    if (!entry.isObject() || !entry["key"].isString() || !recordableKey(entry["key"].asString()))
      return refuse(at + " is not a chunk object key");
    if (!entry["size"].isInt64() || entry["size"].asInt64() < 0)
      return refuse(at + ".size is not a size");
    record.objects.push_back({entry["key"].asString(), entry["size"].asInt64()});
  }
  *out = std::move(record);
  return true;
}

struct Action {
  GcStep step;
  const RecordedObject* object;
};

// One run, after its lock is written.
class Run {
 public:
  Run(StorageProvider& store, const GraceGcOptions& options, std::string lockKey)
      : store_(store), options_(options), lockKey_(std::move(lockKey)) {}

  bool collect(GraceGcStats* stats, std::string* err) {
    GraceGcStats found;
    Record record;
    int64_t recordTime = -1;  // the record's LastModified
    bool recorded = false;
    if (!readState(&record, &recordTime, &recorded, err)) return false;
    if (!readReferencedChunkKeys(store_, &referenced_, &found.manifests, err)) return false;
    found.referenced = referenced_.size();

    if (recorded) {
      found.previousObjects = record.objects.size();
      found.previousAge = recordTime < 0 ? 0 : now_ - recordTime;
      if (record.state == kMoving) {
        found.previous = GraceGcStats::Previous::kResumed;
        if (!resume(record, &found, err)) return false;
      } else if (recordTime < 0 || found.previousAge <= options_.graceSeconds) {
        // Ages are whole seconds, so only a difference above the grace
        // period proves that much time has passed.
        found.previous = GraceGcStats::Previous::kWaiting;
      } else {
        found.previous = GraceGcStats::Previous::kFinished;
        if (!finish(record, &found, err)) return false;
      }
    }
    if (!recorded || found.previous == GraceGcStats::Previous::kFinished) {
      found.looked = true;
      if (!setAsideGarbage(&found, err)) return false;
    }
    *stats = found;
    return true;
  }

 private:
  // The store's time (from this run's lock), other locks, and the record.
  bool readState(Record* record, int64_t* recordTime, bool* recorded, std::string* err) {
    std::vector<ObjectEntry> state;
    if (!store_.list(kStatePrefix, &state, err)) return false;
    now_ = -1;
    for (const ObjectEntry& entry : state) {
      if (entry.key == lockKey_) now_ = entry.modified;
    }
    if (now_ < 0) {
      setError(err, "the store's listing gives no time for " + lockKey_ +
                        ": without the store's clock no age can be told");
      return false;
    }
    std::vector<std::string> stale;
    for (const ObjectEntry& entry : state) {
      if (entry.key.compare(0, kLockPrefix.size(), kLockPrefix) != 0 || entry.key == lockKey_)
        continue;
      // A lock of unknown age counts as a fresh one.
      if (entry.modified >= 0 && now_ - entry.modified >= kGcLockSeconds) {
        stale.push_back(entry.key);
        continue;
      }
      setError(err, "another collection holds the lock " + entry.key + " (" +
                        (entry.modified < 0 ? std::string("of unknown age")
                                            : std::to_string(now_ - entry.modified) + " s old") +
                        "; a lock counts for " + std::to_string(kGcLockSeconds) +
                        " s); try again once it has finished");
      return false;
    }
    for (const ObjectEntry& entry : state) {
      if (entry.key != kRecordKey) continue;
      std::string text;
      if (!store_.get(kRecordKey, &text, err) || !parseRecord(text, record, err)) return false;
      *recordTime = entry.modified;
      *recorded = true;
    }
    // Left by runs that died long ago: they hold nothing any more.
    for (const std::string& key : stale) {
      if (options_.apply && !store_.remove(key, err)) return false;
    }
    return true;
  }

  bool named(const RecordedObject& object) const { return referenced_.count(object.key) != 0; }

  // Set aside at least the grace period ago: what a manifest names now goes
  // back, the rest goes for good, and the record with it.
  bool finish(const Record& record, GraceGcStats* found, std::string* err) {
    std::vector<Action> actions;
    for (const RecordedObject& object : record.objects)
      actions.push_back({named(object) ? GcStep::kPutBack : GcStep::kDeleted, &object});
    if (!carryOut(actions, found, err)) return false;
    return !options_.apply || store_.remove(kRecordKey, err);
  }

  // A run cut short while setting aside: every object goes where it belongs
  // now, and the grace period starts again for those set aside.
  bool resume(const Record& record, GraceGcStats* found, std::string* err) {
    std::vector<Action> actions;
    Record resumed{kSetAsideState, now_, {}};
    for (const RecordedObject& object : record.objects) {
      actions.push_back({named(object) ? GcStep::kPutBack : GcStep::kSetAside, &object});
      if (!named(object)) resumed.objects.push_back(object);
    }
    if (!carryOut(actions, found, err)) return false;
    if (!options_.apply) return true;
    if (resumed.objects.empty()) return store_.remove(kRecordKey, err);
    return store_.put(kRecordKey, recordText(resumed), err);
  }

  // The chunk objects no manifest names that are older than the grace
  // period, recorded before the first of them moves.
  bool setAsideGarbage(GraceGcStats* found, std::string* err) {
    std::vector<ObjectEntry> chunks;
    if (!store_.list("chunks/", &chunks, err)) return false;
    found->chunkObjects = chunks.size();
    Record record{kMoving, now_, {}};
    for (const ObjectEntry& entry : chunks) {
      if (referenced_.count(entry.key)) continue;
      ++found->garbage;
      found->garbageBytes += entry.size;
      // A listing without a time makes nothing look old.
      if (entry.modified >= 0 && now_ - entry.modified > options_.graceSeconds)
        record.objects.push_back({entry.key, entry.size});
    }
    std::vector<Action> actions;
    for (const RecordedObject& object : record.objects)
      actions.push_back({GcStep::kSetAside, &object});
    if (actions.empty()) return true;
    if (options_.apply && !store_.put(kRecordKey, recordText(record), err)) return false;
    if (!carryOut(actions, found, err)) return false;
    record.state = kSetAsideState;
    return !options_.apply || store_.put(kRecordKey, recordText(record), err);
  }

  // Runs the actions on up to jobs workers, reporting each in order once it
  // is done (at once in a dry run, which makes no request). Every action may
  // be repeated: an object already where it should be is no failure.
  bool carryOut(const std::vector<Action>& actions, GraceGcStats* found, std::string* err) {
    std::vector<std::string> errors(actions.size());
    const auto act = [&](size_t i, int) {
      if (!options_.apply) return true;
      const std::string& key = actions[i].object->key;
      bool vanished = false;
      switch (actions[i].step) {
        case GcStep::kPutBack:
          return moveObject(store_, setAsideKey(key), key, &vanished, &errors[i]);
        case GcStep::kDeleted:
          return store_.remove(setAsideKey(key), &errors[i]);
        case GcStep::kSetAside:
          return moveObject(store_, key, setAsideKey(key), &vanished, &errors[i]);
      }
      return false;
    };
    const auto done = [&](size_t i) {
      const Action& action = actions[i];
      const int64_t size = action.object->size;
      switch (action.step) {
        case GcStep::kPutBack:
          ++found->putBack;
          break;
        case GcStep::kDeleted:
          ++found->deleted;
          found->deletedBytes += size;
          break;
        case GcStep::kSetAside:
          ++found->setAside;
          found->setAsideBytes += size;
          break;
      }
      if (options_.report) options_.report(action.step, action.object->key, size, options_.apply);
    };
    const size_t failed = runTasks(actions.size(), options_.apply ? options_.jobs : 1, act, done);
    if (failed == actions.size()) return true;
    setError(err, errors[failed]);
    return false;
  }

  StorageProvider& store_;
  const GraceGcOptions& options_;
  const std::string lockKey_;
  int64_t now_ = -1;
  std::set<std::string> referenced_;
};

}  // namespace

bool collectInTwoPhases(StorageProvider& store, const GraceGcOptions& options, GraceGcStats* stats,
                        std::string* err) {
  unsigned char id[16];
  randombytes_buf(id, sizeof id);
  const std::string lockKey = kLockPrefix + toHex(id, sizeof id);
  if (!store.put(lockKey, "corvane-vorn gc\n", err)) return false;
  Run run(store, options, lockKey);
  GraceGcStats found;
  const bool collected = run.collect(&found, err);
  // The lock goes also after a failure, so the next run need not wait for it.
  std::string unlockError;
  if (!store.remove(lockKey, &unlockError) && collected) {
    setError(err, "cannot remove the lock " + lockKey + ": " + unlockError);
    return false;
  }
  if (collected && stats) *stats = found;
  return collected;
}

}  // namespace vorn
