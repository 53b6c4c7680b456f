// The four kinds of throttle table and everything named after a kind: the
// kind number Initialize takes, the operator's name and title, the suffixes
// of the named mutex and the key file after the instance name, and the debug
// log id. Every part of the system finds a kind's names here and nowhere else.
// The suffixes, the ids and the key files' ftok project id are what other
// processes and installed releases derive the same table from: they never
// change.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <string>

// Table kinds, the third argument of CHxThrottlingManager::Initialize.
constexpr unsigned int kTMKindOutbound = 1;
constexpr unsigned int kTMKindInbound = 2;
constexpr unsigned int kTMKindCloudOutbound = 3;
constexpr unsigned int kTMKindCloudInbound = 4;

namespace hx {

struct TableKindInfo {
  unsigned int kind;           // 1..4
  const char* option;          // command-line name: "out", "in", "cloud-out", "cloud-in"
  const char* title;           // "outbound", ...
  const char* mutexSuffix;     // named mutex: <focus><mutexSuffix>
  const char* keyFileSuffix;   // key file: <job-results dir>/<focus><keyFileSuffix>
  unsigned int debugLogId;     // id of the manager's debug log
};

inline constexpr TableKindInfo kTableKinds[4] = {
    {kTMKindOutbound, "out", "outbound", "_HX_THROTTLE_MUTEX_OUT", "_HX_THROTTLE_SHMEM_OUT",
     0x44DBDC60},
    {kTMKindInbound, "in", "inbound", "_HX_THROTTLE_MUTEX_IN", "_HX_THROTTLE_SHMEM_IN", 0x0CA40D74},
    {kTMKindCloudOutbound, "cloud-out", "cloud outbound", "_HX_THROTTLE_CLOUD_MUTEX_OUT",
     "_HX_THROTTLE_CLOUD_SHMEM_OUT", 0x5E2A917B},
    {kTMKindCloudInbound, "cloud-in", "cloud inbound", "_HX_THROTTLE_CLOUD_MUTEX_IN",
     "_HX_THROTTLE_CLOUD_SHMEM_IN", 0x425AA0F5},
};

// The ftok project id of every table's key file.
constexpr int kTableKeyProjectId = 0xFEFA;
// What every key file's and named mutex's name holds after the instance name.
constexpr char kTableNameMark[] = "_HX_THROTTLE_";

// Whether tables of kind carry a machine limit (a configured limit, a
// schedule, a fleet share): the outbound and inbound tables do, cloud ones not.
inline bool TableKindHasMachineLimit(unsigned int kind) {
  return kind == kTMKindOutbound || kind == kTMKindInbound;
}

// The kind's names, or null when kind is not 1..4.
inline const TableKindInfo* FindTableKind(unsigned int kind) {
  return kind >= 1 && kind <= 4 ? &kTableKinds[kind - 1] : nullptr;
}
// The kind named option on the command line, or null.
inline const TableKindInfo* FindTableKind(const std::string& option) {
  for (const TableKindInfo& k : kTableKinds) {
    if (option == k.option) return &k;
  }
  return nullptr;
}

// Name of the named mutex of a table of kind (1..4) of instance focus.
inline std::string TableMutexName(const std::string& focus, unsigned int kind) {
  const TableKindInfo* k = FindTableKind(kind);
  return focus + (k != nullptr ? k->mutexSuffix : "");
}
// Key file of a table of kind (1..4) of instance focus, whether or not it exists.
inline std::string TableKeyFile(std::string jobResultsDir, const std::string& focus,
                                unsigned int kind) {
  if (jobResultsDir.empty() || jobResultsDir.back() != '/') jobResultsDir += "/";
  const TableKindInfo* k = FindTableKind(kind);
  return jobResultsDir + focus + (k != nullptr ? k->keyFileSuffix : "");
}
// The System V key a key file gives, or -1 when the file cannot be looked at.
inline key_t TableKeyOf(const std::string& keyFile) {
  return ftok(keyFile.c_str(), kTableKeyProjectId);
}
// The id of the segment a key file names, or -1 when there is none. Creates nothing.
inline int TableSegmentOf(const std::string& keyFile) {
  const key_t key = TableKeyOf(keyFile);
  return key == -1 ? -1 : shmget(key, 0, 0);
}

}  // namespace hx
