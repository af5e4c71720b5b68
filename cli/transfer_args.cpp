#include "transfer_args.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vorn {
namespace {

int nonNegative(const std::string& text) { return std::max(0, std::atoi(text.c_str())); }

void printRetry(const std::string& line) {
  // A progress line may be on the terminal; this one replaces it and stays.
  std::fprintf(stderr, "\r%-72s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

std::set<std::string> withTransferOptions(std::set<std::string> valueNames) {
  valueNames.insert({"--jobs", "--timeout", "--retries"});
  return valueNames;
}

TransferSettings transferSettingsFrom(const ScannedArgs* args) {
  const auto setting = [args](const char* option, const char* variable) {
    const std::string fromEnv = envText(variable);
    return args ? args->value(option, fromEnv) : fromEnv;
  };
  TransferSettings settings;
  settings.jobs = std::min(std::max(std::atoi(setting("--jobs", "VORN_JOBS").c_str()), 1), kMaxJobs);
  settings.timeoutSeconds = nonNegative(setting("--timeout", "VORN_TIMEOUT"));
  settings.retries = nonNegative(setting("--retries", "VORN_RETRIES"));
  settings.onRetry = printRetry;
  return settings;
}

}  // namespace vorn
