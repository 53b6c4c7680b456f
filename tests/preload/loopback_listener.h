// A loopback TCP listener of the test's own: accepts any number of
// connections and counts the bytes each sender moves, keyed by the 16-byte
// tag the sender writes first (run_sender does; a tool's first 16 bytes serve
// as its tag). Rates are measured from these counts over a window. A
// connection whose tag starts with "in:" is fed zeros as fast as it takes them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_, 64) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
    thread_ = std::thread([this] { Loop(); });
  }
  ~Listener() {
    stop_ = true;
    thread_.join();
    for (Conn& c : conns_) close(c.fd);
    close(fd_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }

  // Bytes received after the tag on every connection that sent tag.
  uint64_t Bytes(const std::string& tag) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = bytes_.find(tag);
    return it == bytes_.end() ? 0 : it->second;
  }
  bool Seen(const std::string& tag) {
    std::lock_guard<std::mutex> lock(mu_);
    return bytes_.count(tag) != 0;
  }

  // Waits (up to timeoutS) until every tag has sent data, lets the rates
  // settle, then returns each tag's bytes per second over seconds.
  std::map<std::string, double> Rates(const std::vector<std::string>& tags, double seconds,
                                      double timeoutS = 30, double settleS = 0.6) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutS);
    for (const std::string& t : tags) {
      while (!Seen(t) && std::chrono::steady_clock::now() < deadline) Nap(0.02);
    }
    Nap(settleS);
    std::map<std::string, uint64_t> before;
    for (const std::string& t : tags) before[t] = Bytes(t);
    const auto t0 = std::chrono::steady_clock::now();
    Nap(seconds);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::map<std::string, double> rates;
    for (const std::string& t : tags) rates[t] = static_cast<double>(Bytes(t) - before[t]) / dt;
    return rates;
  }

  static void Nap(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

 private:
  struct Conn {
    int fd;
    std::string tag;
  };

  void Loop() {
    std::vector<char> buf(256 * 1024);
    while (!stop_) {
      std::vector<pollfd> fds{{fd_, POLLIN, 0}};
      for (const Conn& c : conns_) {
        fds.push_back({c.fd, static_cast<short>(c.tag.compare(0, 3, "in:") == 0 ? POLLOUT : POLLIN), 0});
      }
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int c = accept(fd_, nullptr, nullptr);
        if (c >= 0) conns_.push_back({c, ""});
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR))) continue;
        Conn& c = conns_[i - 1];
        if (fds[i].revents & POLLOUT) {
          static const std::vector<char> zeros(64 * 1024);
          if (send(c.fd, zeros.data(), zeros.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
              errno != EAGAIN) {
            close(c.fd);
            c.fd = -1;
          }
          continue;
        }
        const ssize_t n = read(c.fd, buf.data(), buf.size());
        if (n <= 0) {
          close(c.fd);
          c.fd = -1;
          continue;
        }
        size_t used = 0;
        while (c.tag.size() < 16 && used < static_cast<size_t>(n)) c.tag += buf[used++];
        if (c.tag.size() == 16) {
          std::lock_guard<std::mutex> lock(mu_);
          bytes_[c.tag.c_str()] += static_cast<uint64_t>(n) - used;
        }
      }
      std::vector<Conn> open;
      for (const Conn& c : conns_) {
        if (c.fd >= 0) open.push_back(c);
      }
      conns_ = open;
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<Conn> conns_;  // listener thread only
  std::mutex mu_;
  std::map<std::string, uint64_t> bytes_;
};

}  // namespace hxruntest
