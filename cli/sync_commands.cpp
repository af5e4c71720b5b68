#include "commands.hpp"
#include "usage.hpp"

namespace vorn {

// Not built yet: answers with the usage text.
int syncCmd(int, char**) { return printUsage(); }

// Not built yet: answers with the usage text.
int verifyCmd(int, char**) { return printUsage(); }

}  // namespace vorn
