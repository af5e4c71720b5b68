#include "commands.hpp"
#include "usage.hpp"

namespace vorn {

// Not built yet: answers with the usage text.
int pushCmd(int, char**) { return printUsage(); }

}  // namespace vorn
