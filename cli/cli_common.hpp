#pragma once
// Process-wide state and the file helpers the handlers share.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn {

// The 32-byte store key given by --crypt or VORN_CRYPT_KEY; empty for the
// plain store. Written once by main before dispatch.
extern std::string storeKey;

// Replaces *out with the whole file. False when it cannot be opened or read
// (a directory, say): an unreadable input must not pass for an empty one.
bool readFile(const std::string& path, std::string* out);

// Creates or truncates the file and writes all bytes. No directories made.
bool writeFile(const std::string& path, const std::string& data);

// writeFile for secrets: the file is left readable and writable by its owner only.
bool writePrivateFile(const std::string& path, const std::string& data);

// A key argument is a file holding the key or the key text itself; either way
// surrounding space, tab, CR and LF are trimmed.
std::string keyTextFromArg(const std::string& arg);

// A whole number of at most maxDigits digits (so it cannot overflow) into
// *value. False for anything else: empty text, a sign, a space, a unit.
bool parseWholeNumber(const std::string& text, size_t maxDigits, int64_t* value);

// Percentage saved going from before to after, 0.0 when before is 0.
double savedPercent(double before, double after);

}  // namespace vorn
