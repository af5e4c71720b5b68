#pragma once
// Text form of file paths in manifests and messages.

#include <filesystem>
#include <string>

namespace vorn {

// UTF-8 text of the path with every backslash turned into a forward slash.
std::string genericUtf8Path(const std::filesystem::path& path);

// Path from command-line text (the process's narrow encoding).
std::filesystem::path pathFromNative(const std::string& text);

// Path from UTF-8 text read from a manifest.
std::filesystem::path pathFromUtf8(const std::string& text);

// True when path is root or lies below it, compared component by component;
// both must already be free of "." and ".." parts and links (canonical).
bool isPathWithin(const std::filesystem::path& root, const std::filesystem::path& path);

}  // namespace vorn
