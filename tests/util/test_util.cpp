// What the end-to-end runs cannot tell apart: key files, digests against
// published values, path text, and the SIMD build of BLAKE3.

#include "util/crypt_key.hpp"
#include "util/digest.hpp"
#include "util/hex.hpp"
#include "util/path_text.hpp"

#include "support/files.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <set>

using namespace vorn;

namespace {

[[maybe_unused]] const int kSodiumReady = sodium_init();

TEST(Util, KeyFilesDigestsAndPathText) {
  const std::string hex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  vorn_test::TempDir dir;
  std::string raw, key = "kept", err;
  ASSERT_TRUE(fromHex(hex, 32, &raw));
  vorn_test::writeTextFile(dir / "k", hex + "\r\n");
  vorn_test::writeTextFile(dir / hex, "not a key\n");  // a file named like a key is read
  for (const std::string& form :
       {dir / "k",
        std::string("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F")}) {
    ASSERT_TRUE(parseCryptKey(form, &key, &err)) << form << ": " << err;
    EXPECT_EQ(key, raw) << form;
  }
  for (const std::string& bad : {hex + "0", " " + hex, dir / hex, dir.str()}) {
    key = "kept";
    EXPECT_FALSE(parseCryptKey(bad, &key, &err)) << bad;
    EXPECT_EQ(err + key, "encryption key must be 64 hex chars (or a file containing them)kept");
  }
  // Fresh keys every time: never the zeros a wiped buffer would leave.
  std::set<std::string> fresh{cryptKeygen(), cryptKeygen(), cryptKeygen()};
  EXPECT_EQ(fresh.size(), 3u);
  EXPECT_EQ(fresh.count(std::string(64, '0')), 0u);

  EXPECT_EQ(blake3Hex(std::string("abc")),
            "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  // Large enough for the multi-chunk SIMD paths; streamed in odd pieces.
  const std::string data = vorn_test::seededBytes(3 * 1024 * 1024 + 17, 42);
  Blake3Stream stream;
  for (size_t i = 0; i < data.size(); i += 65537)
    stream.update(data.data() + i, std::min<size_t>(65537, data.size() - i));
  EXPECT_EQ(stream.finalHex(), blake3Hex(data));
  EXPECT_EQ(genericUtf8Path("a\\b/c"), "a/b/c");
}

}  // namespace

// Without its SIMD assembly BLAKE3 hashes about ten times slower; this symbol
// exists only when the assembly was linked in.
extern "C" void blake3_hash_many_avx2(const uint8_t* const*, size_t, size_t, const uint32_t[8],
                                      uint64_t, bool, uint8_t, uint8_t, uint8_t, uint8_t*);
#if defined(__x86_64__)
TEST(Blake3Build, SimdAssemblyIsLinkedIn) {
  volatile auto avx2 = &blake3_hash_many_avx2;
  EXPECT_NE(avx2, nullptr);
}
#endif
