// Helpers shared by the throttle-table tests: a manager subclass that opens
// the internal operations to the test, reading the debug log as records, and
// looking at a table segment without counting in it.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/common/test_env.h"
#include "throttling/throttling_manager.h"

namespace t1test {

class TestManager : public CHxThrottlingManager {
 public:
  explicit TestManager(HxEnv* env = HxEnv::Default()) : CHxThrottlingManager(env) {}
  using CHxThrottlingManager::CheckAndCleanupStreams;
  using CHxThrottlingManager::CheckEachStreamProcess;
  using CHxThrottlingManager::GetJobIndex;
  using CHxThrottlingManager::IsProcAlive;
  using CHxThrottlingManager::RecomputeThroughputs;
  using CHxThrottlingManager::ReserveJobIndex;
  using CHxThrottlingManager::ReserveStreamIndex;
  using CHxThrottlingManager::UnReserveJobIndex;
  using CHxThrottlingManager::UnreserveStreamIndex;
  _TMThrottleTable* table() { return Table; }
  unsigned int& lastCleanupTime() { return LastCleanupTime; }
  bool lanFree() const { return ThrottleLanFree; }
  const std::string& shMemName() const { return ShMemName; }
};

// Path of the key file of a table kind in the instance's job-results directory.
inline std::string KeyFile(const hxtest::TestInstance& inst, const char* suffix) {
  return inst.jobResultsDir() + "/" + inst.focus() + suffix;
}

inline key_t KeyOf(const std::string& keyFile) { return ftok(keyFile.c_str(), 0xFEFA); }

// Id of the segment of that key, or -1 when there is none.
inline int SegmentOf(const std::string& keyFile) {
  const key_t key = KeyOf(keyFile);
  if (key == static_cast<key_t>(-1)) return -1;
  return shmget(key, 0, 0);
}

// Attaches the segment of a key file read-only, without counting in RefCount.
class Peek {
 public:
  explicit Peek(const std::string& keyFile) {
    const int id = SegmentOf(keyFile);
    if (id < 0) return;
    struct shmid_ds st;
    if (shmctl(id, IPC_STAT, &st) == 0) size_ = st.shm_segsz;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p != reinterpret_cast<void*>(-1)) address_ = p;
  }
  ~Peek() {
    if (address_ != nullptr) shmdt(address_);
  }
  Peek(const Peek&) = delete;
  Peek& operator=(const Peek&) = delete;
  bool ok() const { return address_ != nullptr; }
  size_t size() const { return size_; }
  const _TMThrottleTable* table() const { return static_cast<const _TMThrottleTable*>(address_); }

 private:
  void* address_ = nullptr;
  size_t size_ = 0;
};

// One debug-log call: its pid, level and text (a text with newlines spans
// several lines of the file; the log drops trailing newlines).
struct LogRecord {
  long pid;
  int level;
  std::string text;
};

// Splits "YYYY-MM-DD HH:MM:SS pid tid level tag text"; false for a line that
// continues the previous record.
inline bool SplitLogLine(const std::string& line, LogRecord* record) {
  if (line.size() < 20 || line[4] != '-' || line[7] != '-' || line[10] != ' ' ||
      line[13] != ':' || line[16] != ':') {
    return false;
  }
  size_t pos = 20;
  std::string fields[4];  // pid tid level tag
  for (std::string& field : fields) {
    const size_t end = line.find(' ', pos);
    if (end == std::string::npos) return false;
    field = line.substr(pos, end - pos);
    pos = end + 1;
  }
  if (fields[3].compare(0, 2, "0x") != 0) return false;
  record->pid = std::stol(fields[0]);
  record->level = std::stoi(fields[2]);
  record->text = line.substr(pos);
  return true;
}

inline std::vector<LogRecord> LogRecords(const hxtest::TestInstance& inst) {
  std::vector<LogRecord> records;
  for (const std::string& line : inst.LogLines()) {
    LogRecord record;
    if (SplitLogLine(line, &record)) {
      records.push_back(record);
    } else if (!records.empty()) {
      records.back().text += "\n" + line;
    }
  }
  return records;
}

// Texts of the records that contain needle.
inline std::vector<std::string> LogTexts(const hxtest::TestInstance& inst,
                                         const std::string& needle) {
  std::vector<std::string> texts;
  for (const LogRecord& r : LogRecords(inst)) {
    if (r.text.find(needle) != std::string::npos) texts.push_back(r.text);
  }
  return texts;
}

// The value of a u64 table field. The table's u64 fields sit on 4-byte
// boundaries, so they must be read, not bound to a reference (as EXPECT_EQ
// would).
inline uint64_t U64(uint64_t v) { return v; }

inline bool AllZero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

}  // namespace t1test
