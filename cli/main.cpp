// corvane-vorn: entry point and verb dispatch.

#include "cli_common.hpp"
#include "commands.hpp"
#include "usage.hpp"

#include "util/crypt_key.hpp"
#include "util/startup.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Handler = int (*)(int, char**);

struct Verb {
  const char* name;
  Handler handler;
};

int versionCmd(int, char**) {
  std::printf("%s\n", vorn::bannerText().c_str());
  return 0;
}

const Verb kVerbs[] = {
    {"crypt-keygen", vorn::cryptKeygenCmd},
    {"version", versionCmd},
    {"storage", vorn::storageCmd},
    {"chunk", vorn::chunkCmd},
    {"keygen", vorn::keygenCmd},
    {"push", vorn::pushCmd},
    {"sync", vorn::syncCmd},
    {"verify", vorn::verifyCmd},
    {"channel", vorn::channelCmd},
    {"gc", vorn::gcCmd},
    {"presign", vorn::presignCmd},
    {"sign-sync", vorn::signSyncCmd},
};

}  // namespace

int main(int argc, char** argv) {
  vorn::initLibraries();

  const char* envKey = std::getenv("VORN_CRYPT_KEY");
  std::string keyText = envKey ? envKey : "";

  // --crypt is global: it is taken out wherever it stands, so no handler sees it.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--crypt") == 0 && i + 1 < argc) {
      keyText = argv[++i];
      continue;
    }
    args.push_back(argv[i]);
  }

  if (!keyText.empty()) {
    std::string err;
    if (!vorn::parseCryptKey(keyText, &vorn::storeKey, &err)) {
      std::fprintf(stderr, "--crypt: %s\n", err.c_str());
      return 2;
    }
  }

  if (args.size() < 2) return vorn::printUsage();
  for (const Verb& verb : kVerbs) {
    if (std::strcmp(args[1], verb.name) == 0) {
      return verb.handler(static_cast<int>(args.size() - 1), args.data() + 1);
    }
  }
  return vorn::printUsage();
}
