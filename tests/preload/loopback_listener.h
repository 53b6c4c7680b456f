// A loopback TCP listener of the test's own. Each connection starts with a
// 16-byte tag (run_sender writes one; a tool's first 16 bytes serve as its
// tag); the listener counts the bytes moved after it per tag: read from the
// sender, or, for a tag starting with "in:", written to it as fast as it takes them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hxruntest {

class Listener {
 public:
  Listener() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(fd_, 64) == 0) {
      getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    }
    portText = std::to_string(ntohs(a.sin_port));
    acceptor_ = std::thread([this] {
      for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) {
        std::lock_guard<std::mutex> lock(mu_);
        conns_.emplace_back(c, std::thread([this, c] { Serve(c); }));
      }
    });
  }
  ~Listener() {
    shutdown(fd_, SHUT_RDWR);  // ends accept
    acceptor_.join();
    for (auto& c : conns_) {
      shutdown(c.first, SHUT_RDWR);
      c.second.join();
      close(c.first);
    }
    close(fd_);
  }

  std::string portText;

  // Waits (up to 30 s) until every tag has connected, lets the rates settle
  // for 0.6 s, then returns each tag's bytes per second over seconds.
  std::map<std::string, double> Rates(const std::vector<std::string>& tags, double seconds) {
    auto now = [] { return std::chrono::steady_clock::now(); };
    const auto deadline = now() + std::chrono::seconds(30);
    for (const std::string& t : tags) while (Bytes(t) < 0 && now() < deadline) Nap(0.02);
    Nap(0.6);
    std::map<std::string, double> rates;
    for (const std::string& t : tags) rates[t] = -Bytes(t);
    const auto t0 = now();
    Nap(seconds);
    const double dt = std::chrono::duration<double>(now() - t0).count();
    for (const std::string& t : tags) rates[t] = (rates[t] + Bytes(t)) / dt;
    return rates;
  }
  static void Nap(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

 private:
  double Bytes(const std::string& tag) {  // -1 before the tag connected
    std::lock_guard<std::mutex> lock(mu_);
    auto it = bytes_.find(tag);
    return it == bytes_.end() ? -1 : static_cast<double>(it->second);
  }
  void Serve(int c) {
    std::vector<char> buf(256 * 1024);
    char tag[17] = {};
    if (recv(c, tag, 16, MSG_WAITALL) != 16) return;
    const bool feed = std::string(tag).compare(0, 3, "in:") == 0;
    // Bytes counted as fed are those the kernel took; a fixed small send
    // buffer keeps what sits unread in it from inflating the measured rate.
    const int sendBuffer = 32 * 1024;
    if (feed) setsockopt(c, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
    {
      std::lock_guard<std::mutex> lock(mu_);
      bytes_[tag];  // connected
    }
    for (ssize_t n; (n = feed ? send(c, buf.data(), 64 * 1024, MSG_NOSIGNAL) : read(c, buf.data(), buf.size())) > 0;) {
      std::lock_guard<std::mutex> lock(mu_);
      bytes_[tag] += static_cast<uint64_t>(n);
    }
  }

  int fd_ = -1;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::pair<int, std::thread>> conns_;
  std::map<std::string, uint64_t> bytes_;
};

}  // namespace hxruntest
