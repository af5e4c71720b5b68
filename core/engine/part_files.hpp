#pragma once
// Part files as a chunk source: a sync writes each file into "<target>.part"
// and renames it over the target. A part file left by an interrupted run holds
// the first chunks of that file, but the rerun truncates it as soon as it
// starts that file, so it is first moved aside to "<target>.part.old", where
// the local index finds it like any other file, and removed once no later
// file of the sync may read from it.

#include "chunking/manifest.hpp"
#include "engine/sync.hpp"

#include <cstddef>
#include <filesystem>
#include <vector>

namespace vorn {

// The part file a sync writes target's new content into: "<target>.part".
std::filesystem::path partFileOf(const std::filesystem::path& target);

// True when the file name ends in ".part" or ".part.old": such a name that is
// a symbolic link is never indexed or read through.
bool isPartFileName(const std::filesystem::path& path);

class SetAsideParts {
 public:
  // Before the destination is indexed: for each listed file whose
  // "<target>.part" is a regular file (never a link), renames it to
  // "<target>.part.old" unless a regular file there is at least as large.
  // Either name listed by the manifest itself, anything but a regular file
  // under the set-aside name, and a target whose directory leads out of
  // destRoot are left alone. Errors only mean less to reuse.
  SetAsideParts(const std::filesystem::path& destRoot, const std::vector<ManifestFile>& files);

  // Once the index is built: notes, for each set-aside file, the last listed
  // file that may read one of its chunks.
  void plan(const LocalIndex& index);

  // After the target of files[i] is in place: removes the set-aside files
  // that no later file reads.
  void installed(size_t i);

 private:
  const std::vector<ManifestFile>& files_;
  std::vector<std::filesystem::path> aside_;
  std::vector<std::vector<size_t>> dropAfter_;  // per file: set-aside files (by owner) done then
};

}  // namespace vorn
