// A stored object as the encrypted store opens it: the input is what the
// wrapped store holds under one key.

#include "fuzz_support.hpp"

#include "storage/storage_provider.hpp"
#include "support/memory_store.hpp"
#include "util/hex.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

const std::string kMagic = "VORNENC1";
const size_t kOverhead = 48;  // magic, nonce, authentication tag
const std::string kBefore = "bytes already in the buffer|";

const std::string& storeKey() {
  static const std::string key = [] {
    std::string raw;
    FUZZ_CHECK(vorn::fromHex(vorn_fuzz::kStoreKeyHex, 32, &raw));
    return raw;
  }();
  return key;
}

bool isChunkKey(const std::string& key) {
  if (key.size() != 7 + 2 + 1 + 64 || key.compare(0, 7, "chunks/") != 0 || key[9] != '/')
    return false;
  std::string raw;
  return key.compare(7, 2, key, 10, 2) == 0 && vorn::fromHex(key.substr(10), 32, &raw) &&
         vorn::toHex(raw) == key.substr(10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string object(reinterpret_cast<const char*>(data), size);

  auto inner = std::make_unique<vorn_test::MemoryStore>();
  vorn_test::MemoryStore* held = inner.get();
  held->objects["obj"] = object;
  std::unique_ptr<vorn::StorageProvider> store =
      vorn::makeEncryptedProvider(std::move(inner), storeKey());

  std::string out = kBefore;
  std::string err;
  if (store->get("obj", &out, &err)) {
    // Opened: the sealed form of what was appended, and nothing else changed.
    FUZZ_CHECK(object.compare(0, kMagic.size(), kMagic) == 0);
    FUZZ_CHECK(out.size() == kBefore.size() + object.size() - kOverhead);
    FUZZ_CHECK(out.compare(0, kBefore.size(), kBefore) == 0);
  } else {
    FUZZ_CHECK(!err.empty() && err.find('\n') == std::string::npos);
    FUZZ_CHECK(err.compare(0, 5, "obj: ") == 0);
  }

  // head and list are the wrapped store's answers.
  const vorn::HeadResult head = store->head("obj", nullptr);
  FUZZ_CHECK(head.exists && head.size == static_cast<int64_t>(size));

  // Sealing the input as plaintext and opening it gives it back.
  FUZZ_CHECK(store->put("copy", object, nullptr));
  const std::string& sealed = held->objects["copy"];
  FUZZ_CHECK(sealed.size() == object.size() + kOverhead && sealed.compare(0, 8, kMagic) == 0);
  out = kBefore;
  FUZZ_CHECK(store->get("copy", &out, nullptr));
  FUZZ_CHECK(out == kBefore + object);

  FUZZ_CHECK(isChunkKey(store->chunkKey(object)));

  // A key of any other size is refused before the cipher sees it.
  if (size > 0 && data[0] % 64 != 32) {
    auto other = std::make_unique<vorn_test::MemoryStore>();
    vorn_test::MemoryStore* otherHeld = other.get();
    other->objects["obj"] = object;
    auto wrongKey = vorn::makeEncryptedProvider(std::move(other), std::string(data[0] % 64, 'k'));
    err.clear();
    FUZZ_CHECK(!wrongKey->get("obj", &out, &err) && err == "store key must be 32 bytes");
    FUZZ_CHECK(!wrongKey->put("new", object, nullptr) && otherHeld->objects.count("new") == 0);
    FUZZ_CHECK(isChunkKey(wrongKey->chunkKey(object)));
  }
  return 0;
}
