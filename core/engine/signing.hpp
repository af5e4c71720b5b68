#pragma once
// Ed25519 manifest signatures: key pairs, signing and verification over the
// exact bytes of a manifest text. Keys and signatures travel as hex text.

#include <string>

namespace vorn {

struct SigningKeyPair {
  std::string secretHex;  // 128 lowercase hex characters (seed + public key)
  std::string publicHex;  // 64 lowercase hex characters
};

// Error: "keypair generation failed".
bool generateSigningKeyPair(SigningKeyPair* out, std::string* err);

// Errors: "bad secret key (need 64-byte hex)", "signing failed".
bool signManifest(const std::string& secretHex, const std::string& message,
                  std::string* signatureHex, std::string* err);

// Checks in this order: "bad public key", "bad signature", "signature does not verify".
bool verifyManifestSignature(const std::string& publicHex, const std::string& message,
                             const std::string& signatureHex, std::string* err);

}  // namespace vorn
