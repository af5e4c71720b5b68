#include "storage/storage_provider.hpp"

#include "util/hex.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace vorn {
namespace {

const char kMagic[8] = {'V', 'O', 'R', 'N', 'E', 'N', 'C', '1'};
const size_t kNonceOffset = sizeof kMagic;
const size_t kBoxOffset = kNonceOffset + crypto_secretbox_NONCEBYTES;
const size_t kEnvelopeOverhead = kBoxOffset + crypto_secretbox_MACBYTES;  // 48

static_assert(kEnvelopeOverhead == 48, "envelope layout");

const auto* bytesOf(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Seals every object written to the wrapped store ("VORNENC1", nonce, secretbox)
// and names chunks by a keyed BLAKE2b of their id.
class EncryptedProvider : public StorageProvider {
 public:
  EncryptedProvider(std::unique_ptr<StorageProvider> inner, const std::string& key)
      : inner_(std::move(inner)), key_(key) {}

  ~EncryptedProvider() override { sodium_memzero(&key_[0], key_.size()); }

  bool put(const std::string& key, const std::string& data, std::string* err) override {
    if (!keyUsable(err)) return false;
    std::string envelope(data.size() + kEnvelopeOverhead, '\0');
    auto* out = reinterpret_cast<unsigned char*>(&envelope[0]);
    std::memcpy(out, kMagic, sizeof kMagic);
    randombytes_buf(out + kNonceOffset, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(out + kBoxOffset, bytesOf(data), data.size(), out + kNonceOffset,
                          bytesOf(key_));
    return inner_->put(key, envelope, err);
  }

  using StorageProvider::get;

  bool get(const std::string& key, std::string* out, std::string* err,
           ByteCounter* received) override {
    if (!keyUsable(err)) return false;
    std::string envelope;
    if (!inner_->get(key, &envelope, err, received)) return false;
    if (envelope.size() < kEnvelopeOverhead ||
        std::memcmp(envelope.data(), kMagic, sizeof kMagic) != 0) {
      if (err) *err = key + ": not an encrypted object (wrong store, or written without a key)";
      return false;
    }
    const auto* in = bytesOf(envelope);
    // Opened in place behind what *out already holds: get appends.
    const size_t before = out->size();
    out->resize(before + envelope.size() - kEnvelopeOverhead);
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(&(*out)[before]),
                                   in + kBoxOffset, envelope.size() - kBoxOffset, in + kNonceOffset,
                                   bytesOf(key_)) != 0) {
      out->resize(before);
      if (err) *err = key + ": decryption failed (wrong key, or the object is corrupt)";
      return false;
    }
    return true;
  }

  HeadResult head(const std::string& key, std::string* err) override {
    return inner_->head(key, err);
  }

  bool list(const std::string& prefix, std::vector<ObjectEntry>* out, std::string* err) override {
    return inner_->list(prefix, out, err);
  }

  bool remove(const std::string& key, std::string* err) override {
    return inner_->remove(key, err);
  }

  // Envelopes do not depend on their key, so a copy stays sealed and opens
  // under its new key.
  bool copy(const std::string& from, const std::string& to, bool* fromMissing,
            std::string* err) override {
    return inner_->copy(from, to, fromMissing, err);
  }

  std::string chunkKey(const std::string& id) const override {
    unsigned char digest[32];
    // A key of the wrong size is refused by put/get; naming just has to stay in bounds.
    crypto_generichash(digest, sizeof digest, bytesOf(id), id.size(), bytesOf(key_),
                       std::min<size_t>(key_.size(), crypto_generichash_KEYBYTES_MAX));
    const std::string name = toHex(digest, sizeof digest);
    return "chunks/" + name.substr(0, 2) + "/" + name;
  }

 private:
  // The cipher reads exactly 32 key bytes; anything else must not reach it.
  bool keyUsable(std::string* err) const {
    if (key_.size() == crypto_secretbox_KEYBYTES) return true;
    if (err) *err = "store key must be 32 bytes";
    return false;
  }

  std::unique_ptr<StorageProvider> inner_;
  std::string key_;
};

}  // namespace

std::unique_ptr<StorageProvider> makeEncryptedProvider(std::unique_ptr<StorageProvider> inner,
                                                       const std::string& storeKey) {
  return std::make_unique<EncryptedProvider>(std::move(inner), storeKey);
}

}  // namespace vorn
