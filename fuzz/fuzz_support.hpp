#pragma once
// Shared pieces of the fuzz targets: library start-up, a property check that
// stops the run, a scratch directory per process, and the fixed inputs the
// seed corpora were made with (key material for tests only, never for real data).

#include "util/startup.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// Stops the run with the failed property when cond is false; libFuzzer then
// saves the input as a crash.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// Each target is one source file including this header once: libsodium and
// libcurl start as in the program before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vorn::initLibraries();
  return 0;
}

namespace vorn_fuzz {

// Ed25519 pair the signed manifest seeds were signed with.
inline constexpr const char* kSecretKeyHex =
    "03d8b3930d0f2ee49460cc1bd78c6a8835c0a40a8436e702f1074ab33000b733"
    "90e67747bee1864def65ba769081d7e0dbaafe10a17973077368bdce229e0bf2";
inline constexpr const char* kPublicKeyHex =
    "90e67747bee1864def65ba769081d7e0dbaafe10a17973077368bdce229e0bf2";

// Store key the envelope seeds were sealed with.
inline constexpr const char* kStoreKeyHex =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

// The channel the manifest seeds are stored under.
inline constexpr const char* kChannel = "nightly";

// A fresh directory under $TMPDIR (or /tmp), removed when the process exits
// normally. Aborts when it cannot be made: a target must not run without it.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vorn-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

// The small installation the manifest target verifies against; the manifest
// seeds were built from an identical tree, so some of them verify clean.
inline constexpr const char* kSampleReadme = "corvane sample build\n";
inline void writeSampleTree(const std::filesystem::path& root) {
  writeBytes(root / "readme.txt", kSampleReadme);
  writeBytes(root / "bin/tool", std::string(300, '\x7f') + "ELF-like payload");
  writeBytes(root / "data/empty", "");
}

}  // namespace vorn_fuzz
