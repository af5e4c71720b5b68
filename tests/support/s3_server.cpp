#include "support/s3_server.hpp"

#include "support/test_data.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

namespace vorn_test {
namespace {

std::string serverScript() { return std::string(VORN_SOURCE_DIR) + "/tests/s3/server.js"; }

}  // namespace

S3Server::S3Server(const std::string& accessKey, const std::string& secret,
                   const std::string& bucket)
    : accessKey_(accessKey), secret_(secret), bucket_(bucket) {
  const std::string logPath = dir_ / "server.log";
  const std::string dataDir = dir_ / "data";
  std::filesystem::create_directories(dataDir);
  std::vector<std::string> argv{"node",        "--openssl-legacy-provider",
                                serverScript(), "--port",
                                "0",           "--dir",
                                dataDir,       "--bucket",
                                bucket_,       "--access-key",
                                accessKey_,    "--secret",
                                secret_};
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    std::string text = slurp(logPath);
    if (std::regex_search(text, m, ready)) {
      port_ = std::stoi(m[1]);
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      startError_ = "test S3 server exited during start-up: " + text;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  startError_ = "test S3 server did not start within 30 s: " + slurp(logPath);
}

S3Server::~S3Server() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string S3Server::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string S3Server::log() const { return slurp(dir_ / "server.log"); }

EnvChanges S3Server::env() const {
  return {{"VORN_S3_ENDPOINT", endpoint()},
          {"VORN_S3_REGION", std::string("us-east-1")},
          {"VORN_S3_BUCKET", bucket_},
          {"VORN_S3_KEY", accessKey_},
          {"VORN_S3_SECRET", secret_}};
}

}  // namespace vorn_test
