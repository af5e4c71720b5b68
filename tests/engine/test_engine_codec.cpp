// The chunk object codec (zstd frame or raw bytes, checked against the id)
// and ranged reads of local files.

#include "engine/chunk_codec.hpp"

#include "util/digest.hpp"

#include "support/engine_fixtures.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <zstd.h>

#include <string>

namespace {

using vorn::blake3Hex;
using vorn::compressChunk;
using vorn_test::compressibleBytes;
using vorn_test::seededBytes;

const std::string kMagic("\x28\xB5\x2F\xFD", 4);

std::string decoded(const std::string& object, const std::string& id) {
  std::string out = "junk", err;
  EXPECT_TRUE(vorn::decodeChunk(object, id, &out, &err)) << err;
  return out;
}

TEST(ChunkCodec, FramesDeclareTheirSizeAndAKeptContextMatchesOneShot) {
  const std::string chunk = compressibleBytes(300000, 1);
  const std::string frame = compressChunk(chunk, 12);
  ASSERT_LT(frame.size(), chunk.size());
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), chunk.size());
  EXPECT_EQ(decoded(frame, blake3Hex(chunk)), chunk);
  EXPECT_NE(compressChunk(chunk, 1), frame);  // the level is honoured

  vorn::ChunkCompressor compressor(12);
  std::string out = "stale content that must go";
  // Larger, smaller, incompressible, empty: the reused buffer never leaks.
  for (const std::string& input : {compressibleBytes(1 << 20, 3), compressibleBytes(5000, 4),
                                   seededBytes(70000, 5), std::string()}) {
    compressor.compress(input, &out);
    EXPECT_EQ(out, compressChunk(input, 12)) << input.size();
  }
}

TEST(ChunkCodec, RawObjectsDecodeAndTheIdDecidesAmbiguousOnes) {
  const std::string random = seededBytes(100000, 6);
  EXPECT_GE(compressChunk(random, 12).size(), random.size());
  EXPECT_EQ(decoded(random, blake3Hex(random)), random);
  EXPECT_EQ(decoded("", blake3Hex("")), "");
  // Starts with the magic but is no valid frame: the raw reading wins.
  const std::string magicRaw = kMagic + seededBytes(5000, 7);
  EXPECT_EQ(decoded(magicRaw, blake3Hex(magicRaw)), magicRaw);
  // A raw chunk that is itself a valid frame of other bytes.
  const std::string inner = compressibleBytes(10000, 8);
  const std::string frameAsChunk = compressChunk(inner, 3);
  EXPECT_EQ(decoded(frameAsChunk, blake3Hex(frameAsChunk)), frameAsChunk);
  EXPECT_EQ(decoded(frameAsChunk, blake3Hex(inner)), inner);
}

TEST(ChunkCodec, WrongIdCorruptionTruncationAndUnsafeFramesAreRefused) {
  const std::string chunk = compressibleBytes(100000, 9);
  const std::string id = blake3Hex(chunk);
  const std::string frame = compressChunk(chunk, 12);
  std::string corrupt = frame;
  corrupt[corrupt.size() / 2] ^= 0x40;
  // A frame whose header leaves the content size out.
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
  std::string noSize(ZSTD_compressBound(chunk.size()), '\0');
  noSize.resize(ZSTD_compress2(cctx, &noSize[0], noSize.size(), chunk.data(), chunk.size()));
  ZSTD_freeCCtx(cctx);
  // A header declaring 2^50 bytes then a tiny raw block: refused, not allocated.
  const std::string huge = kMagic + '\xE0' + std::string("\0\0\0\0\0\0\x04\0\x01\x00\x00", 11);
  ASSERT_EQ(ZSTD_getFrameContentSize(huge.data(), huge.size()), 1ull << 50);

  for (const std::string& object :
       {compressChunk(compressibleBytes(100000, 10), 12), corrupt,
        frame.substr(0, frame.size() - 10), kMagic, chunk + "x", std::string(), noSize, huge}) {
    std::string out, err;
    EXPECT_FALSE(vorn::decodeChunk(object, id, &out, &err)) << object.size();
    EXPECT_EQ(err, "chunk " + id + " failed to decode/verify (corrupt or tampered)");
  }
  // Just above the largest chunk is refused even when the content is genuine.
  const std::string tooBig(16 * 1024 * 1024 + 1, 'z');
  std::string out;
  EXPECT_FALSE(vorn::decodeChunk(compressChunk(tooBig, 1), blake3Hex(tooBig), &out, nullptr));
}

TEST(FileRange, ReadsExactlyTheRangeAndRefusesWhatIsNotThere) {
  vorn_test::TempDir dir;
  const std::string content = seededBytes(10000, 12);
  vorn_test::writeTextFile(dir / "f.bin", content);
  const auto file = dir.path() / "f.bin";
  std::string out = "previous content that is longer than what we read";
  ASSERT_TRUE(vorn::readFileRange(file, 1234, 100, &out));
  EXPECT_EQ(out, content.substr(1234, 100));
  ASSERT_TRUE(vorn::readFileRange(file, content.size(), 0, &out));
  EXPECT_EQ(out, "");

  EXPECT_FALSE(vorn::readFileRange(file, 9900, 101, &out));
  EXPECT_FALSE(vorn::readFileRange(file, 10001, 0, &out));
  EXPECT_FALSE(vorn::readFileRange(file, UINT64_MAX, 2, &out));
  EXPECT_FALSE(vorn::readFileRange(file, 2, UINT64_MAX - 1, &out));
  EXPECT_FALSE(vorn::readFileRange(dir.path() / "missing.bin", 0, 1, &out));
  EXPECT_FALSE(vorn::readFileRange(dir.path(), 0, 1, &out));
}

}  // namespace
