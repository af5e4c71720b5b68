#include "chunking/chunker.hpp"

#include "util/digest.hpp"
#include "util/huge_pages.hpp"
#include "util/path_text.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vorn {

namespace {

constexpr size_t kReadBlock = 1048576;

struct GearTable {
  uint64_t entries[256];

  GearTable() {
    uint64_t state = 0x0123456789ABCDEFull;
    for (uint64_t& entry : entries) {
      state += 0x9E3779B97F4A7C15ull;
      uint64_t z = state;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      entry = z ^ (z >> 31);
    }
  }
};

// Feeds data[from, to) into h and returns the index after the first byte at
// which (h & mask) == 0, or 0 when there is none (a hit always returns > 0).
inline size_t scanForBoundary(const unsigned char* data, size_t from, size_t to, uint64_t mask,
                              uint64_t* fingerprint, const uint64_t* gear) {
  uint64_t h = *fingerprint;
  for (size_t i = from; i < to; ++i) {
    h = (h << 1) + gear[data[i]];
    if ((h & mask) == 0) {
      *fingerprint = h;
      return i + 1;
    }
  }
  *fingerprint = h;
  return 0;
}

// Closes the stream at scope end.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

ChunkParams defaultChunkParams() { return ChunkParams{}; }

const uint64_t* gearTable() {
  // A function-local static is initialised exactly once, thread-safely.
  static const GearTable table;
  return table.entries;
}

void chunkMasks(uint64_t avg, uint64_t* maskS, uint64_t* maskL) {
  unsigned bits = 0;
  if (avg > 1) {
    bits = 1;
    while (bits < 64 && (uint64_t{1} << bits) < avg) ++bits;
  }
  *maskS = bits + 2 < 64 ? (uint64_t{1} << (bits + 2)) - 1 : ~uint64_t{0};
  *maskL = bits >= 2 ? (uint64_t{1} << (bits - 2)) - 1 : 0;
}

size_t findCutPoint(const unsigned char* data, size_t start, size_t end, const ChunkParams& params,
                    uint64_t maskS, uint64_t maskL) {
  const uint64_t n = end - start;
  if (n <= params.min) return end;
  const uint64_t cap = n < params.max ? n : params.max;
  const uint64_t normal = params.avg < cap ? params.avg : cap;
  const uint64_t* gear = gearTable();
  const unsigned char* chunk = data + start;
  uint64_t h = 0;
  size_t i = static_cast<size_t>(params.min);
  if (i < normal) {
    if (size_t hit = scanForBoundary(chunk, i, static_cast<size_t>(normal), maskS, &h, gear))
      return start + hit;
    i = static_cast<size_t>(normal);
  }
  if (size_t hit = scanForBoundary(chunk, i, static_cast<size_t>(cap), maskL, &h, gear))
    return start + hit;
  return start + static_cast<size_t>(cap);
}

bool chunkFile(const std::string& path, const ChunkParams& params,
               const std::function<void(const Chunk&)>& onChunk, std::string* err) {
  return chunkFile(path, params, onChunk, err, nullptr);
}

bool chunkFile(const std::string& path, const ChunkParams& params,
               const std::function<void(const Chunk&)>& onChunk, std::string* err,
               ChunkBuffer* memory) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(pathFromNative(path).c_str(), "rb"));
  if (!file) {
    if (err) *err = "cannot open " + genericUtf8Path(pathFromNative(path));
    return false;
  }
  // Reads go straight into our buffer; a stdio buffer would only add a copy.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);

  uint64_t masks[2] = {0, 0};
  chunkMasks(params.avg, &masks[0], &masks[1]);
  const uint64_t maskS = masks[0], maskL = masks[1];  // kept in registers in the scan
  const uint64_t* gear = gearTable();

  // The pending bytes live in buffer[head, tail). The buffer holds one
  // maximum chunk plus one read block; it is compacted only when the next
  // block would not fit behind the tail, which keeps the copying small.
  // Bytes are read only when the cut search needs them; the search resumes
  // where it stopped, so the boundaries are exactly those of findCutPoint
  // over the whole file (a position i of a chunk is tested with the strict
  // mask when i < avg and the loose one otherwise, up to max).
  const size_t maxChunk = params.max > 0 ? static_cast<size_t>(params.max) : 1;
  const size_t minChunk = static_cast<size_t>(params.min < maxChunk ? params.min : maxChunk);
  const size_t avgChunk = static_cast<size_t>(params.avg < maxChunk ? params.avg : maxChunk);
  const size_t capacity = maxChunk + kReadBlock;
  ChunkBuffer ownMemory;
  if (!memory) memory = &ownMemory;
  if (memory->capacity < capacity) {
    // Left uninitialised: only the pages a file actually fills become resident.
    memory->bytes.reset();
    memory->bytes.reset(new unsigned char[capacity]);
    memory->capacity = capacity;
    adviseHugePages(memory->bytes.get(), capacity);
  }
  unsigned char* const buffer = memory->bytes.get();
  size_t head = 0, tail = 0;
  bool atEnd = false;

  Chunk chunk;
  uint64_t h = 0;
  size_t scanned = minChunk;  // next position of the current chunk to hash
  for (;;) {
    const unsigned char* data = buffer + head;
    const size_t pending = tail - head;
    const size_t limit = pending < maxChunk ? pending : maxChunk;
    size_t cut = 0;
    if (scanned < limit) {
      const size_t strictEnd = avgChunk < limit ? avgChunk : limit;
      if (scanned < strictEnd) {
        cut = scanForBoundary(data, scanned, strictEnd, maskS, &h, gear);
        scanned = strictEnd;
      }
      if (cut == 0 && scanned < limit) {
        cut = scanForBoundary(data, scanned, limit, maskL, &h, gear);
        scanned = limit;
      }
    }
    if (cut == 0) {
      if (pending >= maxChunk) {
        cut = maxChunk;
      } else if (atEnd) {
        if (pending == 0) break;
        cut = pending;
      } else {
        if (tail + kReadBlock > capacity) {
          std::memmove(buffer, buffer + head, pending);
          head = 0;
          tail = pending;
        }
        const size_t got = std::fread(buffer + tail, 1, kReadBlock, file.get());
        tail += got;
        if (got < kReadBlock) atEnd = true;
        continue;
      }
    }
    chunk.size = cut;
    chunk.id = blake3Hex(data, cut);
    onChunk(chunk);
    chunk.offset += cut;
    head += cut;
    h = 0;
    scanned = minChunk;
  }
  if (std::ferror(file.get())) {
    if (err) *err = "read error on " + genericUtf8Path(pathFromNative(path));
    return false;
  }
  return true;
}

}  // namespace vorn
