#include "engine/chunk_codec.hpp"

#include "chunking/chunker.hpp"
#include "util/digest.hpp"

#include <zstd.h>

#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace vorn {
namespace {

const unsigned char kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

// No chunk is longer than the chunker's maximum, so a frame declaring more is
// not a chunk and must not make us allocate what it claims.
const uint64_t kMaxChunkSize = ChunkParams().max;

bool decompressFrame(const std::string& object, std::string* out) {
  if (object.size() < sizeof kZstdMagic ||
      std::memcmp(object.data(), kZstdMagic, sizeof kZstdMagic) != 0) {
    return false;
  }
  unsigned long long declared = ZSTD_getFrameContentSize(object.data(), object.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR ||
      declared > kMaxChunkSize) {
    return false;
  }
  out->resize(static_cast<size_t>(declared));
  size_t produced = ZSTD_decompress(&(*out)[0], out->size(), object.data(), object.size());
  return !ZSTD_isError(produced) && produced == declared;
}

}  // namespace

std::string compressChunk(const std::string& bytes, int level) {
  std::string frame(ZSTD_compressBound(bytes.size()), '\0');
  size_t written = ZSTD_compress(&frame[0], frame.size(), bytes.data(), bytes.size(), level);
  if (ZSTD_isError(written)) return bytes;
  frame.resize(written);
  return frame;
}

ChunkCompressor::ChunkCompressor(int level) : context_(ZSTD_createCCtx()), level_(level) {}

ChunkCompressor::~ChunkCompressor() { ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(context_)); }

void ChunkCompressor::compress(const std::string& bytes, std::string* out) {
  // Compressing straight into *out keeps one frame-sized buffer per push; a
  // separate scratch buffer would save the zero-fill but cost peak memory.
  out->resize(ZSTD_compressBound(bytes.size()));
  auto* context = static_cast<ZSTD_CCtx*>(context_);
  size_t written =
      context
          ? ZSTD_compressCCtx(context, &(*out)[0], out->size(), bytes.data(), bytes.size(), level_)
          : ZSTD_compress(&(*out)[0], out->size(), bytes.data(), bytes.size(), level_);
  if (ZSTD_isError(written)) {
    out->assign(bytes);
  } else {
    out->resize(written);
  }
}

bool decodeChunk(const std::string& object, const std::string& expectedId, std::string* out,
                 std::string* err) {
  if (decompressFrame(object, out) && blake3Hex(*out) == expectedId) return true;
  // Raw bytes may start with the magic too; the id decides which reading is right.
  if (blake3Hex(object) == expectedId) {
    out->assign(object);
    return true;
  }
  out->clear();
  if (err) *err = "chunk " + expectedId + " failed to decode/verify (corrupt or tampered)";
  return false;
}

bool readFileRange(const std::filesystem::path& file, uint64_t offset, uint64_t size,
                   std::string* out) {
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) return false;
  // Check the range against the file first so an absurd size never allocates.
  struct stat info;
  bool ok = fstat(fileno(in), &info) == 0 && info.st_size >= 0 &&
            offset <= static_cast<uint64_t>(info.st_size) &&
            size <= static_cast<uint64_t>(info.st_size) - offset &&
            fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0;
  if (ok) {
    out->resize(static_cast<size_t>(size));
    ok = size == 0 || std::fread(&(*out)[0], 1, out->size(), in) == out->size();
  }
  std::fclose(in);
  return ok;
}

}  // namespace vorn
