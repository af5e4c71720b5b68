#include "support/http_stub.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vorn_test {
namespace {

int listenOnLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Reads until the blank line that ends the head, for at most five seconds.
std::string readHead(int fd) {
  std::string data;
  char buf[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (data.find("\r\n\r\n") == std::string::npos && data.size() < 65536 &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  const size_t end = data.find("\r\n\r\n");
  return end == std::string::npos ? data : data.substr(0, end + 2);
}

}  // namespace

std::string httpResponse(int status, const std::string& body, const std::string& extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

int closedLoopbackPort() {
  int port = 0;
  const int fd = listenOnLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}

HttpStub::HttpStub(Responder respond) : respond_(std::move(respond)) {
  listener_ = listenOnLoopback(&port_);
  if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

HttpStub::~HttpStub() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
}

std::vector<std::string> HttpStub::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string HttpStub::allRequests() const {
  std::string all;
  for (const std::string& head : requests()) all += head;
  return all;
}

void HttpStub::serve() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    const std::string head = readHead(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
    }
    const std::string answer = respond_(head);
    for (size_t sent = 0; sent < answer.size();) {
      const ssize_t n = send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }
}

}  // namespace vorn_test
