#include "util/digest.hpp"

#include "util/hex.hpp"

#include <blake3.h>
#include <sodium.h>

#include <new>

namespace vorn {

static_assert(sizeof(blake3_hasher) <= 1920, "Blake3Stream state buffer too small");

std::string blake3Hex(const void* bytes, size_t length) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes, length);
  uint8_t digest[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, digest, BLAKE3_OUT_LEN);
  return toHex(digest, sizeof digest);
}

std::string blake3Hex(const std::string& bytes) { return blake3Hex(bytes.data(), bytes.size()); }

Blake3Stream::Blake3Stream() { blake3_hasher_init(new (state_) blake3_hasher); }

void Blake3Stream::update(const void* bytes, size_t length) {
  blake3_hasher_update(reinterpret_cast<blake3_hasher*>(state_), bytes, length);
}

std::string Blake3Stream::finalHex() const {
  uint8_t digest[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(reinterpret_cast<const blake3_hasher*>(state_), digest, BLAKE3_OUT_LEN);
  return toHex(digest, sizeof digest);
}

Sha256Digest hmacSha256(const void* key, size_t keyLength, const std::string& message) {
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, static_cast<const unsigned char*>(key), keyLength);
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()),
                                message.size());
  Sha256Digest out{};
  crypto_auth_hmacsha256_final(&state, out.data());
  sodium_memzero(&state, sizeof state);
  return out;
}

Sha256Digest hmacSha256(const Sha256Digest& key, const std::string& message) {
  return hmacSha256(key.data(), key.size(), message);
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return toHex(digest, sizeof digest);
}

}  // namespace vorn
