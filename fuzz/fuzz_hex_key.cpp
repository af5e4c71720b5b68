// Hex text and the store key argument. Input: one mode byte, then the text.
// Odd mode bytes write the text to a key file and pass its path; even ones
// pass the text itself. The process works inside an empty directory, and text
// with a "/" is never passed as is, so no argument can name a file of the
// machine (only "." and "..": directories, so the text itself is the key text).

#include "fuzz_support.hpp"

#include "util/crypt_key.hpp"
#include "util/hex.hpp"

#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

struct Sandbox {
  vorn_fuzz::ScratchDir scratch;
  std::string keyFile;
  Sandbox() {
    keyFile = (scratch.path() / "files" / "store.key").string();
    std::filesystem::create_directories(scratch.path() / "empty");
    FUZZ_CHECK(chdir((scratch.path() / "empty").c_str()) == 0);
  }
};

const Sandbox& sandbox() {
  static Sandbox instance;
  return instance;
}

std::string lowered(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool allHex(const std::string& text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void checkFromHex(const std::string& text, size_t expectedBytes) {
  std::string out = "unchanged";
  const bool ok = vorn::fromHex(text, expectedBytes, &out);
  FUZZ_CHECK(ok == (text.size() == 2 * expectedBytes && allHex(text)));
  FUZZ_CHECK(ok == vorn::fromHex(text, expectedBytes, nullptr));
  if (ok) {
    FUZZ_CHECK(out.size() == expectedBytes && vorn::toHex(out) == lowered(text));
  } else {
    FUZZ_CHECK(out == "unchanged");
  }
}

// parseCryptKey's reading of the key text: trailing CR, LF and spaces dropped.
std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

void checkCryptKey(const std::string& argument, const std::string& keyText) {
  std::string key = "unchanged";
  std::string err;
  const bool ok = vorn::parseCryptKey(argument, &key, &err);
  const std::string expected = trimmed(keyText);
  FUZZ_CHECK(ok == (expected.size() == 64 && allHex(expected)));
  if (ok) {
    FUZZ_CHECK(key.size() == 32 && vorn::toHex(key) == lowered(expected));
  } else {
    FUZZ_CHECK(key == "unchanged");
    FUZZ_CHECK(err == "encryption key must be 64 hex chars (or a file containing them)");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Sandbox& box = sandbox();
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  for (size_t bytes : {text.size() / 2, (text.size() + 1) / 2, size_t{0}, size_t{16}, size_t{32}})
    checkFromHex(text, bytes);

  if (data[0] & 1) {
    vorn_fuzz::writeBytes(box.keyFile, text);
    checkCryptKey(box.keyFile, text);
  } else if (text.find('/') == std::string::npos) {
    checkCryptKey(text, text);
  }
  return 0;
}
