// The chunk object format (a zstd frame or the raw bytes, told apart by the
// chunk id) and ranged reads of local files.

#include "engine/chunk_codec.hpp"

#include "util/digest.hpp"

#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <zstd.h>

#include <string>

namespace {

using vorn::blake3Hex;
using vorn::compressChunk;
using vorn::decodeChunk;

const std::string kMagic("\x28\xB5\x2F\xFD", 4);

// Text-like bytes that compress well but are not trivially repetitive.
std::string compressibleBytes(size_t size, uint64_t seed) {
  std::string noise = vorn_test::seededBytes(size, seed);
  const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) {
    out += words[static_cast<unsigned char>(noise[i]) % 6];
  }
  out.resize(size);
  return out;
}

std::string decoded(const std::string& object, const std::string& id) {
  std::string out, err;
  EXPECT_TRUE(decodeChunk(object, id, &out, &err)) << err;
  return out;
}

TEST(ChunkCodec, CompressedFrameDeclaresItsSizeAndDecodes) {
  const std::string chunk = compressibleBytes(300000, 1);
  const std::string frame = compressChunk(chunk, 12);
  ASSERT_LT(frame.size(), chunk.size());
  EXPECT_EQ(frame.compare(0, 4, kMagic), 0);
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), chunk.size());
  EXPECT_EQ(decoded(frame, blake3Hex(chunk)), chunk);
}

TEST(ChunkCodec, CompressionLevelMatters) {
  const std::string chunk = compressibleBytes(200000, 2);
  // Same algorithm, different effort: level 1 and level 12 frames differ.
  EXPECT_NE(compressChunk(chunk, 1), compressChunk(chunk, 12));
  EXPECT_EQ(decoded(compressChunk(chunk, 1), blake3Hex(chunk)), chunk);
}

TEST(ChunkCodec, KeptContextGivesTheSameFramesAsOneShotCompression) {
  vorn::ChunkCompressor compressor(12);
  std::string frame = "stale content that must go";
  // Larger, then smaller, then incompressible, then empty: the reused buffer
  // must never leak bytes of an earlier call.
  const std::string inputs[] = {compressibleBytes(1 << 20, 3), compressibleBytes(5000, 4),
                                vorn_test::seededBytes(70000, 5), std::string()};
  for (const std::string& input : inputs) {
    compressor.compress(input, &frame);
    EXPECT_EQ(frame, compressChunk(input, 12)) << input.size();
  }
}

TEST(ChunkCodec, RandomBytesDoNotShrinkAndRawObjectsDecode) {
  const std::string chunk = vorn_test::seededBytes(100000, 6);
  EXPECT_GE(compressChunk(chunk, 12).size(), chunk.size());
  EXPECT_EQ(decoded(chunk, blake3Hex(chunk)), chunk);
}

TEST(ChunkCodec, RawChunkStartingWithTheMagicStillDecodes) {
  // Looks like a frame, is not a valid one: the raw reading must win.
  const std::string chunk = kMagic + vorn_test::seededBytes(5000, 7);
  EXPECT_EQ(decoded(chunk, blake3Hex(chunk)), chunk);
  // A raw chunk that is itself a valid frame of other bytes: the id decides.
  const std::string inner = compressibleBytes(10000, 8);
  const std::string frameAsChunk = compressChunk(inner, 3);
  EXPECT_EQ(decoded(frameAsChunk, blake3Hex(frameAsChunk)), frameAsChunk);
  EXPECT_EQ(decoded(frameAsChunk, blake3Hex(inner)), inner);
}

TEST(ChunkCodec, EmptyChunkIsStoredRawAndDecodes) {
  EXPECT_GT(compressChunk("", 12).size(), 0u);
  std::string out = "junk", err;
  EXPECT_TRUE(decodeChunk("", blake3Hex(""), &out, &err)) << err;
  EXPECT_EQ(out, "");
}

