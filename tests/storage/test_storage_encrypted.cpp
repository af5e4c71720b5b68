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

TEST(EncryptedEnvelope, LayoutOpensWithLibsodiumAlone) {
  const std::string key = keyFromSeed(1);
  Stack s(key);
  const std::string plain = vorn_test::seededBytes(100000, 7);
  ASSERT_TRUE(s.store->put("chunks/ab/x", plain, nullptr));

  const std::string& stored = s.inner->objects.at("chunks/ab/x");
  ASSERT_EQ(stored.size(), plain.size() + 48);
  EXPECT_EQ(stored.substr(0, 8), "VORNENC1");
  EXPECT_EQ(stored.find(plain.substr(0, 64)), std::string::npos) << "plaintext visible in store";

  std::string opened;
  ASSERT_TRUE(openIndependently(stored, key, &opened));
  EXPECT_EQ(opened, plain);
}

TEST(EncryptedEnvelope, EmptyObjectIs48Bytes) {
  const std::string key = keyFromSeed(2);
  Stack s(key);
  ASSERT_TRUE(s.store->put("empty", "", nullptr));
  ASSERT_EQ(s.inner->objects.at("empty").size(), 48u);

  std::string opened = "junk";
  ASSERT_TRUE(openIndependently(s.inner->objects.at("empty"), key, &opened));
  EXPECT_EQ(opened, "");
  std::string out;
  ASSERT_TRUE(s.store->get("empty", &out, nullptr));
  EXPECT_EQ(out, "");
}

TEST(EncryptedEnvelope, NonceIsFreshForEveryWrite) {
  Stack s(keyFromSeed(3));
  std::set<std::string> nonces;
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(s.store->put("same", "same bytes", nullptr));
    nonces.insert(s.inner->objects.at("same").substr(8, 24));
  }
  EXPECT_EQ(nonces.size(), 8u);
}

TEST(EncryptedRoundTrip, BinaryContentWithNulBytes) {
  Stack s(keyFromSeed(4));
  const std::string plain("\0\x01\x02\0\xff tail", 10);
  ASSERT_TRUE(s.store->put("k", plain, nullptr));
  std::string out;
  std::string err;
  ASSERT_TRUE(s.store->get("k", &out, &err)) << err;
  EXPECT_EQ(out, plain);
}

TEST(EncryptedRejects, WrongKey) {
  Stack writer(keyFromSeed(5));
  ASSERT_TRUE(writer.store->put("chunks/aa/k", "secret data", nullptr));
  Stack reader(keyFromSeed(6));
  reader.inner->objects = writer.inner->objects;

  std::string out;
  std::string err;
  EXPECT_FALSE(reader.store->get("chunks/aa/k", &out, &err));
  EXPECT_EQ(err, "chunks/aa/k: decryption failed (wrong key, or the object is corrupt)");
  EXPECT_EQ(out, "");
}

TEST(EncryptedRejects, EveryFlippedRegionIsCaught) {
  const std::string key = keyFromSeed(7);
  Stack s(key);
  ASSERT_TRUE(s.store->put("k", "some plaintext of moderate length", nullptr));
  const std::string good = s.inner->objects.at("k");
  // Nonce, authenticator and ciphertext bytes: each change breaks the box.
  for (size_t at : {size_t(8), size_t(31), size_t(32), size_t(47), size_t(48), good.size() - 1}) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    s.inner->objects["k"] = bad;
    std::string out;
    std::string err;
    EXPECT_FALSE(s.store->get("k", &out, &err)) << "byte " << at;
    EXPECT_EQ(err, "k: decryption failed (wrong key, or the object is corrupt)") << "byte " << at;
    EXPECT_TRUE(out.empty());
  }
  // A changed magic is no envelope at all.
  std::string bad = good;
  bad[0] = 'X';
  s.inner->objects["k"] = bad;
  std::string err;
  std::string out = "kept";
  EXPECT_FALSE(s.store->get("k", &out, &err));
  EXPECT_EQ(err, "k: not an encrypted object (wrong store, or written without a key)");
  EXPECT_EQ(out, "kept");
}

