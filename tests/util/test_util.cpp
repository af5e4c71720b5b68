// Keys, digests, hex and path text.

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

TEST(CryptKey, HexInEitherCaseOrAKeyFileWithItsLineEndAndNothingElse) {
  const std::string hex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  vorn_test::TempDir dir;
  std::string raw, key = "kept", err;
  ASSERT_TRUE(fromHex(hex, 32, &raw));
  vorn_test::writeTextFile(dir / "k1", hex + "\r\n");
  vorn_test::writeTextFile(dir / "k2", hex + "  \n");
  for (const std::string& form :
       {hex, std::string("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"),
        dir / "k1", dir / "k2"}) {
    ASSERT_TRUE(parseCryptKey(form, &key, &err)) << form << ": " << err;
    EXPECT_EQ(key, raw) << form;
  }
  // A file named like a valid key is read, and here holds garbage; a directory cannot be read.
  vorn_test::writeTextFile(dir / hex, "not a key\n");
  for (const std::string& bad :
       {hex.substr(1), hex + "0", " " + hex, std::string(), dir / hex, dir.str()}) {
    key = "kept";
    EXPECT_FALSE(parseCryptKey(bad, &key, &err)) << bad;
    EXPECT_EQ(err, "encryption key must be 64 hex chars (or a file containing them)");
    EXPECT_EQ(key, "kept");
  }
  // Fresh keys every time: never the zeros a wiped buffer would leave.
  std::set<std::string> fresh;
  for (int i = 0; i < 3; ++i) {
    fresh.insert(cryptKeygen());
    ASSERT_TRUE(parseCryptKey(*fresh.rbegin(), &key, nullptr));
    EXPECT_NE(fresh.rbegin()->substr(0, 16), std::string(16, '0'));
  }
  EXPECT_EQ(fresh.size(), 3u);
}

TEST(Util, DigestVectorsHexAndPathText) {
  EXPECT_EQ(blake3Hex(std::string("abc")),
            "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // RFC 4231 test case 2.
  const Sha256Digest mac = hmacSha256("Jefe", 4, "what do ya want for nothing?");
  EXPECT_EQ(toHex(mac.data(), mac.size()),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  // Large enough for the multi-chunk SIMD paths; streamed in odd pieces.
  const std::string data = vorn_test::seededBytes(3 * 1024 * 1024 + 17, 42);
  Blake3Stream stream;
  for (size_t i = 0; i < data.size(); i += 65537)
    stream.update(data.data() + i, std::min<size_t>(65537, data.size() - i));
  EXPECT_EQ(stream.finalHex(), blake3Hex(data));

  std::string back, kept = "kept";
  ASSERT_TRUE(fromHex("00ABff", 3, &back));
  EXPECT_EQ(toHex(back), "00abff");
  for (const char* bad : {"00abf", "00abff\n", " 00abff", "00abff00", "zz00ab"}) {
    EXPECT_FALSE(fromHex(bad, 3, &kept)) << bad;
    EXPECT_EQ(kept, "kept") << "no partial result for " << bad;
  }
  EXPECT_EQ(genericUtf8Path(std::filesystem::path("sub") / "dir" / "f.bin"), "sub/dir/f.bin");
  EXPECT_EQ(genericUtf8Path("a\\b"), "a/b");
  EXPECT_EQ(genericUtf8Path(pathFromUtf8("caf\xc3\xa9/./x")), "caf\xc3\xa9/./x");
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
