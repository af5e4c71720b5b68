// Ed25519 manifest signatures: key pairs, signing, verification and the
// order in which malformed inputs are reported.

#include "engine/signing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

using vorn::signManifest;
using vorn::verifyManifestSignature;

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

vorn::SigningKeyPair freshPair() {
  vorn::SigningKeyPair pair;
  std::string err;
  EXPECT_TRUE(vorn::generateSigningKeyPair(&pair, &err)) << err;
  return pair;
}

TEST(SigningKeys, GeneratedPairsAndThePublishedVector) {
  const vorn::SigningKeyPair pair = freshPair();
  EXPECT_EQ(pair.secretHex.find_first_not_of("0123456789abcdef"), std::string::npos);
  // The 64-byte secret key carries its public half after the seed.
  EXPECT_EQ(pair.secretHex.substr(64), pair.publicHex);
  EXPECT_NE(freshPair().secretHex, pair.secretHex);

  // RFC 8032, section 7.1, test 1 (empty message); upper-case hex is
  // accepted everywhere and the output is lower case.
  const std::string seed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
  const std::string pub = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  const std::string expected =
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b";
  std::string signature, err;
  ASSERT_TRUE(signManifest(upper(seed + pub), "", &signature, &err)) << err;
  EXPECT_EQ(signature, expected);
  EXPECT_TRUE(verifyManifestSignature(upper(pub), "", upper(expected), &err)) << err;
}

TEST(SigningKeyText, MalformedSecretKeysAreRefused) {
  const vorn::SigningKeyPair pair = freshPair();
  for (const std::string& key : {
           pair.publicHex,                  // a public key given in the secret's place
           pair.secretHex.substr(0, 127),   // odd length
           pair.secretHex + "00",           // too long
           pair.secretHex + "\n",           // key file text: the engine trims nothing
           "g" + pair.secretHex.substr(1),  // not hex
           std::string(), std::string("no-such-file.key")}) {
    std::string signature = "untouched", err;
    EXPECT_FALSE(signManifest(key, "m", &signature, &err)) << key;
    EXPECT_EQ(err, "bad secret key (need 64-byte hex)");
    EXPECT_EQ(signature, "untouched");
  }
}

// The key is judged before the signature, the signature's form before the match.
TEST(SigningVerification, EveryChangeFailsAndKeyBeforeSignatureBeforeMismatch) {
  const vorn::SigningKeyPair pair = freshPair();
  const std::string message = "line one\nline two\n";
  std::string signature, err;
  ASSERT_TRUE(signManifest(pair.secretHex, message, &signature, nullptr));
  EXPECT_TRUE(verifyManifestSignature(pair.publicHex, message, signature, &err)) << err;
  std::string flipped = message;
  flipped[5] ^= 0x01;
  const struct {
    std::string key, message, signature, expected;
  } rows[] = {
      {pair.publicHex, flipped, signature, "signature does not verify"},
      {pair.publicHex, message + " ", signature, "signature does not verify"},
      {pair.publicHex, "line one\r\nline two\n", signature, "signature does not verify"},
      {freshPair().publicHex, message, signature, "signature does not verify"},
      {pair.publicHex, message, std::string(128, '0'), "signature does not verify"},
      {pair.publicHex + "\n", "m", signature + "\n", "bad public key"},
      {pair.secretHex, message, signature, "bad public key"},
      // A stored signature with a trailing line feed is malformed, not merely wrong.
      {pair.publicHex, "other", signature + "\n", "bad signature"},
      {pair.publicHex, message, signature.substr(0, 126), "bad signature"},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(verifyManifestSignature(row.key, row.message, row.signature, &err));
    EXPECT_EQ(err, row.expected) << row.key << " " << row.message;
  }
}

}  // namespace
