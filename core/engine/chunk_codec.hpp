#pragma once
// The chunk object format: one zstd frame of the chunk's bytes, or the bytes
// themselves when compression does not make them smaller; and local ranges.

#include <cstdint>
#include <filesystem>
#include <string>

namespace vorn {

// Where a chunk's bytes can be read locally.
struct ChunkRef {
  std::filesystem::path file;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// A zstd frame of bytes at level; the input unchanged on a compression error.
std::string compressChunk(const std::string& bytes, int level);

// Level-12 (or any level) compression with one zstd context kept across calls,
// which avoids re-initialising the compressor for every chunk. The frames are
// byte for byte those of compressChunk at the same level.
class ChunkCompressor {
 public:
  explicit ChunkCompressor(int level);
  ~ChunkCompressor();
  ChunkCompressor(const ChunkCompressor&) = delete;
  ChunkCompressor& operator=(const ChunkCompressor&) = delete;

  // Writes compressChunk(bytes, level) into *out, reusing its capacity.
  void compress(const std::string& bytes, std::string* out);

 private:
  void* context_;  // ZSTD_CCtx, kept opaque so callers need no zstd header
  int level_;
};

// Turns a stored object back into the chunk whose id is expectedId, trying the
// zstd reading first and the raw one second; the id decides. Error:
// "chunk " + expectedId + " failed to decode/verify (corrupt or tampered)".
bool decodeChunk(const std::string& object, const std::string& expectedId, std::string* out,
                 std::string* err);

// Reads exactly size bytes at offset into *out. False on any shortfall.
bool readFileRange(const std::filesystem::path& file, uint64_t offset, uint64_t size,
                   std::string* out);

}  // namespace vorn
