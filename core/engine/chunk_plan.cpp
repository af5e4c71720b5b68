#include "engine/chunk_plan.hpp"

#include "engine/part_files.hpp"
#include "util/path_text.hpp"

namespace vorn {

namespace fs = std::filesystem;

ChunkPlanner::ChunkPlanner(const std::vector<ManifestFile>& files, const LocalIndex& index,
                           const fs::path& destRoot)
    : files_(files), index_(index) {
  for (size_t j = 0; j < files.size(); ++j) {
    fs::path target = destRoot / pathFromUtf8(files[j].path);
    partOf_.emplace(partFileOf(target), j);
    targetOf_.emplace(std::move(target), j);
    for (const ManifestChunk& chunk : files[j].chunks) ++entriesLeft_[chunk.id];
  }
}

ChunkOrigin ChunkPlanner::next(size_t file, const ManifestChunk& chunk, const ChunkRef** copy) {
  auto left = entriesLeft_.find(chunk.id);
  laterEntries_ = 0;
  if (left != entriesLeft_.end() && left->second > 0) laterEntries_ = --left->second;
  if (cached_.count(chunk.id)) return ChunkOrigin::kCache;
  auto ref = index_.find(chunk.id);
  if (ref != index_.end() && ref->second.size == chunk.size &&
      stillThere(file, ref->second, chunk.id)) {
    *copy = &ref->second;
    return ChunkOrigin::kLocal;
  }
  return ChunkOrigin::kDownload;
}

bool ChunkPlanner::downloaded(const ManifestChunk& chunk) {
  // Nothing is evicted: a chunk over the budget is simply not kept, and a
  // later, smaller one may still fit. A chunk that no later entry asks for
  // takes its share of the budget all the same, so what is downloaded does not
  // depend on it, but its bytes are not held.
  if (cacheBytes_ + chunk.size > kDownloadCacheBudget) return false;
  cacheBytes_ += chunk.size;
  if (laterEntries_ == 0) return false;
  cached_.insert(chunk.id);
  return true;
}

// Files are installed in manifest order: while files[file] is written, its own
// part file has been truncated and every earlier file replaced.
bool ChunkPlanner::stillThere(size_t file, const ChunkRef& copy, const std::string& id) {
  auto part = partOf_.find(copy.file);
  if (part != partOf_.end() && part->second <= file) return false;
  auto target = targetOf_.find(copy.file);
  if (target != targetOf_.end() && target->second < file) {
    return newFileHolds(target->second, copy.offset, id);
  }
  return true;
}

bool ChunkPlanner::newFileHolds(size_t file, uint64_t offset, const std::string& id) {
  auto layout = newLayout_.find(file);
  if (layout == newLayout_.end()) {
    layout = newLayout_.emplace(file, std::map<uint64_t, const ManifestChunk*>()).first;
    uint64_t at = 0;
    for (const ManifestChunk& chunk : files_[file].chunks) {
      layout->second.emplace(at, &chunk);
      at += chunk.size;
    }
  }
  auto found = layout->second.find(offset);
  return found != layout->second.end() && found->second->id == id;
}

std::vector<const ManifestChunk*> forecastDownloads(const std::vector<ManifestFile>& files,
                                                    const LocalIndex& index,
                                                    const fs::path& destRoot) {
  ChunkPlanner planner(files, index, destRoot);
  std::vector<const ManifestChunk*> plan;
  for (size_t i = 0; i < files.size(); ++i) {
    for (const ManifestChunk& chunk : files[i].chunks) {
      const ChunkRef* copy = nullptr;
      if (planner.next(i, chunk, &copy) != ChunkOrigin::kDownload) continue;
      plan.push_back(&chunk);
      planner.downloaded(chunk);
    }
  }
  return plan;
}

}  // namespace vorn
