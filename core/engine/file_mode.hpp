#pragma once
// Executable bits of installed files, for manifests that carry the
// "executable" member. POSIX permissions only.

#include <filesystem>
#include <string>

namespace vorn {

// With executable, adds x wherever r is set (0644 becomes 0755); without it,
// clears every x. Fails with "cannot set the mode of " + path.
bool setExecutableBits(const std::filesystem::path& path, bool executable, std::string* err);

// True when the owner-executable bit of what path names (links followed) is
// set; false also when its status cannot be read.
bool ownerExecutable(const std::filesystem::path& path);

}  // namespace vorn
