// A chunk object from the store or a presigned URL, as sync decodes it.
// Input: 32 bytes of expected chunk id, then the object.

#include "fuzz_support.hpp"

#include "chunking/chunker.hpp"
#include "engine/chunk_codec.hpp"
#include "util/digest.hpp"
#include "util/hex.hpp"

#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const std::string kFailurePrefix = "chunk ";

// An independent zstd reading of the object: a standard frame (not a skippable
// or legacy one) of known size within the chunk limit that decompresses exactly.
bool independentDecode(const std::string& object, std::string* out) {
  if (object.size() < 4 || object.compare(0, 4, "\x28\xb5\x2f\xfd") != 0) return false;
  const unsigned long long declared = ZSTD_getFrameContentSize(object.data(), object.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR ||
      declared > vorn::ChunkParams().max) {
    return false;
  }
  out->assign(static_cast<size_t>(declared), '\0');
  const size_t produced = ZSTD_decompress(&(*out)[0], out->size(), object.data(), object.size());
  return !ZSTD_isError(produced) && produced == declared;
}

// Decodes object as id, checking the contract on both outcomes.
bool decodeAs(const std::string& object, const std::string& id, std::string* out) {
  *out = "left over from an earlier chunk";
  std::string err;
  const bool ok = vorn::decodeChunk(object, id, out, &err);
  if (ok) {
    FUZZ_CHECK(vorn::blake3Hex(*out) == id);
  } else {
    FUZZ_CHECK(out->empty());
    FUZZ_CHECK(err == kFailurePrefix + id + " failed to decode/verify (corrupt or tampered)");
  }
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 32) return 0;
  const std::string givenId = vorn::toHex(data, 32);
  const std::string object(reinterpret_cast<const char*>(data) + 32, size - 32);
  std::string out;

  // Matching a fuzzed id means a matching digest; decodeAs checks exactly that.
  decodeAs(object, givenId, &out);

  // The raw reading always works for the object's own digest.
  FUZZ_CHECK(decodeAs(object, vorn::blake3Hex(object), &out));

  // Whatever decompresses cleanly decodes under its own digest, to the same bytes.
  std::string expanded;
  if (independentDecode(object, &expanded)) {
    FUZZ_CHECK(decodeAs(object, vorn::blake3Hex(expanded), &out));
    FUZZ_CHECK(out == expanded);
  }
  return 0;
}
