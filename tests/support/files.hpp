#pragma once
// Files for tests: a fresh directory per test and deterministic content from a
// seed, so nothing large lives in the repository.

#include <cstdint>
#include <filesystem>
#include <string>

namespace vorn_test {

// A fresh directory, removed with everything in it afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string operator/(const std::string& relative) const { return (path_ / relative).string(); }

 private:
  std::filesystem::path path_;
};

// size pseudo-random bytes; the same seed gives the same bytes.
std::string seededBytes(size_t size, uint64_t seed);
// Text-like bytes: they compress well but cut like any other content.
std::string compressibleBytes(size_t size, uint64_t seed);

// Writes the content to path, creating parent directories.
void writeTextFile(const std::string& path, const std::string& content);
void writeSeededFile(const std::string& path, size_t size, uint64_t seed);
// The whole file, or "" when it cannot be read.
std::string slurp(const std::string& path);

}  // namespace vorn_test
