#pragma once
// The options that shape requests rather than results: --jobs, --timeout and
// --retries, each defaulting to its environment variable.

#include "arg_scan.hpp"

#include "storage/transfer_settings.hpp"

#include <set>
#include <string>

namespace vorn {

// The value options above, for a handler's scanArgs call.
std::set<std::string> withTransferOptions(std::set<std::string> valueNames);

// The command's transfer settings: VORN_JOBS, VORN_TIMEOUT and VORN_RETRIES,
// each replaced by its option where args gave it (null args: the variables
// alone, for the verbs that scan no options). Retry lines go to standard
// error. Jobs are read as by atoi, below 1 meaning 1 and capped at kMaxJobs so
// a typo cannot start thousands of threads.
TransferSettings transferSettingsFrom(const ScannedArgs* args);

constexpr int kMaxJobs = 64;

}  // namespace vorn
