#include "util/crypt_key.hpp"
#include "util/hex.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

using namespace vorn;

[[maybe_unused]] static const int kSodiumReady = sodium_init();

namespace {
const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::string rawKey() {
  std::string raw;
  fromHex(kHex, 32, &raw);
  return raw;
}
}  // namespace

TEST(CryptKey, AcceptsHexTextInEitherCase) {
  std::string key;
  ASSERT_TRUE(parseCryptKey(kHex, &key, nullptr));
  EXPECT_EQ(key, rawKey());
  std::string upper = kHex;
  for (auto& c : upper) c = static_cast<char>(toupper(c));
  ASSERT_TRUE(parseCryptKey(upper, &key, nullptr));
  EXPECT_EQ(key, rawKey());
}

TEST(CryptKey, ReadsKeyFilesWithTheirLineEnds) {
  vorn_test::TempDir dir;
  for (const char* ending : {"", "\n", "\r\n", "  \n"}) {
    vorn_test::writeTextFile(dir / "k", kHex + ending);
    std::string key;
    ASSERT_TRUE(parseCryptKey(dir / "k", &key, nullptr)) << "ending " << ending;
    EXPECT_EQ(key, rawKey());
  }
}

TEST(CryptKey, RejectsAnythingButSixtyFourDigits) {
  const std::string message = "encryption key must be 64 hex chars (or a file containing them)";
  for (const std::string& bad :
       {kHex.substr(1), kHex + "0", " " + kHex, kHex.substr(0, 10) + " " + kHex.substr(11),
        std::string("\t") + kHex, std::string()}) {
    std::string key = "kept", err;
    EXPECT_FALSE(parseCryptKey(bad, &key, &err)) << bad;
    EXPECT_EQ(err, message);
    EXPECT_EQ(key, "kept");
  }
}

TEST(CryptKey, AFileOfThatNameWinsOverHexText) {
  vorn_test::TempDir dir;
  // A file literally named like a valid key, holding garbage: the file is read.
  vorn_test::writeTextFile(dir / kHex, "not a key\n");
  std::string key, err;
  std::string cwdName = dir / kHex;
  EXPECT_FALSE(parseCryptKey(cwdName, &key, &err));
}

TEST(CryptKey, KeygenGivesFreshParsableKeys) {
  std::string a = cryptKeygen(), b = cryptKeygen();
  EXPECT_EQ(a.size(), 64u);
  EXPECT_NE(a, b);
  std::string key;
  EXPECT_TRUE(parseCryptKey(a, &key, nullptr));
  EXPECT_EQ(toHex(key), a);
}
