#include "transfer_args.hpp"

#include "storage/transfer_options.hpp"

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

void applyTransferEnvironment() {
  TransferOptions options;
  options.timeoutSeconds = nonNegative(envText("VORN_TIMEOUT"));
  options.retries = nonNegative(envText("VORN_RETRIES"));
  options.onRetry = printRetry;
  setTransferOptions(options);
}

void applyTransferArgs(const ScannedArgs& args) {
  TransferOptions options = transferOptions();
  options.timeoutSeconds =
      nonNegative(args.value("--timeout", std::to_string(options.timeoutSeconds)));
  options.retries = nonNegative(args.value("--retries", std::to_string(options.retries)));
  setTransferOptions(options);
}

int jobsFrom(const ScannedArgs& args) {
  const int jobs = std::atoi(args.value("--jobs", envText("VORN_JOBS")).c_str());
  return std::min(std::max(jobs, 1), kMaxJobs);
}

}  // namespace vorn
