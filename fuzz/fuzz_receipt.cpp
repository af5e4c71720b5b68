// Receipt text, as sync, verify and repair read it from a destination.

#include "fuzz_support.hpp"

#include "engine/receipt.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vorn::Receipt receipt;
  std::string problem;
  if (!vorn::parseReceipt(text, &receipt, &problem)) {
    FUZZ_CHECK(!problem.empty() && problem.find('\n') == std::string::npos);
    return 0;
  }
  // What is accepted is written back as the same receipt.
  vorn::Receipt again;
  FUZZ_CHECK(vorn::parseReceipt(vorn::receiptText(receipt), &again, &problem));
  FUZZ_CHECK(again.channel == receipt.channel && again.build == receipt.build);
  FUZZ_CHECK(again.created == receipt.created && again.expires == receipt.expires);
  FUZZ_CHECK(again.manifestDigest == receipt.manifestDigest);
  FUZZ_CHECK(again.publicKey == receipt.publicKey && again.downgrade == receipt.downgrade);
  return 0;
}
