#pragma once
// Lowercase hex text of binary values, read back strictly.

#include <cstddef>
#include <string>

namespace vorn {

// 2 * length lowercase hex characters, high nibble first.
std::string toHex(const void* bytes, size_t length);
inline std::string toHex(const std::string& bytes) { return toHex(bytes.data(), bytes.size()); }

// Decodes exactly expectedBytes bytes from text. Accepts hex digits of either
// case and nothing else: no whitespace, no prefix, no other length. On failure
// out is left unchanged.
bool fromHex(const std::string& text, size_t expectedBytes, std::string* out);

}  // namespace vorn
