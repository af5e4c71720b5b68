// The encrypted store layer over an in-memory store: the envelope is checked
// byte for byte and opened here with libsodium directly, independently of the
// provider's own code.

#include "storage/storage_provider.hpp"
#include "util/hex.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/memory_store.hpp"
#include "support/test_data.hpp"

#include <set>

using namespace vorn;
using vorn_test::MemoryStore;

[[maybe_unused]] static const int kSodiumReady = sodium_init();

namespace {

const std::string kCorrupt = ": decryption failed (wrong key, or the object is corrupt)";
const std::string kNotEnvelope =
    ": not an encrypted object (wrong store, or written without a key)";

std::string keyFromSeed(uint64_t seed) { return vorn_test::seededBytes(32, seed); }

// The encrypted layer over a MemoryStore the test can still look into.
struct Stack {
  MemoryStore* inner;
  std::unique_ptr<StorageProvider> store;

  explicit Stack(const std::string& key) {
    auto memory = std::make_unique<MemoryStore>();
    inner = memory.get();
    store = makeEncryptedProvider(std::move(memory), key);
  }
  // Reads key through the layer; the error text, or "" when it opened.
  std::string getError(const std::string& key, std::string* out) {
    std::string err;
    return store->get(key, out, &err) ? std::string() : err;
  }
};

// Opens an envelope with libsodium alone; false when it does not open.
bool openIndependently(const std::string& envelope, const std::string& key, std::string* plain) {
  if (envelope.size() < 48 || envelope.compare(0, 8, "VORNENC1") != 0) return false;
  plain->assign(envelope.size() - 48, '\0');
  const auto* in = reinterpret_cast<const unsigned char*>(envelope.data());
  return crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(&(*plain)[0]), in + 32,
                                    envelope.size() - 32, in + 8,
                                    reinterpret_cast<const unsigned char*>(key.data())) == 0;
}

}  // namespace

TEST(EncryptedEnvelope, LayoutOpensWithLibsodiumAloneAndRoundTrips) {
  const std::string key = keyFromSeed(1);
  Stack s(key);
  for (const std::string& plain : {vorn_test::seededBytes(100000, 7), std::string(),
                                   std::string("\0\x01\x02\0\xff tail", 10)}) {
    ASSERT_TRUE(s.store->put("chunks/ab/x", plain, nullptr));
    const std::string& stored = s.inner->objects.at("chunks/ab/x");
    EXPECT_EQ(stored.size(), plain.size() + 48);
    std::string opened, out = "held before|";
    ASSERT_TRUE(openIndependently(stored, key, &opened));
    EXPECT_EQ(opened, plain);
    EXPECT_EQ(s.getError("chunks/ab/x", &out), "");
    EXPECT_EQ(out, "held before|" + plain) << "get appends";
  }
  std::set<std::string> nonces;
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(s.store->put("same", "same bytes", nullptr));
    nonces.insert(s.inner->objects.at("same").substr(8, 24));
  }
  EXPECT_EQ(nonces.size(), 8u) << "a fresh nonce for every write";
}

TEST(EncryptedRejects, WrongKeyFlippedBytesAndPlainObjects) {
  Stack s(keyFromSeed(7)), other(keyFromSeed(6));
  ASSERT_TRUE(s.store->put("k", "some plaintext of moderate length", nullptr));
  const std::string good = s.inner->objects.at("k");
  std::string out = "kept";
  other.inner->objects = s.inner->objects;
  EXPECT_EQ(other.getError("k", &out), "k" + kCorrupt);
  // Nonce, authenticator and ciphertext bytes: each change breaks the box.
  for (size_t at : {size_t(8), size_t(31), size_t(32), size_t(47), size_t(48), good.size() - 1}) {
    s.inner->objects["k"] = good;
    s.inner->objects["k"][at] ^= 0x01;
    EXPECT_EQ(s.getError("k", &out), "k" + kCorrupt) << "byte " << at;
  }
  EXPECT_EQ(out, "kept");
  // A changed magic, a plain object, a short envelope and nothing at all are
  // no envelope; the output is left alone.
  s.inner->objects = {{"magic", "X" + good.substr(1)},
                      {"plain", "just a plain object, long enough to pass the size test........"},
                      {"short", "VORNENC1" + std::string(39, '\0')},
                      {"nothing", ""}};
  for (const char* key : {"magic", "plain", "short", "nothing"}) {
    out = "kept";
    EXPECT_EQ(s.getError(key, &out), key + kNotEnvelope);
    EXPECT_EQ(out, "kept") << key;
  }
}

TEST(EncryptedPassThrough, InnerFailuresShowThroughUnchanged) {
  Stack s(keyFromSeed(10));
  std::string out, err;
  EXPECT_EQ(s.getError("missing", &out), "GET missing -> HTTP 404 ");
  s.inner->failWhen = [](const std::string&, const std::string&) { return true; };
  EXPECT_FALSE(s.store->put("k", "x", &err));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
}

TEST(EncryptedChunkNames, KeyedDigestStablePerKeyDifferentAcrossKeys) {
  const std::string key = keyFromSeed(11);
  Stack a(key), a2(key), b(keyFromSeed(13));
  const std::string id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  unsigned char digest[32];
  crypto_generichash(digest, 32, reinterpret_cast<const unsigned char*>(id.data()), id.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  const std::string name = toHex(digest, 32);
  EXPECT_EQ(a.store->chunkKey(id), "chunks/" + name.substr(0, 2) + "/" + name);
  EXPECT_EQ(a.store->chunkKey(id), a2.store->chunkKey(id));
  EXPECT_NE(a.store->chunkKey(id), b.store->chunkKey(id));
  // Plain names, also of short and empty ids.
  EXPECT_EQ(plainChunkKey(id), "chunks/01/" + id);
  EXPECT_EQ(plainChunkKey("a") + plainChunkKey(""), "chunks/a/achunks//");
}
