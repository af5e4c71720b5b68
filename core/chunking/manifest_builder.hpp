#pragma once
// Turns a directory (or a single file) into a manifest document.

#include <cstdint>
#include <string>

namespace vorn {

struct ManifestStats {
  uint64_t files = 0;
  uint64_t chunks = 0;        // chunk references, repeats included
  uint64_t uniqueChunks = 0;  // distinct chunk ids
  int64_t totalBytes = 0;
  int64_t uniqueBytes = 0;  // each distinct id counted once
  std::string build;        // build id
};

struct BuildOptions {
  // Marks each file with an owner-executable bit ("executable": true). Neither
  // the build id nor any other member changes.
  bool keepMode = false;
  // Records every symbolic link as a link ("links": its path and its target
  // text, never followed, wherever it points) and every directory with
  // nothing recorded below it ("directories"), and implies keepMode. Neither
  // member is written when it would be empty, and the build id and the other
  // members stay as they are.
  bool keepTree = false;
};

// Returns the manifest text, or the empty string on failure (err then holds
// the reason and stats is untouched). Reads only the local file system.
std::string buildManifest(const std::string& path, ManifestStats* stats, std::string* err,
                          const BuildOptions& options = BuildOptions());

}  // namespace vorn
