// A tiny HTTP server on 127.0.0.1, run by a test in a thread of its own: it
// answers every request with one fixed page and remembers what was asked.
// Every wait is bounded and the server stops by itself after its lifetime.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace support_test {

// The port the loopback build of the program talks to.
inline constexpr unsigned short kLoopbackPort = 47931;

class LoopbackServer {
 public:
  // `body` is sent as UTF-8 HTML with status 200.
  explicit LoopbackServer(const std::string& body, DWORD lifetimeMs = 60000);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool listening() const { return listening_; }
  // The head of every request received (connections that sent nothing, such
  // as a connectivity probe, are not counted).
  std::vector<std::string> requests() const;
  // Number of pages sent in full.
  int pagesServed() const { return served_; }

 private:
  void run(DWORD lifetimeMs);
  void answer(SOCKET client);

  std::string body_;
  SOCKET listener_ = INVALID_SOCKET;
  bool listening_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  mutable std::mutex lock_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// The value of one header line of a request head ("" when absent).
std::string headerValue(const std::string& head, const std::string& name);

}  // namespace support_test
