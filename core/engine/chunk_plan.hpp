#pragma once
// Where each chunk entry of a sync comes from, decided in manifest order by one
// set of rules: the download cache first, then a local copy that is still
// there, else a download. The sync follows these decisions as it writes, and
// its download forecast (what to fetch ahead) runs the same rules beforehand,
// so both agree for every number of jobs.

#include "chunking/manifest.hpp"
#include "engine/sync.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vorn {

// Downloaded chunks kept for reuse within one sync, at most this many bytes.
constexpr uint64_t kDownloadCacheBudget = 268435456;

enum class ChunkOrigin { kCache, kLocal, kDownload };

class ChunkPlanner {
 public:
  // files: the manifest's, installed in order under destRoot; index: local
  // copies of chunks. A copy inside a file that the sync has already replaced
  // is gone, unless the new file holds the same chunk at the same place.
  ChunkPlanner(const std::vector<ManifestFile>& files, const LocalIndex& index,
               const std::filesystem::path& destRoot);

  // Where the next entry comes from: a chunk of files[file], asked for in
  // manifest order, each entry exactly once. For kLocal, *copy is where to read
  // it (a read that fails or does not match means a download after all).
  ChunkOrigin next(size_t file, const ManifestChunk& chunk, const ChunkRef** copy);

  // The entry just asked for is downloaded. It takes its share of the cache
  // budget when it fits; true when its bytes are to be kept because a later
  // entry asks for the same chunk (next then answers kCache for it).
  bool downloaded(const ManifestChunk& chunk);

 private:
  bool stillThere(size_t file, const ChunkRef& copy, const std::string& id);
  bool newFileHolds(size_t file, uint64_t offset, const std::string& id);

  const std::vector<ManifestFile>& files_;
  const LocalIndex& index_;
  std::map<std::filesystem::path, size_t> targetOf_;  // path -> number of the file written there
  std::map<std::filesystem::path, size_t> partOf_;    // part file path -> number of its file
  std::map<size_t, std::map<uint64_t, const ManifestChunk*>> newLayout_;  // built when asked
  std::map<std::string, uint64_t> entriesLeft_;  // entries of each id not yet asked for
  uint64_t laterEntries_ = 0;                    // of the id just asked for
  std::set<std::string> cached_;
  uint64_t cacheBytes_ = 0;
};

// The downloads a sync will make, in order, as far as they can be foreseen: a
// local file that changed since it was indexed is not. The sync itself still
// decides every entry as it goes.
std::vector<const ManifestChunk*> forecastDownloads(const std::vector<ManifestFile>& files,
                                                    const LocalIndex& index,
                                                    const std::filesystem::path& destRoot);

}  // namespace vorn
