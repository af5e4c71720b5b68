#pragma once
// Deterministic test data from a seed: nothing large lives in the repository.

#include <cstdint>
#include <string>

namespace vorn_test {

// size pseudo-random bytes; the same seed gives the same bytes.
std::string seededBytes(size_t size, uint64_t seed);

// Writes content to path, creating parent directories.
void writeTextFile(const std::string& path, const std::string& content);

// Writes seededBytes(size, seed) to path, creating parent directories.
void writeSeededFile(const std::string& path, size_t size, uint64_t seed);

// The whole file, or "" when it cannot be read.
std::string slurp(const std::string& path);

}  // namespace vorn_test
