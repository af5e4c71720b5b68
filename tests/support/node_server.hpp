#pragma once
// A Node test server of the project's own (tests/*/server.js), started on a
// free loopback port. The script prints "listening on 127.0.0.1:PORT" when it
// is ready; the server is stopped with SIGTERM (SIGKILL after two seconds)
// when the object goes away.

#include <string>
#include <sys/types.h>
#include <vector>

namespace vorn_test {

class NodeServer {
 public:
  // Runs `node nodeOptions... script args...` with its output in outputPath.
  NodeServer(const std::vector<std::string>& nodeOptions, const std::string& script,
             const std::vector<std::string>& args, const std::string& outputPath);
  ~NodeServer();
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  bool running() const { return pid_ > 0 && port_ > 0; }
  const std::string& startError() const { return startError_; }
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string startError_;
};

}  // namespace vorn_test
