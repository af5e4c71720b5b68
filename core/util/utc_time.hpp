#pragma once
// Instants as the messages and receipts show them.

#include <cstdint>
#include <string>

namespace vorn {

// Seconds since 1970-01-01 00:00:00 UTC as ISO 8601 text in UTC,
// "2026-12-07T16:45:27Z". Defined for every 64-bit value (the year is then
// simply wider, or negative), so text from outside can always be shown.
std::string utcText(int64_t seconds);

}  // namespace vorn
