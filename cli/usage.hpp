#pragma once

namespace vorn {

// Writes the usage text to standard error; returns exit status 2.
int printUsage();

}  // namespace vorn
