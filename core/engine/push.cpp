#include "engine/push.hpp"

#include "chunking/manifest.hpp"
#include "chunking/manifest_builder.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/set_aside.hpp"
#include "engine/signing.hpp"
#include "util/digest.hpp"
#include "util/error_text.hpp"
#include "util/path_text.hpp"
#include "util/task_pool.hpp"

#include <json/value.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn {
namespace {

std::string buildIdOf(const Json::Value& doc) {
  if (!doc.isObject()) return std::string();
  const Json::Value& build = doc["build"];
  return build.isString() ? build.asString() : std::string();
}

// True when both list the same files with the same executable members; the
// build id leaves them out.
bool sameExecutableMembers(const Json::Value& a, const Json::Value& b) {
  std::vector<ManifestFile> left, right;
  if (!readManifestFiles(a, &left, nullptr) || !readManifestFiles(b, &right, nullptr)) return false;
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    if (left[i].path != right[i].path ||
        left[i].executable.value_or(false) != right[i].executable.value_or(false)) {
      return false;
    }
  }
  return true;
}

// True when both have the same "links" and "directories" members (or neither
// has them); the build id leaves them out.
bool sameTreeMembers(const Json::Value& a, const Json::Value& b) {
  for (const char* member : {kLinksMember, kDirectoriesMember}) {
    if (a[member] != b[member]) return false;
  }
  return true;
}

// What else than the build id must match for a stored build to be this one.
struct SameBuild {
  const Json::Value* modesOf = nullptr;  // the executable members of this manifest
  const Json::Value* treeOf = nullptr;   // its links and directories
};

// True when the channel already holds a manifest of this build (and with the
// members that same names). Any trouble reading the stored manifest only
// means "not the same build".
bool storedBuildMatches(StorageProvider& store, const std::string& key, const std::string& newBuild,
                        const SameBuild& same) {
  std::string text;
  Json::Value stored;
  if (!store.get(key, &text, nullptr) || !parseJson(text, &stored, nullptr)) return false;
  if (newBuild.empty() || buildIdOf(stored) != newBuild) return false;
  return (!same.modesOf || sameExecutableMembers(stored, *same.modesOf)) &&
         (!same.treeOf || sameTreeMembers(stored, *same.treeOf));
}

// First occurrence of each id wins; the map's order is the upload order.
bool collectUniqueChunks(const Json::Value& doc, const std::string& source,
                         std::map<std::string, ChunkRef>* table, std::string* err) {
  std::vector<ManifestFile> files;
  if (!readManifestFiles(doc, &files, err)) return false;
  const std::filesystem::path root = pathFromNative(source);
  std::error_code ec;
  const bool fromDirectory = std::filesystem::is_directory(root, ec);
  for (const ManifestFile& entry : files) {
    std::filesystem::path file = root;
    if (fromDirectory) {
      if (!isSafeRelativePath(entry.path)) {
        setError(err, "unsafe path in manifest: '" + entry.path + "'");
        return false;
      }
      file = root / pathFromUtf8(entry.path);
    }
    uint64_t offset = 0;
    for (const ManifestChunk& chunk : entry.chunks) {
      table->emplace(chunk.id, ChunkRef{file, offset, chunk.size});
      offset += chunk.size;
    }
  }
  return true;
}

// Probes a chunk's object. An error answer only means "not there"; false
// (err set) only when no answer came at all.
bool probeChunk(StorageProvider& store, const std::string& key, bool* exists, std::string* err) {
  std::string message;
  const HeadResult probe = store.head(key, &message);
  if (probe.status == 0) {
    setError(err, "HEAD " + key + " failed: " + message);
    return false;
  }
  *exists = probe.exists;
  return true;
}

// Reads a chunk the store lacks back from its file, checks it against its
// id and compresses it into *frame. Both buffers are the caller's, reused from
// chunk to chunk.
bool readAndCompress(const std::string& id, const ChunkRef& ref, ChunkCompressor& compressor,
                     std::string* bytes, std::string* frame, std::string* err) {
  if (!readFileRange(ref.file, ref.offset, ref.size, bytes)) {
    setError(err, "cannot read chunk bytes from " + genericUtf8Path(ref.file));
    return false;
  }
  if (blake3Hex(*bytes) != id) {
    setError(err, "chunk hash mismatch reading " + genericUtf8Path(ref.file) +
                      " (file changed under us?)");
    return false;
  }
  compressor.compress(*bytes, frame);
  return true;
}

// Where chunks are read and compressed: a context at the push's level (about
// 48 MiB at 12, at most some 80 MiB at 19) and a chunk-sized buffer each, no
// more of them than jobs and cores, since compression cannot use more.
class StationPool {
 public:
  struct Station {
    explicit Station(int level) : compressor(level) {}
    ChunkCompressor compressor;
    std::string bytes;
  };

  StationPool(size_t count, int level) {
    for (size_t i = 0; i < count; ++i) idle_.push_back(std::make_unique<Station>(level));
  }
  std::unique_ptr<Station> acquire() {
    std::unique_lock<std::mutex> lock(lock_);
    returned_.wait(lock, [this] { return !idle_.empty(); });
    std::unique_ptr<Station> station = std::move(idle_.back());
    idle_.pop_back();
    return station;
  }
  void release(std::unique_ptr<Station> station) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      idle_.push_back(std::move(station));
    }
    returned_.notify_one();
  }

 private:
  std::mutex lock_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Station>> idle_;
};

