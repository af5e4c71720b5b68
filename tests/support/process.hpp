#pragma once
// Runs a program as a user would and captures what it says.

#include <sys/types.h>

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

// Runs argv (argv[0] is the program path); killed after timeoutSeconds.
ProcessResult runProcess(const std::vector<std::string>& argv, const EnvChanges& env = {},
                         int timeoutSeconds = 120);

// Runs the corvane-vorn binary. Every VORN_* variable and CORVANE_TOKEN of the
// test's own environment is removed first, so only env applies.
ProcessResult runCli(const std::vector<std::string>& args, const EnvChanges& env = {});

// The program started in the background (environment as runCli), so that a
// test can act while it runs; killed when the object goes away.
class CliProcess {
 public:
  CliProcess(const std::vector<std::string>& args, const EnvChanges& env = {});
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Sends SIGKILL (no chance to clean up), then reaps it.
  ProcessResult kill9();

 private:
  std::vector<std::string> args_;
  EnvChanges env_;
  std::string outPath_, errPath_;
  pid_t pid_ = -1;
  std::optional<ProcessResult> done_;
};

}  // namespace vorn_test
