#pragma once
// Reading the manifest document. Manifests come from outside (the store, a
// URL, a file), so every member is type-checked and every path checked before
// anyone acts on it; a wrong type is an error, never a crash.

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

struct ManifestChunk {
  std::string id;     // "h": expected to be a chunk id
  uint64_t size = 0;  // "n"
};

// File-entry member that push --keep-mode writes, as true, on each file with
// an owner-executable bit; readers that do not know it ignore it.
extern const char* const kExecutableMember;  // "executable"

struct ManifestFile {
  std::string path;   // "path": UTF-8 text with "/" separators
  uint64_t size = 0;  // "size"
  std::vector<ManifestChunk> chunks;
  std::optional<bool> executable;  // "executable", when the entry has it
};

// Reads "files" into *out (replacing its content). Fails with a message naming
// the offending entry when "files" is not an array, an entry is not an object,
// "path" is not a string, "size" or "n" is not an unsigned integer, "chunks" is
// not an array, "h" is not a string, "executable" is there but not a boolean,
// or a file's "n" values do not add up to its "size". A document without
// "files" reads as no files.
bool readManifestFiles(const Json::Value& doc, std::vector<ManifestFile>* out, std::string* err);

// Root members that push --keep-tree writes when the build has such entries:
// "links", an array of {"path", "target"} (a symbolic link and its target text
// as the file system holds it), and "directories", an array of {"path"} (a
// directory with nothing recorded below it). Readers that do not know them
// install the regular files alone.
extern const char* const kLinksMember;        // "links"
extern const char* const kDirectoriesMember;  // "directories"

// Longest link target text a manifest may carry, in bytes (PATH_MAX on Linux).
constexpr size_t kMaxLinkTarget = 4096;

struct ManifestLink {
  std::string path;    // "path": UTF-8 text with "/" separators
  std::string target;  // "target": used exactly as written, never resolved here
};

struct ManifestTree {
  std::vector<ManifestLink> links;
  std::vector<std::string> directories;  // paths
};

// Reads "links" and "directories" into *out (replacing its content); absent
// members read as empty. Fails with a message naming the offending entry when
// a member is not an array, an entry is not an object, "path" or "target" is
// not a string, or a target is empty, holds a NUL or is longer than
// kMaxLinkTarget bytes. Paths are not checked here (see isSafeRelativePath).
bool readManifestTree(const Json::Value& doc, ManifestTree* out, std::string* err);

// True when any entry has the "executable" member: only then do the files
// without it stand for files without executable bits.
bool carriesExecutable(const std::vector<ManifestFile>& files);

// True when path is a relative path that stays inside the directory it is
// joined to: not empty, not absolute, no drive prefix ("C:"), no empty, "." or
// ".." component, no backslash and no NUL.
bool isSafeRelativePath(const std::string& path);

// True when id is a chunk id: 64 lowercase hex characters.
bool isChunkId(const std::string& id);

// The text of a document in the manifest's stored form: the JSON writer with
// two-space indentation, everything else at its defaults.
std::string writeJsonText(const Json::Value& doc);

}  // namespace vorn
