#include "util/hex.hpp"
#include "util/path_text.hpp"

#include <gtest/gtest.h>

using namespace vorn;

TEST(Hex, EncodesLowercaseAndDecodesStrictlyOrNotAtAll) {
  std::string all, back, out;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(toHex(all).substr(0, 4) + toHex(all).substr(508), "0001feff");
  ASSERT_TRUE(fromHex(toHex(all), 256, &back));
  EXPECT_EQ(back, all);
  ASSERT_TRUE(fromHex("00ABff", 3, &out));
  EXPECT_EQ(out, std::string("\x00\xab\xff", 3));
  for (const char* bad :
       {"00abf", "00abff\n", " 00abff", "00abff00", "0x00ab", "00 abf", "zz00ab", ""}) {
    std::string kept = "kept";
    EXPECT_FALSE(fromHex(bad, 3, &kept)) << bad;
    EXPECT_EQ(kept, "kept") << "no partial result for " << bad;
  }
  EXPECT_TRUE(fromHex("", 0, &out));
  EXPECT_EQ(out, "");
}

TEST(PathText, UsesForwardSlashesAndKeepsUtf8) {
  EXPECT_EQ(genericUtf8Path(std::filesystem::path("sub") / "dir" / "file.bin"), "sub/dir/file.bin");
  EXPECT_EQ(genericUtf8Path("a\\b\\c"), "a/b/c");
  EXPECT_EQ(genericUtf8Path(pathFromUtf8("caf\xc3\xa9/x")), "caf\xc3\xa9/x");
  EXPECT_EQ(genericUtf8Path("./a/../b/"), "./a/../b/") << "nothing else is normalised";
}
