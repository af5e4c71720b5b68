#include "commands.hpp"
#include "usage.hpp"

namespace vorn {

// Not built yet: answers with the usage text.
int channelCmd(int, char**) { return printUsage(); }

// Not built yet: answers with the usage text.
int gcCmd(int, char**) { return printUsage(); }

// Not built yet: answers with the usage text.
int signSyncCmd(int, char**) { return printUsage(); }

}  // namespace vorn
