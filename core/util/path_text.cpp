#include "util/path_text.hpp"

#include <algorithm>

namespace vorn {

std::string genericUtf8Path(const std::filesystem::path& path) {
  std::string text = path.u8string();
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::filesystem::path pathFromNative(const std::string& text) {
  return std::filesystem::path(text);
}

std::filesystem::path pathFromUtf8(const std::string& text) {
  return std::filesystem::u8path(text);
}

bool isPathWithin(const std::filesystem::path& root, const std::filesystem::path& path) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

}  // namespace vorn
