#include "util/hex.hpp"

namespace vorn {
namespace {

int nibbleValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string toHex(const void* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  const auto* in = static_cast<const unsigned char*>(bytes);
  std::string out(length * 2, '\0');
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = digits[in[i] >> 4];
    out[2 * i + 1] = digits[in[i] & 0x0f];
  }
  return out;
}

bool fromHex(const std::string& text, size_t expectedBytes, std::string* out) {
  if (text.size() != expectedBytes * 2) return false;
  std::string bytes(expectedBytes, '\0');
  for (size_t i = 0; i < expectedBytes; ++i) {
    int hi = nibbleValue(text[2 * i]);
    int lo = nibbleValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<char>((hi << 4) | lo);
  }
  if (out) out->swap(bytes);
  return true;
}

}  // namespace vorn
