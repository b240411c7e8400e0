#include "tests/support/loopback_server.h"

#include <ws2tcpip.h>

#include <cctype>

namespace support_test {

LoopbackServer::LoopbackServer(const std::string& body, DWORD lifetimeMs) : body_(body) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) return;
  BOOL reuse = TRUE;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
             sizeof reuse);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(kLoopbackPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 8) != 0)
    return;
  listening_ = true;
  thread_ = std::thread([this, lifetimeMs] { run(lifetimeMs); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  WSACleanup();
}

std::vector<std::string> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

void LoopbackServer::run(DWORD lifetimeMs) {
  DWORD start = GetTickCount();
  while (!stop_ && GetTickCount() - start < lifetimeMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener_, &readable);
    timeval wait = {0, 50 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) continue;
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    answer(client);
    closesocket(client);
  }
}

void LoopbackServer::answer(SOCKET client) {
  DWORD timeout = 2000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
    int got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, got);
  }
  if (head.empty()) return;  // a bare connect: the connectivity probe
  {
    std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(head);
  }
  std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
      "Content-Length: " +
      std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
  std::size_t sent = 0;
  while (sent < response.size()) {
    int put = send(client, response.data() + sent, static_cast<int>(response.size() - sent), 0);
    if (put <= 0) return;
    sent += put;
  }
  shutdown(client, SD_SEND);
  ++served_;
}

std::string headerValue(const std::string& head, const std::string& name) {
  std::string lowerHead = head;
  std::string lowerName = name + ":";
  for (char& c : lowerHead) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : lowerName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t pos = lowerHead.find("\r\n" + lowerName);
  if (pos == std::string::npos) return std::string();
  pos += 2 + lowerName.size();
  std::size_t end = head.find("\r\n", pos);
  std::string value = head.substr(pos, end - pos);
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

}  // namespace support_test
