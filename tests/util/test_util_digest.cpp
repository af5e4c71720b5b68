#include "util/digest.hpp"
#include "util/hex.hpp"

#include <gtest/gtest.h>

#include "support/test_data.hpp"

using namespace vorn;

TEST(Digest, MatchesPublishedVectors) {
  EXPECT_EQ(blake3Hex(std::string()),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(blake3Hex(std::string("abc")),
            "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // RFC 4231 test case 2; a 32-byte key through the second form equals the first.
  const Sha256Digest mac = hmacSha256("Jefe", 4, "what do ya want for nothing?");
  EXPECT_EQ(toHex(mac.data(), mac.size()),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  Sha256Digest key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(hmacSha256(key, "m"), hmacSha256(key.data(), key.size(), "m"));
}

TEST(Digest, Blake3FormsAgreeAndStreamingMatches) {
  // Large enough to take the multi-chunk SIMD paths.
  const std::string data = vorn_test::seededBytes(3 * 1024 * 1024 + 17, 42);
  const std::string whole = blake3Hex(data);
  EXPECT_EQ(whole, blake3Hex(data.data(), data.size()));
  Blake3Stream stream;
  for (size_t i = 0; i < data.size(); i += 65537)
    stream.update(data.data() + i, std::min<size_t>(65537, data.size() - i));
  EXPECT_EQ(stream.finalHex(), whole);
}
