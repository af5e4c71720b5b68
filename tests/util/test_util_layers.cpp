// The BLAKE3 build must carry its SIMD paths: without them hashing is about
// ten times slower. These symbols exist only when the assembly was linked in.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

extern "C" {
void blake3_hash_many_avx2(const uint8_t* const* inputs, size_t num_inputs, size_t blocks,
                           const uint32_t key[8], uint64_t counter, bool increment_counter,
                           uint8_t flags, uint8_t flags_start, uint8_t flags_end, uint8_t* out);
void blake3_hash_many_sse41(const uint8_t* const* inputs, size_t num_inputs, size_t blocks,
                            const uint32_t key[8], uint64_t counter, bool increment_counter,
                            uint8_t flags, uint8_t flags_start, uint8_t flags_end, uint8_t* out);
}

#if defined(__x86_64__)
TEST(Blake3Build, SimdAssemblyIsLinkedIn) {
  volatile auto avx2 = &blake3_hash_many_avx2;
  volatile auto sse41 = &blake3_hash_many_sse41;
  EXPECT_NE(avx2, nullptr);
  EXPECT_NE(sse41, nullptr);
}
#endif
