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

// Runs argv (argv[0] is the program path). Killed after timeoutSeconds.
ProcessResult runProcess(const std::vector<std::string>& argv, const EnvChanges& env = {},
                         const std::string& workDir = "", int timeoutSeconds = 120);

// Runs the corvane-vorn binary with the given arguments. Every VORN_* variable
// and CORVANE_TOKEN of the test's environment is removed first, so only env applies.
ProcessResult runCli(const std::vector<std::string>& args, const EnvChanges& env = {},
                     const std::string& workDir = "");

// Path of the corvane-vorn binary under test.
std::string cliPath();

// The program started in the background (environment as runCli), so a test
// can act while it runs: wait for it or kill it.
class CliProcess {
 public:
  CliProcess(const std::vector<std::string>& args, const EnvChanges& env = {});
  ~CliProcess();  // kills it if still running
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  bool running();
  // Sends SIGKILL (no chance to clean up), then reaps it.
  ProcessResult kill9();
  // Waits at most timeoutSeconds, then kills it.
  ProcessResult wait(int timeoutSeconds = 120);

 private:
  ProcessResult reap(int signal);
  void finish(int wstatus);  // keeps the result once the process has ended
  std::vector<std::string> args_;
  EnvChanges env_;
  std::string outPath_, errPath_;
  pid_t pid_ = -1;
  std::optional<ProcessResult> done_;
};

}  // namespace vorn_test