TEST(ChunkCodecFailures, WrongIdCorruptionAndTruncationAreRefused) {
  const std::string chunk = compressibleBytes(100000, 9);
  const std::string id = blake3Hex(chunk);
  const std::string frame = compressChunk(chunk, 12);
  std::string corrupt = frame;
  corrupt[corrupt.size() / 2] ^= 0x40;

  const std::string expected = "chunk " + id + " failed to decode/verify (corrupt or tampered)";
  const std::string objects[] = {compressChunk(compressibleBytes(100000, 10), 12),
                                 corrupt,
                                 frame.substr(0, frame.size() - 10),
                                 kMagic,
                                 kMagic.substr(0, 3),
                                 chunk + "x",
                                 ""};
  for (const std::string& object : objects) {
    std::string out, err;
    EXPECT_FALSE(decodeChunk(object, id, &out, &err)) << object.size();
    EXPECT_EQ(err, expected);
  }
  std::string out;
  EXPECT_FALSE(decodeChunk(corrupt, id, &out, nullptr));
}

TEST(ChunkCodecFailures, FrameWithoutDeclaredSizeIsNotAccepted) {
  const std::string chunk = compressibleBytes(50000, 11);
  // A frame whose header leaves the content size out.
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
  std::string frame(ZSTD_compressBound(chunk.size()), '\0');
  size_t written = ZSTD_compress2(cctx, &frame[0], frame.size(), chunk.data(), chunk.size());
  ZSTD_freeCCtx(cctx);
  ASSERT_FALSE(ZSTD_isError(written));
  frame.resize(written);
  ASSERT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), ZSTD_CONTENTSIZE_UNKNOWN);

  std::string out, err;
  EXPECT_FALSE(decodeChunk(frame, blake3Hex(chunk), &out, &err));
}

TEST(ChunkCodecFailures, HugeDeclaredSizeIsRefusedWithoutAllocating) {
  // Magic, a header declaring 2^50 bytes in a single segment, then a tiny
  // raw block: decoding must refuse rather than try to allocate a petabyte.
  std::string frame = kMagic;
  frame += static_cast<char>(0xE0);  // 8-byte content size, single segment
  for (int i = 0; i < 8; ++i) frame += static_cast<char>(i == 6 ? 0x04 : 0x00);
  frame += std::string("\x01\x00\x00", 3);
  ASSERT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), 1ull << 50);

  std::string out, err;
  EXPECT_FALSE(decodeChunk(frame, std::string(64, 'a'), &out, &err));
  EXPECT_NE(err.find("failed to decode/verify"), std::string::npos);

  // Just above the largest chunk is refused even when the content is genuine.
  const std::string tooBig(16 * 1024 * 1024 + 1, 'z');
  EXPECT_FALSE(decodeChunk(compressChunk(tooBig, 1), blake3Hex(tooBig), &out, &err));
}

TEST(FileRange, ReadsExactlyTheRequestedBytes) {
  vorn_test::TempDir dir;
  const std::string content = vorn_test::seededBytes(10000, 12);
  vorn_test::writeTextFile(dir / "f.bin", content);
  std::string out = "previous content that is longer than what we read";
  ASSERT_TRUE(vorn::readFileRange(dir.path() / "f.bin", 1234, 100, &out));
  EXPECT_EQ(out, content.substr(1234, 100));
  ASSERT_TRUE(vorn::readFileRange(dir.path() / "f.bin", 0, content.size(), &out));
  EXPECT_EQ(out, content);
  ASSERT_TRUE(vorn::readFileRange(dir.path() / "f.bin", content.size(), 0, &out));
  EXPECT_EQ(out, "");
}

TEST(FileRange, ShortFilesMissingFilesAndAbsurdRangesFail) {
  vorn_test::TempDir dir;
  vorn_test::writeSeededFile(dir / "f.bin", 1000, 13);
  const auto file = dir.path() / "f.bin";
  std::string out;
  EXPECT_FALSE(vorn::readFileRange(file, 900, 101, &out));
  EXPECT_FALSE(vorn::readFileRange(file, 1001, 0, &out));
  EXPECT_FALSE(vorn::readFileRange(file, 0, uint64_t(1) << 62, &out));
  EXPECT_FALSE(vorn::readFileRange(file, UINT64_MAX, 2, &out));
  EXPECT_FALSE(vorn::readFileRange(file, 2, UINT64_MAX - 1, &out));
  EXPECT_FALSE(vorn::readFileRange(dir.path() / "missing.bin", 0, 1, &out));
  EXPECT_FALSE(vorn::readFileRange(dir.path(), 0, 1, &out));
}

}  // namespace
