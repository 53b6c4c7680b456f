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
  std::string logs = "/dev/shm/hxfuzz_logs.XXXXXX";
  // The instance's settings without the machine name, which every run sets.
  std::string platform = "LogFilesDirectory " + std::string(mkdtemp(&logs[0])) + "\nDebugLevel 3\n";
  std::string dir = logs + "/ResourceMonitor", outside = logs + "/sentinel.csv";  // "../sentinel.csv" from dir
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

  const auto pieces = hxfuzz::Pieces(std::string(reinterpret_cast<const char*>(data), size));
  const std::string machineValue = pieces[0].substr(0, pieces[0].find_first_of("\r\n"));
  hxfuzz::WriteConfig("Platform", s.platform + "PhysicalMachine " + machineValue + "\n");
  const std::string machine = HxPlatformInfo().getPhysicalMachine();
  CUaCRC64 crc;
  crc.UpdateCRC64(machine.data(), machine.size());
  const std::string current = "PerfLog_Fuzz-1_" + std::to_string(crc.GetCRC64()) + ".csv";
  const std::string legacy = "PerfLog_Fuzz-1_" + machine + ".csv";

  std::map<std::string, char> made;  // name -> kind, as created; a file holds its name
  for (size_t i = 1; i < pieces.size() && made.size() < 16; ++i) {
    const char kind = pieces[i].empty() ? 0 : pieces[i][0];
    const std::string name = pieces[i].substr(kind ? 1 : 0), path = s.dir + "/" + name;
    if (name.empty() || name.size() > 200 || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos || made.count(name)) {
      continue;  // no such entry can exist
    }
    if (kind == 'a' || kind == 'f' || kind == 'z') {
      hxtest::WriteFile(path, name);
      SetAge(path, s.env.now + (kind == 'a' ? -4 * kDay : kind == 'z' ? kDay : 0));
    } else if (kind == 'd' && mkdir(path.c_str(), 0755) == 0) {
      SetAge(path, s.env.now - 4 * kDay);
    } else if (kind != 'l' || symlink(s.outside.c_str(), path.c_str()) != 0) {
      continue;
    }
    made[name] = kind;
  }

  _PerfLogItems items{"1", {"Value"}, {{"fuzz"}}};
  const int written = s.manager.OnUpdateLog(RSRC_AGENT_SYSTEM, "Fuzz", items);

  const std::string detail = "machine [" + machine + "]";
  FUZZ_CHECK(hxtest::ReadFile(s.outside) == kOutsideText && IsKind(s.outside, fs::file_type::regular),
             "the file outside the directory changed; " + detail);
  auto occupied = [&](const std::string& name) { return made.count(name) && (made[name] == 'd' || made[name] == 'l'); };
  const bool blocked = occupied(current) || (legacy.find('/') == std::string::npos && occupied(legacy));
  const std::string text = hxtest::ReadFile(s.dir + "/" + current), tail = ",fuzz\r\n";
  const bool logged = text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  FUZZ_CHECK(blocked || (written == 0 && logged), "rows dropped, current file [" + text + "]; " + detail);
  // A legacy entry is renamed to the current name. When that gives a usable
  // file there is no clean-up; when the name is blocked the clean-up may run.
  const bool adopted = legacy != current && made.count(legacy) != 0;
  const bool cleaned = made.count(current) == 0 && !adopted;
  for (const auto& [name, kind] : made) {
    if (name == current || (adopted && name == legacy) || kind == 'l' || (kind == 'a' && blocked)) continue;
    const std::string path = s.dir + "/" + name;
    if (kind == 'd') {
      FUZZ_CHECK(IsKind(path, fs::file_type::directory), "directory removed: " + name);
    } else if (kind == 'a' && cleaned) {
      FUZZ_CHECK(!IsKind(path, fs::file_type::regular), "old file kept: " + name + "; " + detail);
    } else {
      FUZZ_CHECK(hxtest::ReadFile(path) == name, "file lost or changed: " + name);
    }
  }
  return 0;
}
