#include "engine/push.hpp"

#include "chunking/manifest.hpp"
#include "chunking/manifest_builder.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/signing.hpp"
#include "util/digest.hpp"
#include "util/error_text.hpp"
#include "util/path_text.hpp"

#include <json/value.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <vector>

namespace vorn {
namespace {

constexpr int kCompressionLevel = 12;

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

// True when the channel already holds a manifest of this build (and, given
// modesOf, with its executable members). Any trouble reading the stored
// manifest only means "not the same build".
bool storedBuildMatches(StorageProvider& store, const std::string& key, const std::string& newBuild,
                        const Json::Value* modesOf) {
  std::string text;
  Json::Value stored;
  if (!store.get(key, &text, nullptr) || !parseJson(text, &stored, nullptr)) return false;
  if (newBuild.empty() || buildIdOf(stored) != newBuild) return false;
  return !modesOf || sameExecutableMembers(stored, *modesOf);
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

}  // namespace

bool pushChannel(StorageProvider& store, const std::string& source, const std::string& channel,
                 bool force, const std::string& signKey, PushStats* result, std::string* err,
                 const PushOptions& options) {
  ManifestStats built;
  BuildOptions buildOptions;
  buildOptions.keepMode = options.keepMode;
  const std::string builderText = buildManifest(source, &built, err, buildOptions);
  if (builderText.empty()) return false;
  Json::Value doc;
  if (!parseJson(builderText, &doc, err)) return false;
  if (!doc.isObject()) {
    setError(err, "manifest parse error: not a JSON object");
    return false;
  }
  doc["channel"] = channel;
  doc["created"] = static_cast<Json::Int64>(std::time(nullptr));
  const std::string manifestText = writeJsonText(doc);
  const std::string build = buildIdOf(doc);

  const std::string manifestKey = channelManifestKey(channel);
  std::string message;
  HeadResult current = store.head(manifestKey, &message);
  if (current.status == 0) {
    setError(err, "cannot reach store: " + message);
    return false;
  }
  const bool unchanged = current.exists && storedBuildMatches(store, manifestKey, build,
                                                              options.keepMode ? &doc : nullptr);
  if (current.exists && !unchanged && !force) {
    setError(err, "channel '" + channel + "' already published (use --force to overwrite)");
    return false;
  }

  std::map<std::string, ChunkRef> table;
  if (!collectUniqueChunks(doc, source, &table, err)) return false;

  PushStats stats;
  stats.uniqueChunks = table.size();
  stats.build = build;
  stats.unchanged = unchanged;
  // One chunk and its frame in memory at a time, in buffers reused throughout.
  ChunkCompressor compressor(kCompressionLevel);
  std::string bytes;
  std::string frame;
  for (const auto& [id, ref] : table) {
    const std::string key = store.chunkKey(id);
    HeadResult probe = store.head(key, &message);
    if (probe.status == 0) {
      setError(err, "HEAD " + key + " failed: " + message);
      return false;
    }
    if (probe.exists) {
      ++stats.alreadyPresent;
      continue;
    }
    if (!readFileRange(ref.file, ref.offset, ref.size, &bytes)) {
      setError(err, "cannot read chunk bytes from " + genericUtf8Path(ref.file));
      return false;
    }
    if (blake3Hex(bytes) != id) {
      setError(err, "chunk hash mismatch reading " + genericUtf8Path(ref.file) +
                        " (file changed under us?)");
      return false;
    }
    compressor.compress(bytes, &frame);
    const std::string& body = frame.size() < bytes.size() ? frame : bytes;
    if (!store.put(key, body, err)) return false;
    ++stats.uploaded;
    stats.bytesIn += static_cast<int64_t>(bytes.size());
    stats.bytesStored += static_cast<int64_t>(body.size());
  }

  if (!unchanged) {
    if (!store.put(manifestKey, manifestText, err)) return false;
    if (!signKey.empty()) {
      std::string signature;
      if (!signManifest(signKey, manifestText, &signature, err)) return false;
      if (!store.put(manifestKey + ".sig", signature, err)) return false;
    }
  }
  if (result) *result = std::move(stats);
  return true;
}

}  // namespace vorn
