// The content-defined chunker: gear table, masks, cut points and the
// streaming file loop.

#include <gtest/gtest.h>

#include "chunking/chunker.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"
#include "util/digest.hpp"

#include <set>
#include <vector>

using vorn::ChunkParams;
using vorn_test::seededBytes;
using vorn_test::TempDir;

namespace {

constexpr size_t kMiB = 1048576;

struct Cut {
  uint64_t offset, size;
  std::string id;
  bool operator==(const Cut& o) const { return offset == o.offset && size == o.size && id == o.id; }
};

const unsigned char* bytesOf(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// findCutPoint with the masks of p.
size_t cutAt(const std::string& bytes, size_t start, size_t end, const ChunkParams& p) {
  uint64_t maskS = 0, maskL = 0;
  vorn::chunkMasks(p.avg, &maskS, &maskL);
  return vorn::findCutPoint(bytesOf(bytes), start, end, p, maskS, maskL);
}

// The chunks of bytes held whole in memory, cut by findCutPoint alone.
std::vector<Cut> cutInMemory(const std::string& bytes, const ChunkParams& p) {
  std::vector<Cut> cuts;
  for (size_t start = 0, end; start < bytes.size(); start = end) {
    end = cutAt(bytes, start, bytes.size(), p);
    cuts.push_back({start, end - start, vorn::blake3Hex(bytesOf(bytes) + start, end - start)});
  }
  return cuts;
}

std::vector<Cut> cutFile(const std::string& path, const ChunkParams& p = ChunkParams{}) {
  std::vector<Cut> cuts;
  const auto add = [&](const vorn::Chunk& c) { cuts.push_back({c.offset, c.size, c.id}); };
  std::string err;
  EXPECT_TRUE(vorn::chunkFile(path, p, add, &err)) << err;
  return cuts;
}

}  // namespace

TEST(ChunkerGear, TableIsSplitMix64SeededWithTheFixedSeed) {
  const uint64_t* gear = vorn::gearTable();
  uint64_t state = 0x0123456789ABCDEFull;
  for (int i = 0; i < 256; ++i) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    ASSERT_EQ(gear[i], z ^ (z >> 31)) << "entry " << i;
  }
  // Values from an independent implementation, to catch a shared mistake.
  EXPECT_EQ(
      (std::vector<uint64_t>{gear[0], gear[1], gear[2], gear[3], gear[255]}),
      (std::vector<uint64_t>{0x157a3807a48faa9dull, 0xd573529b34a1d093ull, 0x2f90b72e996dccbeull,
                             0xa2d419334c4667ecull, 0x293d194eee358ff8ull}));
}

TEST(ChunkerMasks, FollowTheCeilingOfLog2OfAvgAndDefaults) {
  const uint64_t all = ~uint64_t{0}, top = uint64_t{1} << 62;
  // clang-format off
  const struct { uint64_t avg, maskS, maskL; } cases[] = {
      {4194304, 0xFFFFFF, 0xFFFFF}, {4194305, 0x1FFFFFF, 0x1FFFFF}, {0, 0x3, 0x0}, {1, 0x3, 0x0},
      {2, 0x7, 0x0}, {4, 0xF, 0x0}, {5, 0x1F, 0x1}, {top, all, (top >> 2) - 1},
      {(top << 1) + 1, all, top - 1}};
  // clang-format on
  for (const auto& c : cases) {
    uint64_t maskS = 1234, maskL = 5678;
    vorn::chunkMasks(c.avg, &maskS, &maskL);
    EXPECT_EQ(std::make_pair(maskS, maskL), std::make_pair(c.maskS, c.maskL)) << "avg " << c.avg;
  }
  const ChunkParams p = vorn::defaultChunkParams();
  EXPECT_EQ((std::vector<uint64_t>{p.min, p.avg, p.max}),
            (std::vector<uint64_t>{1048576, 4194304, 16777216}));
}

TEST(ChunkerCutPoint, GoldenCutsOfASeededInput) {
  // Computed by an independent implementation of the cut rules; a change here
  // would re-cut every published build.
  auto sizes = [](const std::vector<Cut>& cuts) {
    std::vector<uint64_t> out;
    for (const Cut& c : cuts) out.push_back(c.size);
    return out;
  };
  EXPECT_EQ(sizes(cutInMemory(seededBytes(24 * kMiB + 333, 42), ChunkParams{})),
            (std::vector<uint64_t>{4456309, 2837466, 4823563, 6304238, 6723560, 21021}));
  EXPECT_EQ(sizes(cutInMemory(seededBytes(kMiB, 5), ChunkParams{4096, 16384, 65536})),
            (std::vector<uint64_t>{
                16616, 17863, 17501, 8004,  24989, 19446, 18371, 5520,  42104, 19829, 18703,
                18619, 17861, 21882, 20651, 12713, 35862, 19086, 17400, 16992, 16389, 19534,
                22770, 19885, 20296, 19810, 17073, 30485, 16488, 26189, 17639, 16932, 25051,
                22696, 16639, 18582, 20509, 18179, 15601, 20985, 17518, 11874, 21799, 21742,
                18494, 16745, 9756,  5179,  20254, 22176, 21340, 22340, 20191, 13948, 13476}));
}

