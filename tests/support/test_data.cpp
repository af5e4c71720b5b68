#include "support/test_data.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vorn_test {

std::string seededBytes(size_t size, uint64_t seed) {
  std::string out(size, '\0');
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
  size_t i = 0;
  while (i < size) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    size_t n = size - i < 8 ? size - i : 8;
    std::memcpy(&out[i], &state, n);
    i += n;
  }
  return out;
}

void writeTextFile(const std::string& path, const std::string& content) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void writeSeededFile(const std::string& path, size_t size, uint64_t seed) {
  writeTextFile(path, seededBytes(size, seed));
}

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace vorn_test
