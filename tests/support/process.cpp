#include "support/process.hpp"

#include "support/test_data.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorn_test {
namespace {

std::vector<std::string> buildEnvironment(const EnvChanges& changes, bool dropVornVars) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    std::string name = entry.substr(0, eq);
    if (dropVornVars && (name.rfind("VORN_", 0) == 0 || name == "CORVANE_TOKEN")) continue;
    vars[name] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

// Starts argv with standard input from /dev/null and the two outputs on the
// given descriptors.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& envList,
            const std::string& workDir, int outFd, int errFd) {
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  std::vector<char*> cenv;
  for (const auto& e : envList) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (outFd > 2) close(outFd);
    if (errFd > 2 && errFd != outFd) close(errFd);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  return pid;
}

int statusOf(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// With CORVANE_TEST_OUTPUT_DIR set, every program output of the test run is
// kept there, next to the secrets that run was given, so that a last test can
// show that no secret was ever printed. crypt-keygen is left out: showing the
// fresh key once is its job.
void recordRun(const std::vector<std::string>& args, const EnvChanges& env,
               const ProcessResult& result) {
  const char* dir = std::getenv("CORVANE_TEST_OUTPUT_DIR");
  if (!dir || !*dir) return;
  if (std::find(args.begin(), args.end(), "crypt-keygen") != args.end()) return;
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  const std::string base = std::string(dir) + "/" + std::to_string(getpid());
  std::vector<std::string> secrets;
  auto note = [&secrets](std::string value) {
    value = trimmed(value);
    if (value.size() >= 8) secrets.push_back(value);
    // A signing key's first half is its private seed; the second is public.
    if (value.size() == 128) secrets.push_back(value.substr(0, 64));
  };
  // A key given as a file: its content is the secret, its name is not.
  auto noteKey = [&note](const std::string& text) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(text, ec)) {
      note(slurp(text));
    } else if (text.find('/') == std::string::npos) {
      note(text);
    }
  };
  for (const char* name : {"VORN_S3_SECRET", "VORN_CRYPT_KEY", "VORN_SIGN_KEY",
                           "VORN_REGISTER_TOKEN", "CORVANE_TOKEN"}) {
    auto it = env.find(name);
    if (it != env.end() && it->second) noteKey(*it->second);
  }
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--crypt" || a == "--sign" || a == "--token" || a == "--register-token")
      noteKey(args[i + 1]);
  }
  std::ofstream secretList(base + ".secrets", std::ios::app);
  for (const auto& s : secrets) secretList << s << "\n";
  std::ofstream(base + ".outputs", std::ios::app | std::ios::binary)
      << "--- status " << result.status << "\n" << result.out << result.err;
}

ProcessResult run(const std::vector<std::string>& argv, const std::vector<std::string>& envList,
                  const std::string& workDir, int timeoutSeconds) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = spawn(argv, envList, workDir, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);

  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  bool killed = false;
  char buffer[65536];
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = statusOf(wstatus);
  if (killed) result.err += "\n[test harness: killed after timeout]\n";
  return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const EnvChanges& env,
                         const std::string& workDir, int timeoutSeconds) {
  return run(argv, buildEnvironment(env, false), workDir, timeoutSeconds);
}

std::string cliPath() { return VORN_CLI_PATH; }

ProcessResult runCli(const std::vector<std::string>& args, const EnvChanges& env,
                     const std::string& workDir) {
  std::vector<std::string> argv{cliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult result = run(argv, buildEnvironment(env, true), workDir, 300);
  recordRun(args, env, result);
  return result;
}

CliProcess::CliProcess(const std::vector<std::string>& args, const EnvChanges& env) : args_(args) {
  char outTemplate[] = "/tmp/vorn-cli-out-XXXXXX";
  char errTemplate[] = "/tmp/vorn-cli-err-XXXXXX";
  const int outFd = mkstemp(outTemplate), errFd = mkstemp(errTemplate);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("mkstemp failed");
  outPath_ = outTemplate;
  errPath_ = errTemplate;
  std::vector<std::string> argv{cliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = spawn(argv, buildEnvironment(env, true), "", outFd, errFd);
  close(outFd);
  close(errFd);
  env_ = env;
}

CliProcess::~CliProcess() {
  if (!done_) reap(SIGKILL);
  std::remove(outPath_.c_str());
  std::remove(errPath_.c_str());
}

bool CliProcess::running() {
  if (done_) return false;
  int wstatus = 0;
  if (waitpid(pid_, &wstatus, WNOHANG) != pid_) return true;
  finish(wstatus);
  return false;
}

void CliProcess::finish(int wstatus) {
  done_ = ProcessResult{statusOf(wstatus), slurp(outPath_), slurp(errPath_)};
  recordRun(args_, env_, *done_);
}

ProcessResult CliProcess::reap(int signal) {
  if (!done_) {
    if (signal != 0) kill(pid_, signal);
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    finish(wstatus);
  }
  return *done_;
}

ProcessResult CliProcess::kill9() { return reap(SIGKILL); }

ProcessResult CliProcess::wait(int timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ProcessResult r = reap(SIGKILL);
      r.err += "\n[test harness: killed after timeout]\n";
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return *done_;
}

}  // namespace vorn_test
