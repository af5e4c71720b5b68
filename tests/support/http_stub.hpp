#pragma once
// A loopback HTTP server for what the real servers never say: every
// connection carries one request, whose head is recorded and answered with
// whatever raw bytes the responder returns (nothing: the connection is closed
// unanswered). Serves on its own thread until destroyed.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn_test {

// "HTTP/1.1 <status> X" with Content-Length, Connection: close, the extra
// header lines (each ending in CRLF) and the body.
std::string httpResponse(int status, const std::string& body, const std::string& extraHeaders = "");

// A loopback port on which nothing listens.
int closedLoopbackPort();

class HttpStub {
 public:
  // head: the request line and headers, each ending with CRLF; a body is left unread.
  using Responder = std::function<std::string(const std::string& head)>;

  explicit HttpStub(Responder respond);
  ~HttpStub();
  HttpStub(const HttpStub&) = delete;
  HttpStub& operator=(const HttpStub&) = delete;

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The request heads received so far, in order.
  std::vector<std::string> requests() const;
  // All of them, one after another.
  std::string allRequests() const;

 private:
  void serve();

  Responder respond_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace vorn_test
