// Perf-log file handling among hostile names found on disk. Piece 1 of the
// input is the configured machine name; each further piece is one entry of
// the perf-log directory: a kind byte, then its name ('a' a file last changed
// four days ago, 'f' a fresh file, 'z' one dated tomorrow, 'd' an old
// directory, 'l' a symbolic link to a file outside the directory). One batch
// of rows is then logged, and afterwards:
//   - nothing outside the directory was changed, moved or written through;
//   - the rows are in the current file, named after the machine identifier,
//     unless a directory or link occupies its name or the legacy name;
//   - the clean-up, which runs only when the current file is new, removed
//     exactly the old files; fresh and future files and directories stay
//     (old files are not judged when a directory or link blocks the name).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>

#include "perfmonitor/perf_manager.h"
#include "platform/hx_platform_info.h"
#include "platform/ua_crc64.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
const int64_t kDay = 86400;
const char kOutsideText[] = "not a perf log\n";

struct Entry {
  char kind;
  std::string content;
};

std::string Identifier(const std::string& machine) {
  CUaCRC64 crc;
  crc.UpdateCRC64(machine.data(), machine.size());
  char text[32];
  std::snprintf(text, sizeof(text), "%" PRIu64, crc.GetCRC64());
  return text;
}

void SetAge(const std::string& path, int64_t mtime) {
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool IsKind(const std::string& path, fs::file_type kind) {
  std::error_code e;
  return fs::symlink_status(path, e).type() == kind;
}

// The log directory lives in memory (/dev/shm): every run rewrites it.
struct Setup {
  std::string logs = [] {
    char path[] = "/dev/shm/hxfuzz_logs.XXXXXX";
    FUZZ_CHECK(mkdtemp(path) != nullptr, "mkdtemp");
    return std::string(path);
  }();
  // The instance's settings without the machine name, which every run sets.
  std::string platform = "LogFilesDirectory " + logs + "\nDebugLevel 3\n";
  std::string dir = logs + "/ResourceMonitor";
  std::string outside = logs + "/sentinel.csv";  // reachable by "../" from the directory
  hxtest::FakeEnv env;
  CHxPerfManager manager{&env};

  Setup() {
    hxfuzz::WriteConfig("Platform", platform);
    env.now = static_cast<uint32_t>(time(nullptr));
    FUZZ_CHECK(manager.Initialize(nullptr) == 0, "Initialize");
  }
  ~Setup() { fs::remove_all(logs); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  static Setup s;
  std::error_code error;
  for (const fs::directory_entry& e : fs::directory_iterator(s.dir, error)) fs::remove_all(e.path(), error);
  hxtest::WriteFile(s.outside, kOutsideText);
  SetAge(s.outside, s.env.now - 4 * kDay);

  std::vector<std::string> pieces = hxfuzz::Pieces(data, size);
  const std::string machineValue = pieces[0].substr(0, pieces[0].find_first_of("\r\n"));
  hxfuzz::WriteConfig("Platform", s.platform + "PhysicalMachine " + machineValue + "\n");
  HxPlatformInfo info;
  const std::string machine = info.getPhysicalMachine();
  const std::string current = "PerfLog_Fuzz-1_" + Identifier(machine) + ".csv";
  const std::string legacy = "PerfLog_Fuzz-1_" + machine + ".csv";

  std::map<std::string, Entry> made;  // name -> kind and content, as created
  for (size_t i = 1; i < pieces.size() && made.size() < 16; ++i) {
    if (pieces[i].empty()) continue;
    const char kind = pieces[i][0];
    const std::string name = pieces[i].substr(1);
    if (name.empty() || name.size() > 200 || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos || made.count(name)) {
      continue;  // no such entry can exist
    }
    const std::string path = s.dir + "/" + name;
    Entry e{kind, "entry " + std::to_string(i) + "\n"};
    if (kind == 'a' || kind == 'f' || kind == 'z') {
      hxtest::WriteFile(path, e.content);
      SetAge(path, s.env.now + (kind == 'a' ? -4 * kDay : kind == 'z' ? kDay : 0));
    } else if (kind == 'd') {
      if (mkdir(path.c_str(), 0755) != 0) continue;
      SetAge(path, s.env.now - 4 * kDay);
    } else if (kind == 'l') {
      if (symlink(s.outside.c_str(), path.c_str()) != 0) continue;
    } else {
      continue;
    }
    made[name] = e;
  }

  _PerfLogItems items;
  items.version = "1";
  items.columns = {"Value"};
  items.rows = {{"fuzz"}};
  const int written = s.manager.OnUpdateLog(RSRC_AGENT_SYSTEM, "Fuzz", items);

  const std::string detail = "machine [" + machine + "]";
  FUZZ_CHECK(hxtest::ReadFile(s.outside) == kOutsideText && IsKind(s.outside, fs::file_type::regular),
             "the file outside the directory changed; " + detail);
  auto occupied = [&](const std::string& name) {
    auto it = made.find(name);
    return it != made.end() && (it->second.kind == 'd' || it->second.kind == 'l');
  };
  const bool blocked = occupied(current) || (legacy.find('/') == std::string::npos && occupied(legacy));
  if (!blocked) {
    FUZZ_CHECK(written == 0, "rows dropped; " + detail);
    const std::string text = hxtest::ReadFile(s.dir + "/" + current);
    const std::string tail = ",fuzz\r\n";
    FUZZ_CHECK(text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0,
               "current file [" + text + "]; " + detail);
  }
  // A legacy entry is renamed to the current name. When that gives a usable
  // file there is no clean-up; when the name is blocked the clean-up may run.
  const bool adopted = legacy != current && made.count(legacy) != 0;
  const bool cleaned = made.count(current) == 0 && !adopted;
  for (const auto& m : made) {
    const std::string path = s.dir + "/" + m.first;
    if (m.first == current || (adopted && m.first == legacy)) continue;
    const char kind = m.second.kind;
    if (kind == 'd') {
      FUZZ_CHECK(IsKind(path, fs::file_type::directory), "directory removed: " + m.first);
    } else if (kind == 'a' && blocked) {
      continue;
    } else if (kind == 'a' && cleaned) {
      FUZZ_CHECK(!IsKind(path, fs::file_type::regular), "old file kept: " + m.first + "; " + detail);
    } else if (kind != 'l') {
      FUZZ_CHECK(hxtest::ReadFile(path) == m.second.content, "file lost or changed: " + m.first);
    }
  }
  hxfuzz::TrimDebugLog();
  return 0;
}
