#include "commands.hpp"
#include "usage.hpp"

namespace vorn {

// Not built yet: answers with the usage text.
int storageCmd(int, char**) { return printUsage(); }

// Not built yet: answers with the usage text.
int presignCmd(int, char**) { return printUsage(); }

}  // namespace vorn
