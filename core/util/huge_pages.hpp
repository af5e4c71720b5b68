#pragma once
// Large buffers that are about to be filled: fresh memory otherwise costs a
// page fault per 4 KiB, which shows on virtualised machines.

#include <cstddef>

namespace vorn {

// Asks for 2 MiB pages under the whole 2 MiB-aligned part of the range.
// Only advice: does nothing where the system has no such pages.
void adviseHugePages(void* data, size_t size);

}  // namespace vorn
