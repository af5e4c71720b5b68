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
}  // namespace

TEST(CryptKey, AcceptsHexInEitherCaseAndKeyFilesWithTheirLineEnds) {
  std::string raw;
  ASSERT_TRUE(fromHex(kHex, 32, &raw));
  vorn_test::TempDir dir;
  std::vector<std::string> forms = {
      kHex, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"};
  for (const char* ending : {"", "\n", "\r\n", "  \n"}) {
    forms.push_back(dir / ("k" + std::to_string(forms.size())));
    vorn_test::writeTextFile(forms.back(), kHex + ending);
  }
  for (const std::string& form : forms) {
    std::string key, err;
    ASSERT_TRUE(parseCryptKey(form, &key, &err)) << form << ": " << err;
    EXPECT_EQ(key, raw) << form;
  }
}

TEST(CryptKey, RejectsAnythingButSixtyFourDigits) {
  vorn_test::TempDir dir;
  // A file named like a valid key is read, and here it holds garbage.
  vorn_test::writeTextFile(dir / kHex, "not a key\n");
  // A directory opens like a file but cannot be read: refused, not a crash.
  for (const std::string& bad :
       {kHex.substr(1), kHex + "0", " " + kHex, kHex.substr(0, 10) + " " + kHex.substr(11),
        std::string("\t") + kHex, std::string(), dir / kHex, dir.str()}) {
    std::string key = "kept", err;
    EXPECT_FALSE(parseCryptKey(bad, &key, &err)) << bad;
    EXPECT_EQ(err, "encryption key must be 64 hex chars (or a file containing them)");
    EXPECT_EQ(key, "kept");
  }
}

TEST(CryptKey, KeygenGivesFreshParsableKeys) {
  const std::string a = cryptKeygen();
  std::string key;
  EXPECT_TRUE(parseCryptKey(a, &key, nullptr));
  EXPECT_EQ(toHex(key), a) << "64 lowercase digits";
  EXPECT_NE(cryptKeygen(), a);
}
