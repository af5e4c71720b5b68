#include "util/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace vorn {

void adviseHugePages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  const uintptr_t huge = uintptr_t{1} << 21;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vorn
