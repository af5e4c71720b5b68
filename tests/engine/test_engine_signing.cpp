// Ed25519 manifest signatures: key pairs, signing, verification and the
// order in which malformed inputs are reported.

#include "engine/signing.hpp"

#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

using vorn::SigningKeyPair;
using vorn::signManifest;
using vorn::verifyManifestSignature;

bool isLowerHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// What a key argument naming a key file resolves to: the file's content with
// surrounding space, tab, CR and LF removed.
std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

SigningKeyPair freshPair() {
  SigningKeyPair pair;
  std::string err;
  EXPECT_TRUE(vorn::generateSigningKeyPair(&pair, &err)) << err;
  return pair;
}

TEST(SigningKeys, GeneratedPairHasHexTextsOfTheRightLength) {
  SigningKeyPair pair = freshPair();
  EXPECT_EQ(pair.secretHex.size(), 128u);
  EXPECT_EQ(pair.publicHex.size(), 64u);
  EXPECT_TRUE(isLowerHex(pair.secretHex));
  EXPECT_TRUE(isLowerHex(pair.publicHex));
  // The secret key carries its public half after the 32-byte seed.
  EXPECT_EQ(pair.secretHex.substr(64), pair.publicHex);
  EXPECT_NE(freshPair().secretHex, pair.secretHex);
}

// RFC 8032, section 7.1, test 1 (empty message).
TEST(SigningKeys, MatchesThePublishedEd25519Vector) {
  const std::string seed = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
  const std::string pub = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  const std::string expected =
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
      "b46bd25bf5f0595bbe24655141438e7a100b";
  std::string signature, err;
  ASSERT_TRUE(signManifest(seed + pub, "", &signature, &err)) << err;
  EXPECT_EQ(signature, expected);
  EXPECT_TRUE(verifyManifestSignature(pub, "", expected, &err)) << err;
}

TEST(Signing, SignatureVerifiesOverTheSameBytes) {
  SigningKeyPair pair = freshPair();
  const std::string message = "{\n  \"build\" : \"abc\",\n  \"schema\" : 1\n}";
  std::string signature, err;
  ASSERT_TRUE(signManifest(pair.secretHex, message, &signature, &err)) << err;
  EXPECT_EQ(signature.size(), 128u);
  EXPECT_TRUE(isLowerHex(signature));
  EXPECT_TRUE(verifyManifestSignature(pair.publicHex, message, signature, &err)) << err;
  // Null error pointers are allowed everywhere.
  EXPECT_TRUE(verifyManifestSignature(pair.publicHex, message, signature, nullptr));
}

TEST(Signing, AnyChangedByteBreaksTheSignature) {
  SigningKeyPair pair = freshPair();
  const std::string message = "line one\nline two\n";
  std::string signature;
  ASSERT_TRUE(signManifest(pair.secretHex, message, &signature, nullptr));

  std::string flipped = message;
  flipped[5] ^= 0x01;
  const std::string variants[] = {flipped, message + " ", "line one\r\nline two\n",
                                  message.substr(0, message.size() - 1)};
  for (const std::string& changed : variants) {
    std::string err;
    EXPECT_FALSE(verifyManifestSignature(pair.publicHex, changed, signature, &err));
    EXPECT_EQ(err, "signature does not verify");
  }
  // Another key pair's public key does not verify it either.
  std::string err;
  EXPECT_FALSE(verifyManifestSignature(freshPair().publicHex, message, signature, &err));
  EXPECT_EQ(err, "signature does not verify");
}

TEST(Signing, UpperCaseHexKeysAreAccepted) {
  SigningKeyPair pair = freshPair();
  std::string lowerSig, upperSig, err;
  ASSERT_TRUE(signManifest(pair.secretHex, "payload", &lowerSig, &err)) << err;
  ASSERT_TRUE(signManifest(upper(pair.secretHex), "payload", &upperSig, &err)) << err;
  // Ed25519 is deterministic and the output is always lower case.
  EXPECT_EQ(upperSig, lowerSig);
  EXPECT_TRUE(verifyManifestSignature(upper(pair.publicHex), "payload", lowerSig, &err)) << err;
  EXPECT_TRUE(verifyManifestSignature(pair.publicHex, "payload", upper(lowerSig), &err)) << err;
}

TEST(Signing, EmptyMessageCanBeSignedAndVerified) {
  SigningKeyPair pair = freshPair();
  std::string signature, err;
  ASSERT_TRUE(signManifest(pair.secretHex, "", &signature, &err)) << err;
  EXPECT_TRUE(verifyManifestSignature(pair.publicHex, "", signature, &err)) << err;
  EXPECT_FALSE(verifyManifestSignature(pair.publicHex, std::string(1, '\0'), signature, &err));
}

TEST(SigningKeyText, KeyFilesWorkOnceTrimmedAndFailRaw) {
  vorn_test::TempDir dir;
  SigningKeyPair pair = freshPair();
  const std::string endings[] = {"\n", "\r\n", "", "  \t\r\n"};
  for (const std::string& ending : endings) {
    vorn_test::writeTextFile(dir / "k.key", pair.secretHex + ending);
    vorn_test::writeTextFile(dir / "k.pub", pair.publicHex + ending);
    const std::string secretFile = vorn_test::slurp(dir / "k.key");
    const std::string publicFile = vorn_test::slurp(dir / "k.pub");

    std::string signature, err;
    ASSERT_TRUE(signManifest(trimmed(secretFile), "m", &signature, &err)) << err;
    EXPECT_TRUE(verifyManifestSignature(trimmed(publicFile), "m", signature, &err)) << err;
    if (ending.empty()) continue;
    // The engine itself trims nothing: untrimmed file text is malformed.
    EXPECT_FALSE(signManifest(secretFile, "m", &signature, &err));
    EXPECT_EQ(err, "bad secret key (need 64-byte hex)");
    EXPECT_FALSE(verifyManifestSignature(publicFile, "m", signature, &err));
    EXPECT_EQ(err, "bad public key");
  }
}

TEST(SigningKeyText, MalformedSecretKeysAreRefused) {
  SigningKeyPair pair = freshPair();
  const std::string bad[] = {
      pair.publicHex,                   // a public key given in the secret's place
      pair.secretHex.substr(0, 127),    // odd length
      pair.secretHex + "00",            // too long
      "g" + pair.secretHex.substr(1),   // not hex
      "0x" + pair.secretHex.substr(2),  // prefix
      "",                               // nothing
      "no-such-file.key",               // a key argument naming no file
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

  EXPECT_FALSE(verifyManifestSignature(pair.publicHex + "\n", "m", signature + "\n", &err));
  EXPECT_EQ(err, "bad public key");
  EXPECT_FALSE(verifyManifestSignature(pair.secretHex, "m", signature, &err));
  EXPECT_EQ(err, "bad public key");
  // A stored signature with a trailing line feed is malformed, not merely wrong.
  EXPECT_FALSE(verifyManifestSignature(pair.publicHex, "other", signature + "\n", &err));
  EXPECT_EQ(err, "bad signature");
  EXPECT_FALSE(verifyManifestSignature(pair.publicHex, "m", signature.substr(0, 126), &err));
  EXPECT_EQ(err, "bad signature");
  EXPECT_FALSE(verifyManifestSignature(pair.publicHex, "m", std::string(128, '0'), &err));
  EXPECT_EQ(err, "signature does not verify");
}

}  // namespace
