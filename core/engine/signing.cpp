#include "engine/signing.hpp"

#include "util/error_text.hpp"
#include "util/hex.hpp"

#include <sodium.h>

namespace vorn {

bool generateSigningKeyPair(SigningKeyPair* out, std::string* err) {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  if (crypto_sign_keypair(pk, sk) != 0) {
    setError(err, "keypair generation failed");
    return false;
  }
  if (out) {
    out->secretHex = toHex(sk, sizeof sk);
    out->publicHex = toHex(pk, sizeof pk);
  }
  sodium_memzero(sk, sizeof sk);
  return true;
}

bool signManifest(const std::string& secretHex, const std::string& message,
                  std::string* signatureHex, std::string* err) {
  std::string sk;
  if (!fromHex(secretHex, crypto_sign_SECRETKEYBYTES, &sk)) {
    setError(err, "bad secret key (need 64-byte hex)");
    return false;
  }
  unsigned char sig[crypto_sign_BYTES];
  int rc =
      crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                           message.size(), reinterpret_cast<const unsigned char*>(sk.data()));
  sodium_memzero(&sk[0], sk.size());
  if (rc != 0) {
    setError(err, "signing failed");
    return false;
  }
  if (signatureHex) *signatureHex = toHex(sig, sizeof sig);
  return true;
}

bool verifyManifestSignature(const std::string& publicHex, const std::string& message,
                             const std::string& signatureHex, std::string* err) {
  std::string pk;
  if (!fromHex(publicHex, crypto_sign_PUBLICKEYBYTES, &pk)) {
    setError(err, "bad public key");
    return false;
  }
  std::string sig;
  if (!fromHex(signatureHex, crypto_sign_BYTES, &sig)) {
    setError(err, "bad signature");
    return false;
  }
  if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(sig.data()),
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size(),
                                  reinterpret_cast<const unsigned char*>(pk.data())) != 0) {
    setError(err, "signature does not verify");
    return false;
  }
  return true;
}

}  // namespace vorn
