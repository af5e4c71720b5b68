// Ed25519 manifest signatures: key pairs, signing, verification and the
// order in which malformed inputs are reported.

#include "engine/signing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

using vorn::SigningKeyPair;
using vorn::signManifest;
using vorn::verifyManifestSignature;

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

SigningKeyPair freshPair() {
  SigningKeyPair pair;
  std::string err;
  EXPECT_TRUE(vorn::generateSigningKeyPair(&pair, &err)) << err;
  return pair;
}

TEST(SigningKeys, GeneratedPairsAndThePublishedVector) {
  SigningKeyPair pair = freshPair();
  EXPECT_EQ(pair.secretHex.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(pair.secretHex.size(), 128u);
  // The secret key carries its public half after the 32-byte seed.
  EXPECT_EQ(pair.secretHex.substr(64), pair.publicHex);
  EXPECT_NE(freshPair().secretHex, pair.secretHex);

  // RFC 8032, section 7.1, test 1 (empty message).
  const std::string seed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
  const std::string pub = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  const std::string expected =
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b";
  std::string signature, err;
  ASSERT_TRUE(signManifest(seed + pub, "", &signature, &err)) << err;
  EXPECT_EQ(signature, expected);
  EXPECT_TRUE(verifyManifestSignature(pub, "", expected, &err)) << err;
  EXPECT_FALSE(verifyManifestSignature(pub, std::string(1, '\0'), expected, &err));
  // Upper-case hex is accepted everywhere; the output is lower case.
  ASSERT_TRUE(signManifest(upper(seed + pub), "", &signature, nullptr));
  EXPECT_EQ(signature, expected);
  EXPECT_TRUE(verifyManifestSignature(upper(pub), "", upper(expected), nullptr));
}

TEST(Signing, AnyChangedByteOrOtherKeyBreaksTheSignature) {
  SigningKeyPair pair = freshPair();
  const std::string message = "line one\nline two\n";
  std::string signature;
  ASSERT_TRUE(signManifest(pair.secretHex, message, &signature, nullptr));
  EXPECT_TRUE(verifyManifestSignature(pair.publicHex, message, signature, nullptr));

  std::string flipped = message;
  flipped[5] ^= 0x01;
  for (const std::string& changed : {flipped, message + " ", std::string("line one\r\nline two\n"),
                                     message.substr(0, message.size() - 1)}) {
    std::string err;
    EXPECT_FALSE(verifyManifestSignature(pair.publicHex, changed, signature, &err));
    EXPECT_EQ(err, "signature does not verify");
  }
  std::string err;
  EXPECT_FALSE(verifyManifestSignature(freshPair().publicHex, message, signature, &err));
  EXPECT_EQ(err, "signature does not verify");
}

TEST(SigningKeyText, MalformedSecretKeysAreRefused) {
  SigningKeyPair pair = freshPair();
  const std::string bad[] = {
      pair.publicHex,                   // a public key given in the secret's place
      pair.secretHex.substr(0, 127),    // odd length
      pair.secretHex + "00",            // too long
      pair.secretHex + "\n",            // key file text: the engine trims nothing
      "g" + pair.secretHex.substr(1),   // not hex
      "0x" + pair.secretHex.substr(2),  // prefix
      "",
      "no-such-file.key",  // a key argument naming no file
  };
  for (const std::string& key : bad) {
    std::string signature = "untouched", err;
    EXPECT_FALSE(signManifest(key, "m", &signature, &err)) << key;
    EXPECT_EQ(err, "bad secret key (need 64-byte hex)");
    EXPECT_EQ(signature, "untouched");
  }
}

TEST(SigningVerification, ReportsKeyBeforeSignatureBeforeMismatch) {
  SigningKeyPair pair = freshPair();
  std::string signature, err;
  ASSERT_TRUE(signManifest(pair.secretHex, "m", &signature, nullptr));
  const struct {
    std::string key, message, signature, expected;
  } rows[] = {
      {pair.publicHex + "\n", "m", signature + "\n", "bad public key"},
      {pair.publicHex + "\r\n", "m", signature, "bad public key"},
      {pair.secretHex, "m", signature, "bad public key"},
      // A stored signature with a trailing line feed is malformed, not merely wrong.
      {pair.publicHex, "other", signature + "\n", "bad signature"},
      {pair.publicHex, "m", signature.substr(0, 126), "bad signature"},
      {pair.publicHex, "m", std::string(128, '0'), "signature does not verify"},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(verifyManifestSignature(row.key, row.message, row.signature, &err));
    EXPECT_EQ(err, row.expected) << row.key;
  }
}

}  // namespace
