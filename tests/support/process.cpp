#include "support/process.hpp"

#include "support/files.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <stdexcept>

extern char** environ;

namespace vorn_test {
namespace {

// Variables other than VORN_* that change where requests go or whom they trust.
const std::set<std::string> kTransportVariables{
    "CORVANE_TOKEN", "SSL_CERT_FILE", "SSL_CERT_DIR", "http_proxy", "https_proxy",
    "HTTPS_PROXY",   "all_proxy",     "ALL_PROXY",    "no_proxy",   "NO_PROXY"};

// The test's environment without VORN_* (but VORN_JOBS, which the "jobs4:"
// variants set for every run) and the variables above, then the changes.
std::vector<std::string> environment(const EnvChanges& changes) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    const std::string name = entry.substr(0, eq);
    if (eq == std::string::npos || kTransportVariables.count(name) ||
        (name.rfind("VORN_", 0) == 0 && name != "VORN_JOBS"))
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

// No output may hold a secret that this or an earlier run of the test program
// was given: a store secret, an encryption key, a signing key's private half,
// a bearer token. crypt-keygen is left out: showing the fresh key once is its job.
void expectNoSecretPrinted(const std::vector<std::string>& args, const EnvChanges& env,
                           const ProcessResult& result) {
  static std::set<std::string> secrets;
  const auto note = [](const std::string& given) {
    // A key given as a file: its content is the secret, its name is not.
    std::error_code ec;
    std::string value = std::filesystem::is_regular_file(given, ec) ? slurp(given)
                        : given.find('/') == std::string::npos      ? given
                                                                    : "";
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
      value.pop_back();
    if (value.size() >= 8) secrets.insert(value);
    // A signing key's first half is its private seed; the second is public.
    if (value.size() == 128) secrets.insert(value.substr(0, 64));
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
  if (std::count(args.begin(), args.end(), "crypt-keygen")) return;
  const std::string printed = result.out + result.err;
  for (const auto& secret : secrets)  // named by its start only: the report must not leak it
    EXPECT_EQ(printed.find(secret), std::string::npos)
        << "a secret starting \"" << secret.substr(0, 4) << "\" was printed";
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

ProcessResult runCli(const std::vector<std::string>& args, const EnvChanges& env,
                     const std::function<bool()>& killWhen) {
  std::vector<std::string> argv{VORN_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult result = run(argv, environment(env), 300, killWhen);
  expectNoSecretPrinted(args, env, result);
  return result;
}

}  // namespace vorn_test
