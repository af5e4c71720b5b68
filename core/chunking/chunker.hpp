#pragma once
// Content-defined chunking: FastCDC with a 64-bit gear hash and normalised
// chunking, so an edit changes only the chunks around it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vorn {

struct ChunkParams {
  uint64_t min = 1048576;   // no boundary in the first min bytes of a chunk
  uint64_t avg = 4194304;   // target size: strict mask before it, loose mask after
  uint64_t max = 16777216;  // hard upper bound
};

struct Chunk {
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string id;  // 64 lowercase hex characters of the BLAKE3 digest
};

ChunkParams defaultChunkParams();

// The process-wide gear table (SplitMix64 seeded with 0x0123456789ABCDEF),
// built once on first use.
const uint64_t* gearTable();

// Strict and loose masks derived from avg (0xFFFFFF and 0xFFFFF for 4 MiB).
void chunkMasks(uint64_t avg, uint64_t* maskS, uint64_t* maskL);

// End index (exclusive) of the chunk that starts at start, with end marking
// the end of the available bytes. Pure function of its inputs and the table.
size_t findCutPoint(const unsigned char* data, size_t start, size_t end, const ChunkParams& params,
                    uint64_t maskS, uint64_t maskL);

// Streams the file in 1 MiB blocks and reports each chunk, in file order, to
// onChunk (which must be set); the cuts are those of findCutPoint over the
// whole file held in memory, for parameters with min <= max (the defaults).
// Holds at most max + 1 MiB bytes. Errors: "cannot open " / "read error on " + path text.
bool chunkFile(const std::string& path, const ChunkParams& params,
               const std::function<void(const Chunk&)>& onChunk, std::string* err);

// Pending-buffer memory that chunkFile may keep between calls, for callers
// that cut many files in a row: one allocation then serves every file.
struct ChunkBuffer {
  std::unique_ptr<unsigned char[]> bytes;
  size_t capacity = 0;
};

// chunkFile with caller-owned buffer memory (null: a buffer of its own),
// grown as needed and left allocated for the next call. The cuts are the
// same as without it.
bool chunkFile(const std::string& path, const ChunkParams& params,
               const std::function<void(const Chunk&)>& onChunk, std::string* err,
               ChunkBuffer* buffer);

}  // namespace vorn
