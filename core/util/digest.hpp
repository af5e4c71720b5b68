#pragma once
// Digests in the forms the rest of the system writes and compares.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn {

// Chunk-id text: 64 lowercase hex characters of the BLAKE3 digest of the bytes.
std::string blake3Hex(const void* bytes, size_t length);
std::string blake3Hex(const std::string& bytes);

// Incremental BLAKE3 for callers that feed data in pieces (same result as blake3Hex).
class Blake3Stream {
 public:
  Blake3Stream();
  void update(const void* bytes, size_t length);
  std::string finalHex() const;

 private:
  alignas(8) unsigned char state_[1920];
};

using Sha256Digest = std::array<unsigned char, 32>;

// Raw HMAC-SHA-256 of message under a key of any length.
Sha256Digest hmacSha256(const void* key, size_t keyLength, const std::string& message);
Sha256Digest hmacSha256(const Sha256Digest& key, const std::string& message);

// Lowercase hex of the SHA-256 of the bytes.
std::string sha256Hex(const std::string& bytes);

}  // namespace vorn