TEST(ChunkerCutPoint, MinAndMaxSizesShortRestsAndStartOffsets) {
  const ChunkParams p;
  const std::string bytes = seededBytes(3 * kMiB, 9);
  EXPECT_EQ(cutAt(bytes, 0, 0, p), 0u);
  EXPECT_EQ(cutAt(bytes, 100, 100 + kMiB, p), 100 + kMiB) << "a rest up to min is one chunk";
  const std::string shifted = "xyz" + bytes;
  EXPECT_EQ(cutAt(shifted, 3, shifted.size(), p) - 3, cutAt(bytes, 0, bytes.size(), p))
      << "bytes before the start never influence the cut";
  // On constant input h settles at -g (mod 2^64), whose low bits are zero only
  // when those of g are: no boundary, so the maximum cuts.
  ASSERT_NE(vorn::gearTable()[0] & 0xFFFFF, 0u);
  const std::string zeros(p.max + 5, '\0');
  EXPECT_EQ(cutAt(zeros, 0, zeros.size(), p), p.max);
  EXPECT_EQ(cutAt(zeros, 5, zeros.size(), p), zeros.size());

  const ChunkParams small{4096, 16384, 65536};
  const std::vector<Cut> cuts = cutInMemory(seededBytes(4 * kMiB, 77), small);
  ASSERT_GT(cuts.size(), 50u);
  for (size_t i = 0; i < cuts.size(); ++i) {
    EXPECT_LE(cuts[i].size, small.max);
    if (i + 1 < cuts.size()) {
      EXPECT_GT(cuts[i].size, small.min) << "chunk " << i;
    }
  }
}

TEST(ChunkerFile, StreamingCutsEqualCuttingTheWholeFileInMemory) {
  // Lengths off the 1 MiB read block; runs without boundaries so that maximum
  // cuts meet block edges; many chunks per block with small limits; and zeros
  // with seeded islands across every block edge under 6- and 2-bit masks,
  // where a search that lost its fingerprint at a refill would cut differently.
  const ChunkParams def, small{4096, 16384, 65536}, tiny{1, 16, 4096};
  const std::string mixed =
      seededBytes(3 * kMiB + 4321, 11) + std::string(200000, 'a') + seededBytes(99999, 12);
  std::string islands(24 * kMiB + 100, '\0');
  for (size_t edge = kMiB; edge < islands.size(); edge += kMiB)
    islands.replace(edge - 32, 64, seededBytes(64, edge));
  // clang-format off
  const struct { std::string bytes; ChunkParams p; size_t minCount, maxCount; } cases[] = {
      {"", def, 0, 0}, {seededBytes(4097, 4097), def, 1, 1},
      {std::string(16 * kMiB + 1, '\0'), def, 2, 2}, {seededBytes(24 * kMiB + 333, 42), def, 4, 99},
      {seededBytes(5 * kMiB + 1, 1) + std::string(17 * kMiB + 12345, '\0') + seededBytes(99, 2),
       def, 3, 100},
      {std::string(kMiB - 1, '\0') + seededBytes(2 * kMiB + 1, 3), def, 1, 100},
      {mixed, small, 100, 100000}, {mixed, tiny, 1000, 1000000}, {islands, tiny, 25, 1000000}};
  // clang-format on
  TempDir dir;
  for (size_t i = 0; i < std::size(cases); ++i) {
    vorn_test::writeTextFile(dir / "in", cases[i].bytes);
    const std::vector<Cut> streamed = cutFile(dir / "in", cases[i].p);
    EXPECT_EQ(streamed, cutInMemory(cases[i].bytes, cases[i].p)) << "case " << i;
    EXPECT_GE(streamed.size(), cases[i].minCount) << "case " << i;
    EXPECT_LE(streamed.size(), cases[i].maxCount) << "case " << i;
  }
}

TEST(ChunkerFile, EditInTheMiddleLeavesOtherChunksAlone) {
  TempDir dir;
  const std::string original = seededBytes(40 * kMiB, 21);
  std::string edited = original;
  const size_t editAt = 20 * kMiB + 12345;
  edited.insert(editAt, "a few inserted bytes");
  vorn_test::writeTextFile(dir / "a", original);
  vorn_test::writeTextFile(dir / "b", edited);
  const std::vector<Cut> before = cutFile(dir / "a"), after = cutFile(dir / "b");
  ASSERT_GT(before.size(), 6u);

  size_t kept = 0;
  for (; before[kept].offset + before[kept].size <= editAt; ++kept)
    EXPECT_EQ(after[kept], before[kept]);
  // After one or two changed chunks the lists meet at a common boundary and
  // agree, shifted by the 20 inserted bytes, to the end.
  std::set<std::string> beforeIds;
  for (const Cut& c : before) beforeIds.insert(c.id);
  size_t changed = 0, tail = 0;
  for (const Cut& c : after) changed += beforeIds.count(c.id) == 0;
  for (; tail < std::min(before.size(), after.size()); ++tail) {
    const Cut& b = before[before.size() - 1 - tail];
    if (!(after[after.size() - 1 - tail] == Cut{b.offset + 20, b.size, b.id})) break;
  }
  EXPECT_GE(kept, 2u);
  EXPECT_GE(tail, 2u);
  EXPECT_TRUE(changed == 1 || changed == 2) << changed;
  EXPECT_EQ(kept + changed + tail, after.size());
}

TEST(ChunkerFile, OpenAndReadFailuresReportWithoutCallingBack) {
  TempDir dir;
  int calls = 0;
  const auto count = [&](const vorn::Chunk&) { ++calls; };
  std::string err;
  const std::string path = dir / "no/such file";
  EXPECT_FALSE(vorn::chunkFile(path, ChunkParams{}, count, &err));
  EXPECT_EQ(err, "cannot open " + path);
  EXPECT_FALSE(vorn::chunkFile(path, ChunkParams{}, count, nullptr));
  // A directory opens for reading on POSIX systems but every read fails.
  EXPECT_FALSE(vorn::chunkFile(dir.str(), ChunkParams{}, count, &err));
  EXPECT_TRUE(err == "read error on " + dir.str() || err == "cannot open " + dir.str()) << err;
  EXPECT_EQ(calls, 0);
}
