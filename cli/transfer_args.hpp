#pragma once
// The options that shape requests rather than results: --jobs, --timeout,
// --retries and --ca-bundle, each defaulting to its environment variable.

#include "arg_scan.hpp"

#include "storage/transfer_settings.hpp"

#include <set>
#include <string>

namespace vorn {

// The value options above, for a handler's scanArgs call.
std::set<std::string> withTransferOptions(std::set<std::string> valueNames);

// The command's transfer settings into *settings: VORN_JOBS, VORN_TIMEOUT,
// VORN_RETRIES and VORN_CA_BUNDLE, each replaced by its option where args gave
// it (null args: the variables alone, for the verbs that scan no options).
// Retry lines go to standard error. Jobs are read as by atoi, below 1 meaning
// 1 and capped at kMaxJobs so a typo cannot start thousands of threads.
// The CA bundle is a PEM file or a directory of hashed certificates; without
// one, SSL_CERT_FILE and SSL_CERT_DIR count, as for OpenSSL's own tools.
// False, after one "ca-bundle: ..." line on standard error, when a CA path
// holds no certificate: the handler then ends with status 2, before any request.
bool transferSettingsFrom(const ScannedArgs* args, TransferSettings* settings);

constexpr int kMaxJobs = 64;

}  // namespace vorn
