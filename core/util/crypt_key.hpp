#pragma once
// The 32-byte store key of the encrypted store and its 64-hex-character text.

#include <string>

namespace vorn {

// keyArg names a key file or is the key's hex text; a readable file of that name
// wins (a directory is not one; at most 4096 bytes of a file are read). Trailing
// CR, LF and spaces are trimmed; the rest must be exactly 64 hex digits. On
// success keyOut holds the 32 raw bytes.
bool parseCryptKey(const std::string& keyArg, std::string* keyOut, std::string* err);

// A fresh random store key as 64 lowercase hex characters.
std::string cryptKeygen();

}  // namespace vorn
