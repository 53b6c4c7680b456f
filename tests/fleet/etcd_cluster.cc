#include "tests/fleet/etcd_cluster.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "fleet/etcd_client.h"
#include "tests/common/test_env.h"

namespace fleettest {

namespace {

// A port the kernel has free now (bound to port 0, read back, released).
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

std::string Url(int port) { return "http://127.0.0.1:" + std::to_string(port); }

}  // namespace

EtcdCluster::EtcdCluster(int members) {
  char tmpl[] = "/tmp/hxfleet_etcd.XXXXXX";
  root_ = mkdtemp(tmpl) ? tmpl : "";
  std::vector<int> taken;
  for (int i = 0; i < members * 2; ++i) {
    int p;
    do p = FreePort(); while (std::find(taken.begin(), taken.end(), p) != taken.end());
    taken.push_back(p);
  }
  for (int i = 0; i < members; ++i) {
    clientPorts_.push_back(taken[2 * i]);
    peerPorts_.push_back(taken[2 * i + 1]);
  }
  pids_.assign(members, 0);
  for (int i = 0; i < members; ++i) Start(i);
  hxfleet::EtcdClient client({Endpoint(0)}, 500);
  for (int tries = 0; tries < 200 && !ready_; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int answered = 0;
    for (int i = 0; i < members; ++i) {
      hxfleet::EtcdClient one({Endpoint(i)}, 500);
      std::vector<hxfleet::KeyValue> kvs;
      std::string error;
      answered += one.Range("/", "", &kvs, nullptr, &error) ? 1 : 0;
    }
    ready_ = answered == members && Leader() >= 0;
  }
}

EtcdCluster::~EtcdCluster() {
  for (int i = 0; i < size(); ++i) Kill(i);
  std::error_code ec;
  if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

std::string EtcdCluster::Endpoint(int i) const { return Url(clientPorts_[i]); }

std::string EtcdCluster::Endpoints() const {
  std::string all;
  for (int i = 0; i < size(); ++i) all += (i ? "," : "") + Endpoint(i);
  return all;
}

void EtcdCluster::Start(int i) {
  if (pids_[i] != 0) return;
  std::string cluster;
  for (int k = 0; k < size(); ++k) cluster += (k ? "," : "") + ("m" + std::to_string(k)) + "=" + Url(peerPorts_[k]);
  const std::string dir = root_ + "/m" + std::to_string(i);
  std::filesystem::create_directories(dir);
  pids_[i] = hxtest::Spawn(
      "/usr/bin/etcd",
      {"--name", "m" + std::to_string(i), "--data-dir", dir + "/data",
       "--listen-client-urls", Endpoint(i), "--advertise-client-urls", Endpoint(i),
       "--listen-peer-urls", Url(peerPorts_[i]), "--initial-advertise-peer-urls",
       Url(peerPorts_[i]), "--initial-cluster", cluster, "--initial-cluster-state", "new",
       "--initial-cluster-token", root_, "--heartbeat-interval", "50", "--election-timeout",
       "500", "--logger", "zap", "--log-outputs", dir + "/etcd.log"},
      dir + "/stdout.log");
}

void EtcdCluster::Signal(int i, int sig) {
  if (pids_[i] != 0) kill(pids_[i], sig);
}

void EtcdCluster::Kill(int i) {
  if (pids_[i] == 0) return;
  kill(pids_[i], SIGCONT);
  kill(pids_[i], SIGKILL);
  hxtest::WaitExit(pids_[i]);
  pids_[i] = 0;
}

int EtcdCluster::Leader() const {
  for (int i = 0; i < size(); ++i) {
    if (pids_[i] == 0) continue;
    hxfleet::EtcdClient one({Endpoint(i)}, 300);
    hxfleet::Json r;
    std::string error;
    if (!one.Call("/v3/maintenance/status", hxfleet::Json::object(), &r, &error)) continue;
    // Member ids are unsigned 64-bit: compared as the gateway wrote them.
    const hxfleet::Json leader = r.value("leader", hxfleet::Json());
    if (!leader.is_null() && leader == r.value("header", hxfleet::Json::object())["member_id"]) return i;
  }
  return -1;
}

}  // namespace fleettest
