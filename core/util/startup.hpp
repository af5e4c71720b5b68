#pragma once
// Process start-up: the libraries' global state and the version banner.

#include <string>

namespace vorn {

// The program's own version text.
inline constexpr const char* kVersion = "0.1";
// User agent of every HTTP request.
inline constexpr const char* kUserAgent = "corvane-vorn/0.1";

// Initialises libsodium (aborting the process if it cannot work) and libcurl.
// Called once, first thing in main.
void initLibraries();

// "vorn-core 0.1  |  libcurl <curl_version()>  |  libsodium <version>".
std::string bannerText();

}  // namespace vorn
