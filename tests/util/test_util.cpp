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
const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

TEST(CryptKey, HexInEitherCaseOrAKeyFileWithItsLineEndAndNothingElse) {
  vorn_test::TempDir dir;
  std::string raw, key = "kept", err;
  ASSERT_TRUE(fromHex(kHex, 32, &raw));
  std::vector<std::string> good = {
      kHex, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"};
  for (const char* ending : {"", "\r\n", "  \n"}) {
    good.push_back(dir / ("k" + std::to_string(good.size())));
    vorn_test::writeTextFile(good.back(), kHex + ending);
  }
  for (const std::string& form : good) {
    ASSERT_TRUE(parseCryptKey(form, &key, &err)) << form << ": " << err;
    EXPECT_EQ(key, raw) << form;
  }
  // A file named like a valid key is read, and here holds garbage; a directory cannot be read.
  vorn_test::writeTextFile(dir / kHex, "not a key\n");
  for (const std::string& bad :
       {kHex.substr(1), kHex + "0", " " + kHex, "\t" + kHex,
        kHex.substr(0, 10) + " " + kHex.substr(11), std::string(), dir / kHex, dir.str()}) {
    key = "kept";
    EXPECT_FALSE(parseCryptKey(bad, &key, &err)) << bad;
    EXPECT_EQ(err, "encryption key must be 64 hex chars (or a file containing them)");
    EXPECT_EQ(key, "kept");
  }
  // Fresh keys every time: never the zeros a wiped buffer would leave.
  std::set<std::string> fresh;
  for (int i = 0; i < 3; ++i) {
    const std::string made = cryptKeygen();
    ASSERT_TRUE(parseCryptKey(made, &key, nullptr));
    EXPECT_EQ(toHex(key), made) << "64 lowercase digits";
    EXPECT_NE(made.substr(0, 16), std::string(16, '0'));
    fresh.insert(made);
  }
  EXPECT_EQ(fresh.size(), 3u);
}

TEST(Digest, PublishedVectorsAndEveryFormAgrees) {
  EXPECT_EQ(blake3Hex(std::string()),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(blake3Hex(std::string("abc")),
            "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // RFC 4231 test case 2; a 32-byte key through the second form equals the first.
  const Sha256Digest mac = hmacSha256("Jefe", 4, "what do ya want for nothing?");
  EXPECT_EQ(toHex(mac.data(), mac.size()),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  Sha256Digest key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(hmacSha256(key, "m"), hmacSha256(key.data(), key.size(), "m"));
  // Large enough for the multi-chunk SIMD paths.
  const std::string data = vorn_test::seededBytes(3 * 1024 * 1024 + 17, 42);
  Blake3Stream stream;
  for (size_t i = 0; i < data.size(); i += 65537)
    stream.update(data.data() + i, std::min<size_t>(65537, data.size() - i));
  EXPECT_EQ(stream.finalHex(), blake3Hex(data.data(), data.size()));
  EXPECT_EQ(blake3Hex(data), blake3Hex(data.data(), data.size()));
}

TEST(HexAndPathText, StrictDecodingAndForwardSlashes) {
  std::string all, back, kept = "kept";
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(toHex(all).substr(0, 4) + toHex(all).substr(508), "0001feff");
  ASSERT_TRUE(fromHex(toHex(all), 256, &back));
  EXPECT_EQ(back, all);
  ASSERT_TRUE(fromHex("00ABff", 3, &back));
  EXPECT_EQ(back, std::string("\x00\xab\xff", 3));
  for (const char* bad : {"00abf", "00abff\n", " 00abff", "00abff00", "0x00ab", "zz00ab", ""}) {
    EXPECT_FALSE(fromHex(bad, 3, &kept)) << bad;
    EXPECT_EQ(kept, "kept") << "no partial result for " << bad;
  }
  EXPECT_EQ(genericUtf8Path(std::filesystem::path("sub") / "dir" / "f.bin"), "sub/dir/f.bin");
  EXPECT_EQ(genericUtf8Path("a\\b\\c"), "a/b/c");
  EXPECT_EQ(genericUtf8Path(pathFromUtf8("caf\xc3\xa9/x")), "caf\xc3\xa9/x");
  EXPECT_EQ(genericUtf8Path("./a/../b/"), "./a/../b/") << "nothing else is normalised";
}

}  // namespace

// Without its SIMD assembly BLAKE3 hashes about ten times slower; these
// symbols exist only when the assembly was linked in.
extern "C" void blake3_hash_many_avx2(const uint8_t* const*, size_t, size_t, const uint32_t[8],
                                      uint64_t, bool, uint8_t, uint8_t, uint8_t, uint8_t*);
#if defined(__x86_64__)
TEST(Blake3Build, SimdAssemblyIsLinkedIn) {
  volatile auto avx2 = &blake3_hash_many_avx2;
  EXPECT_NE(avx2, nullptr);
}
#endif
