#pragma once
// Runs a program as a user would and captures what it says.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorn_test {

struct ProcessResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

// Environment changes on top of the test's own environment: a value sets the
// variable, std::nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Runs the corvane-vorn binary. Every VORN_* variable of the test's own
// environment but VORN_JOBS is removed first, and so are CORVANE_TOKEN, OpenSSL's
// certificate locations and libcurl's proxy variables, so only env applies. killWhen, when
// given, is asked every few milliseconds while the program runs; once it says
// so the program is killed outright (SIGKILL, no chance to clean up). A test
// fails when the output holds a secret given to this or an earlier run.
ProcessResult runCli(const std::vector<std::string>& args, const EnvChanges& env = {},
                     const std::function<bool()>& killWhen = {});

}  // namespace vorn_test
