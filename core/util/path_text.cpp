#include "util/path_text.hpp"

#include <algorithm>

namespace vorn {

std::string genericUtf8Path(const std::filesystem::path& path) {
  std::string text = path.u8string();
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::filesystem::path pathFromNative(const std::string& text) { return std::filesystem::path(text); }

std::filesystem::path pathFromUtf8(const std::string& text) { return std::filesystem::u8path(text); }

}  // namespace vorn
