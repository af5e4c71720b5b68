#include "util/crypt_key.hpp"

#include "util/hex.hpp"

#include <sodium.h>

#include <fstream>
#include <iterator>

namespace vorn {

bool parseCryptKey(const std::string& keyArg, std::string* keyOut, std::string* err) {
  std::string text = keyArg;
  std::ifstream file(keyArg, std::ios::binary);
  if (file) {
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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
