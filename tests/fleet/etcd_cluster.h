// A real etcd cluster for tests: members on loopback ports free at start, a
// data directory each under one temporary directory, short heartbeats and
// election timeouts. The destructor kills every member and removes the
// directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace fleettest {

class EtcdCluster {
 public:
  explicit EtcdCluster(int members = 3);
  ~EtcdCluster();
  EtcdCluster(const EtcdCluster&) = delete;
  EtcdCluster& operator=(const EtcdCluster&) = delete;

  // True once every member answers and the cluster has a leader.
  bool ready() const { return ready_; }
  std::string Endpoints() const;  // "http://127.0.0.1:P,..."
  std::string Endpoint(int i) const;
  // The member that leads now, or -1.
  int Leader() const;
  void Signal(int i, int sig);  // SIGSTOP / SIGCONT to one member
  void Kill(int i);             // SIGKILL, waited for
  void Start(int i);            // starts a killed member again on its data
  int size() const { return static_cast<int>(pids_.size()); }

 private:
  std::string root_;
  std::vector<int> clientPorts_, peerPorts_;
  std::vector<pid_t> pids_;
  bool ready_ = false;
};

}  // namespace fleettest
