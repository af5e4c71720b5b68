#pragma once
// The options that shape requests rather than results: --jobs, --timeout and
// --retries, each defaulting to its environment variable.

#include "arg_scan.hpp"

#include <set>
#include <string>

namespace vorn {

// The value options above, for a handler's scanArgs call.
std::set<std::string> withTransferOptions(std::set<std::string> valueNames);

// Sets the process's transfer options from VORN_TIMEOUT and VORN_RETRIES, and
// retry lines to standard error. Called once, before any handler runs.
void applyTransferEnvironment();

// Lets --timeout and --retries, where given, replace the environment's values.
void applyTransferArgs(const ScannedArgs& args);

// --jobs, else VORN_JOBS, else 1; as by atoi, below 1 meaning 1 and capped at
// kMaxJobs so a typo cannot start thousands of threads.
int jobsFrom(const ScannedArgs& args);

constexpr int kMaxJobs = 64;

}  // namespace vorn
