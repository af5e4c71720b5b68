#include "util/crypt_key.hpp"

#include "util/hex.hpp"

#include <sodium.h>

#include <fstream>

namespace vorn {
namespace {

// A key file holds 64 digits and a line end; nothing longer is read.
constexpr size_t kMaxKeyFileBytes = 4096;

}  // namespace

bool parseCryptKey(const std::string& keyArg, std::string* keyOut, std::string* err) {
  std::string text = keyArg;
  std::ifstream file(keyArg, std::ios::binary);
  if (file) {
    // read() turns a directory's read error into a bad stream (iterators would
    // throw), and the bound stops a device that never ends.
    std::string content(kMaxKeyFileBytes + 1, '\0');
    file.read(&content[0], static_cast<std::streamsize>(content.size()));
    if (!file.bad()) {
      content.resize(static_cast<size_t>(file.gcount()));
      text.swap(content);
    }
    sodium_memzero(&content[0], content.size());
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  std::string raw;
  bool ok = fromHex(text, 32, &raw);
  sodium_memzero(&text[0], text.size());
  if (!ok) {
    if (err) *err = "encryption key must be 64 hex chars (or a file containing them)";
    return false;
  }
  if (keyOut) *keyOut = raw;
  sodium_memzero(&raw[0], raw.size());
  return true;
}

std::string cryptKeygen() {
  unsigned char raw[32];
  randombytes_buf(raw, sizeof raw);
  std::string hex = toHex(raw, sizeof raw);
  sodium_memzero(raw, sizeof raw);
  return hex;
}

}  // namespace vorn
