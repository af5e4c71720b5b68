#include "support/process.hpp"

#include "support/files.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace vorn_test {
namespace {

std::vector<std::string> environment(const EnvChanges& changes, bool dropVornVars) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    const std::string name = entry.substr(0, eq);
    if (eq == std::string::npos ||
        (dropVornVars && (name.rfind("VORN_", 0) == 0 || name == "CORVANE_TOKEN")))
      continue;
    vars[name] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value)
      vars[name] = *value;
    else
      vars.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

// With CORVANE_TEST_OUTPUT_DIR set, every program output of the test run is
// kept there beside the secrets that run was given, so that a last test can
// show that no secret was ever printed. crypt-keygen is left out: showing the
// fresh key once is its job.
void recordRun(const std::vector<std::string>& args, const EnvChanges& env,
               const ProcessResult& result) {
  const char* dir = std::getenv("CORVANE_TEST_OUTPUT_DIR");
  if (!dir || !*dir || std::count(args.begin(), args.end(), "crypt-keygen")) return;
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  const std::string base = std::string(dir) + "/" + std::to_string(getpid());
  std::ofstream secrets(base + ".secrets", std::ios::app);
  const auto note = [&secrets](const std::string& given) {
    // A key given as a file: its content is the secret, its name is not.
    std::error_code ec;
    std::string value = std::filesystem::is_regular_file(given, ec) ? slurp(given)
                        : given.find('/') == std::string::npos      ? given
                                                                    : "";
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
      value.pop_back();
    if (value.size() >= 8) secrets << value << "\n";
    // A signing key's first half is its private seed; the second is public.
    if (value.size() == 128) secrets << value.substr(0, 64) << "\n";
  };
  for (const char* name : {"VORN_S3_SECRET", "VORN_CRYPT_KEY", "VORN_SIGN_KEY",
                           "VORN_REGISTER_TOKEN", "CORVANE_TOKEN"}) {
    const auto it = env.find(name);
    if (it != env.end() && it->second) note(*it->second);
  }
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--crypt" || args[i] == "--sign" || args[i] == "--token" ||
        args[i] == "--register-token")
      note(args[i + 1]);
  std::ofstream(base + ".outputs", std::ios::app | std::ios::binary)
      << "--- status " << result.status << "\n"
      << result.out << result.err;
}

// Runs argv with standard input from /dev/null and both outputs in files.
ProcessResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  int timeoutSeconds, std::function<bool()> killWhen = {}) {
  const TempDir outputs;
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cargv.push_back(nullptr);
  cenv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(open((outputs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open((outputs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    dup2(open("/dev/null", O_RDONLY), 0);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int wstatus = 0;
  bool timedOut = false;
  while (waitpid(pid, &wstatus, WNOHANG) == 0) {
    if ((timedOut = std::chrono::steady_clock::now() > deadline) || (killWhen && killWhen())) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      break;
    }
    usleep(2000);
  }
  ProcessResult result{WIFEXITED(wstatus)     ? WEXITSTATUS(wstatus)
                       : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus)
                                              : -1,
                       slurp(outputs / "out"), slurp(outputs / "err")};
  if (timedOut) result.err += "\n[test harness: killed after timeout]\n";
  return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const EnvChanges& env,
                         int timeoutSeconds) {
  return run(argv, environment(env, false), timeoutSeconds);
}

ProcessResult runCli(const std::vector<std::string>& args, const EnvChanges& env,
                     const std::function<bool()>& killWhen) {
  std::vector<std::string> argv{VORN_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult result = run(argv, environment(env, true), 300, killWhen);
  recordRun(args, env, result);
  return result;
}

}  // namespace vorn_test