// One task per unique chunk, in ascending id order: probe its object and, when
// the store lacks it (and it cannot be put back from where a collection set
// it aside), read it back, compress it at a station and store it.
// With one job that is the whole push, one request after the other; with more,
// a worker holds one object and a station one chunk, so memory stays near
// jobs + cores chunks (and a compression context per core) whatever the
// build's size. The first failure (in id order) is the one reported.
bool uploadMissing(StorageProvider& store, const std::map<std::string, ChunkRef>& table, int jobs,
                   bool putBackSetAside, int level, PushStats* stats, std::string* err) {
  std::vector<const std::pair<const std::string, ChunkRef>*> entries;
  entries.reserve(table.size());
  for (const auto& entry : table) entries.push_back(&entry);

  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  StationPool stations(std::min(static_cast<size_t>(std::max(jobs, 1)), cores), level);
  struct Worker {
    std::string body;  // the object being stored
    size_t present = 0;
    size_t uploaded = 0;
    int64_t bytesIn = 0;
    int64_t bytesStored = 0;
  };
  std::vector<Worker> workers(static_cast<size_t>(std::max(jobs, 1)));
  std::vector<std::string> errors(entries.size());
  const size_t failed = runTasks(entries.size(), jobs, [&](size_t i, int w) {
    const std::string& id = entries[i]->first;
    const std::string key = store.chunkKey(id);
    Worker& worker = workers[static_cast<size_t>(w)];
    bool exists = false;
    if (!probeChunk(store, key, &exists, &errors[i])) return false;
    if (!exists && putBackSetAside) {
      bool vanished = false;
      if (!moveObject(store, setAsideKey(key), key, &vanished, &errors[i])) return false;
      exists = !vanished;
    }
    if (exists) {
      ++worker.present;
      return true;
    }
    std::unique_ptr<StationPool::Station> station = stations.acquire();
    const bool ready = readAndCompress(id, entries[i]->second, station->compressor, &station->bytes,
                                       &worker.body, &errors[i]);
    const int64_t rawSize = static_cast<int64_t>(station->bytes.size());
    // The raw bytes go out when compression did not make them smaller; the
    // swap frees the station for the next chunk while this one is stored.
    if (ready && worker.body.size() >= station->bytes.size()) worker.body.swap(station->bytes);
    stations.release(std::move(station));
    if (!ready || !store.put(key, worker.body, &errors[i])) return false;
    ++worker.uploaded;
    worker.bytesIn += rawSize;
    worker.bytesStored += static_cast<int64_t>(worker.body.size());
    return true;
  });
  if (failed < entries.size()) {
    setError(err, errors[failed]);
    return false;
  }
  for (const Worker& worker : workers) {
    stats->alreadyPresent += worker.present;
    stats->uploaded += worker.uploaded;
    stats->bytesIn += worker.bytesIn;
    stats->bytesStored += worker.bytesStored;
  }
  return true;
}

}  // namespace

bool pushChannel(StorageProvider& store, const PushRequest& request, PushStats* result,
                 std::string* err) {
  const std::string& channel = request.channel;
  ManifestStats built;
  BuildOptions buildOptions;
  buildOptions.keepMode = request.keepMode;
  buildOptions.keepTree = request.keepTree;
  const std::string builderText = buildManifest(request.source, &built, err, buildOptions);
  if (builderText.empty()) return false;
  Json::Value doc;
  if (!parseJson(builderText, &doc, err)) return false;
  if (!doc.isObject()) {
    setError(err, "manifest parse error: not a JSON object");
    return false;
  }
  doc["channel"] = channel;
  const int64_t created = static_cast<int64_t>(std::time(nullptr));
  doc["created"] = static_cast<Json::Int64>(created);
  const int64_t expires = request.expiresIn > 0 ? created + request.expiresIn : 0;
  if (expires != 0) doc["expires"] = static_cast<Json::Int64>(expires);
  const std::string manifestText = writeJsonText(doc);
  const std::string build = buildIdOf(doc);

  const std::string manifestKey = channelManifestKey(channel);
  std::string message;
  HeadResult current = store.head(manifestKey, &message);
  if (current.status == 0) {
    setError(err, "cannot reach store: " + message);
    return false;
  }
  // Without retries an error answer reads as "not published", as it always
  // has; with them, an answer that stayed an error is no answer to trust.
  if (request.transfer.retries > 0 && (current.status >= 500 || current.status == 429)) {
    setError(err, "cannot reach store: HEAD " + manifestKey + " -> HTTP " +
                      std::to_string(current.status));
    return false;
  }
  SameBuild same;
  if (request.keepMode || request.keepTree) same.modesOf = &doc;
  if (request.keepTree) same.treeOf = &doc;
  const bool sameBuild = current.exists && storedBuildMatches(store, manifestKey, build, same);
  // With an expiry the same build is published again, with its new times.
  const bool renewed = sameBuild && expires != 0;
  const bool unchanged = sameBuild && !renewed;
  if (current.exists && !sameBuild && !request.force) {
    setError(err, "channel '" + channel + "' already published (use --force to overwrite)");
    return false;
  }

  std::map<std::string, ChunkRef> table;
  if (!collectUniqueChunks(doc, request.source, &table, err)) return false;

  PushStats stats;
  stats.uniqueChunks = table.size();
  stats.build = build;
  stats.unchanged = unchanged;
  stats.renewed = renewed;
  stats.expires = expires;
  if (!uploadMissing(store, table, request.transfer.jobs, request.putBackSetAside, request.level,
                     &stats, err))
    return false;

  if (!unchanged) {
    if (!store.put(manifestKey, manifestText, err)) return false;
    if (!request.signKey.empty()) {
      std::string signature;
      if (!signManifest(request.signKey, manifestText, &signature, err)) return false;
      if (!store.put(manifestKey + ".sig", signature, err)) return false;
    }
  }
  if (result) *result = std::move(stats);
  return true;
}

}  // namespace vorn