TEST(EncryptedRejects, PlainObjectsAndShortEnvelopes) {
  Stack s(keyFromSeed(8));
  s.inner->objects["plain"] = "just a plain object, long enough to pass the size test........";
  s.inner->objects["short"] = std::string("VORNENC1") + std::string(39, '\0');
  s.inner->objects["nothing"] = "";
  for (const char* key : {"plain", "short", "nothing"}) {
    std::string out;
    std::string err;
    EXPECT_FALSE(s.store->get(key, &out, &err)) << key;
    EXPECT_EQ(err, std::string(key) +
                       ": not an encrypted object (wrong store, or written without a key)");
    EXPECT_EQ(out, "") << key;
  }
}

TEST(EncryptedRejects, InnerFailuresPassThroughUnchanged) {
  Stack s(keyFromSeed(9));
  std::string out;
  std::string err;
  EXPECT_FALSE(s.store->get("missing", &out, &err));
  EXPECT_EQ(err, "GET missing -> HTTP 404 ");

  s.inner->failWhen = [](const std::string&, const std::string&) { return true; };
  err.clear();
  EXPECT_FALSE(s.store->put("k", "x", &err));
  EXPECT_EQ(err, "curl: Couldn't connect to server");
  err.clear();
  EXPECT_EQ(s.store->head("k", &err).status, 0);
  EXPECT_EQ(err, "curl: Couldn't connect to server");
}

TEST(EncryptedPassThrough, HeadListRemoveSeeStoredForm) {
  Stack s(keyFromSeed(10));
  ASSERT_TRUE(s.store->put("channels/a/manifest.json", "12345", nullptr));
  const HeadResult h = s.store->head("channels/a/manifest.json", nullptr);
  EXPECT_TRUE(h.exists);
  EXPECT_EQ(h.size, 5 + 48);

  std::vector<ObjectEntry> entries{{"earlier", 1}};
  ASSERT_TRUE(s.store->list("channels/", &entries, nullptr));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "earlier");
  EXPECT_EQ(entries[1].key, "channels/a/manifest.json");
  EXPECT_EQ(entries[1].size, 53);

  ASSERT_TRUE(s.store->remove("channels/a/manifest.json", nullptr));
  EXPECT_TRUE(s.inner->objects.empty());
  EXPECT_EQ(s.inner->count("remove"), 1u);
}

TEST(EncryptedChunkNames, KeyedDigestOfTheIdText) {
  const std::string key = keyFromSeed(11);
  Stack s(key);
  const std::string id(64, 'a');
  unsigned char digest[32];
  crypto_generichash(digest, 32, reinterpret_cast<const unsigned char*>(id.data()), id.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  const std::string name = toHex(digest, 32);
  EXPECT_EQ(s.store->chunkKey(id), "chunks/" + name.substr(0, 2) + "/" + name);
}

TEST(EncryptedChunkNames, StablePerKeyDifferentAcrossKeys) {
  Stack a(keyFromSeed(12));
  Stack a2(keyFromSeed(12));
  Stack b(keyFromSeed(13));
  const std::string id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  EXPECT_EQ(a.store->chunkKey(id), a2.store->chunkKey(id));
  EXPECT_NE(a.store->chunkKey(id), b.store->chunkKey(id));
  EXPECT_NE(a.store->chunkKey(id), plainChunkKey(id));
  EXPECT_EQ(a.store->chunkKey(id).find(id), std::string::npos);
  EXPECT_EQ(a.store->chunkKey(id).size(), std::string("chunks/xx/").size() + 64);
}

TEST(PlainChunkKeys, ShortAndEmptyIds) {
  EXPECT_EQ(plainChunkKey("abcdef"), "chunks/ab/abcdef");
  EXPECT_EQ(plainChunkKey("a"), "chunks/a/a");
  EXPECT_EQ(plainChunkKey(""), "chunks//");
}
