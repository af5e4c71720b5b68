#include "support/node_server.hpp"

#include "support/test_data.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

namespace vorn_test {

NodeServer::NodeServer(const std::vector<std::string>& nodeOptions, const std::string& script,
                       const std::vector<std::string>& args, const std::string& outputPath) {
  std::vector<std::string> argv{"node"};
  argv.insert(argv.end(), nodeOptions.begin(), nodeOptions.end());
  argv.push_back(script);
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    execvp("node", cargv.data());
    _exit(127);
  }
  if (pid_ < 0) {
    startError_ = "fork failed";
    return;
  }
  const std::regex ready("listening on 127\\.0\\.0\\.1:([0-9]+)");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::smatch m;
    const std::string text = slurp(outputPath);
    if (std::regex_search(text, m, ready)) {
      port_ = std::stoi(m[1]);
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      startError_ = script + " exited during start-up: " + text;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  startError_ = script + " did not start within 30 s: " + slurp(outputPath);
}

NodeServer::~NodeServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

}  // namespace vorn_test
