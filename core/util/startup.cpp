#include "util/startup.hpp"

#include <curl/curl.h>
#include <sodium.h>

#include <cstdio>
#include <cstdlib>

namespace vorn {

void initLibraries() {
  if (sodium_init() < 0) {
    std::fputs("vorn-core: libsodium failed to initialise\n", stderr);
    std::abort();
  }
  // The matching global clean-up is left to process exit.
  curl_global_init(CURL_GLOBAL_ALL);
}

std::string bannerText() {
  std::string text = "vorn-core ";
  text += kVersion;
  text += "  |  libcurl ";
  text += curl_version();
  text += "  |  libsodium ";
  text += sodium_version_string();
  return text;
}

}  // namespace vorn
