#include "engine/chunk_codec.hpp"

#include "chunking/chunker.hpp"
#include "util/digest.hpp"
#include "util/huge_pages.hpp"

// For ZSTD_createCCtx_advanced: only where the compressor's memory comes from.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {
namespace {

const unsigned char kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

// No chunk is longer than the chunker's maximum, so a frame declaring more is
// not a chunk and must not make us allocate what it claims.
const uint64_t kMaxChunkSize = ChunkParams().max;

// Gives *out room for size bytes, a new buffer on huge pages.
void reserveForFill(std::string* out, size_t size) {
  if (out->capacity() >= size) return;
  out->reserve(size);
  adviseHugePages(out->data(), out->capacity());
}

// The compressor's tables are cleared for every frame and regrown when a
// larger chunk needs larger ones; on huge pages that costs no fault storm.
void* allocateForZstd(void*, size_t size) {
  void* memory = std::malloc(size);
  if (memory) adviseHugePages(memory, size);
  return memory;
}

void freeForZstd(void*, void* memory) { std::free(memory); }

// Closes the descriptor at scope end.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

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
  reserveForFill(out, static_cast<size_t>(declared));
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

ChunkCompressor::ChunkCompressor(int level)
    : context_(ZSTD_createCCtx_advanced(ZSTD_customMem{allocateForZstd, freeForZstd, nullptr})),
      level_(level) {}

ChunkCompressor::~ChunkCompressor() { ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(context_)); }

void ChunkCompressor::compress(const std::string& bytes, std::string* out) {
  // Compressing straight into *out keeps one frame-sized buffer per push; a
  // separate scratch buffer would save the zero-fill but cost peak memory.
  reserveForFill(out, ZSTD_compressBound(bytes.size()));
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
  Descriptor in{open(file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) return false;
  // Check the range against the file first so an absurd size never allocates.
  struct stat info;
  if (fstat(in.fd, &info) != 0 || info.st_size < 0 ||
      offset > static_cast<uint64_t>(info.st_size) ||
      size > static_cast<uint64_t>(info.st_size) - offset) {
    return false;
  }
  // Read with pread straight into *out: no stdio buffer, no seek.
  reserveForFill(out, static_cast<size_t>(size));
  out->resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(in.fd, &(*out)[done], static_cast<size_t>(size) - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace vorn
