#include "tools/program_check.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace hxctl {
namespace {

constexpr int kMaxScriptDepth = 4;
constexpr unsigned kMaxProgramHeaders = 4096;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool ReadAt(int fd, void* buf, size_t n, off_t at) {
  return pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}

// Whether the program headers name an interpreter (PT_INTERP): a program
// without one is statically linked and the loader never runs for it.
template <class Ehdr, class Phdr>
bool HasInterpreter(int fd, bool* ok) {
  Ehdr eh;
  *ok = false;
  if (!ReadAt(fd, &eh, sizeof(eh), 0)) return false;
  if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0 || eh.e_phnum > kMaxProgramHeaders) {
    return false;
  }
  *ok = true;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Phdr ph;
    if (!ReadAt(fd, &ph, sizeof(ph), static_cast<off_t>(eh.e_phoff + i * sizeof(Phdr)))) {
      *ok = false;
      return false;
    }
    if (ph.p_type == PT_INTERP) return true;
  }
  return false;
}

std::string FindOnPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

// Whether the file carries file capabilities. Exec'ing it may raise the
// process's capabilities, which puts the loader in secure-execution mode, as
// setuid does.
bool HasFileCapabilities(const std::string& path) {
  return getxattr(path.c_str(), "security.capability", nullptr, 0) >= 0;
}

ProgramVerdict Judge(const std::string& path, int depth, ProgramInfo* info, std::string* reason) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *reason = "'" + path + "' not found";
    return ProgramVerdict::kNotFound;
  }
  if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
    *reason = "'" + path + "' is not an executable file";
    return ProgramVerdict::kRefused;
  }
  if ((st.st_mode & (S_ISUID | S_ISGID)) != 0) {
    *reason = "'" + path +
              "' is setuid or setgid: the dynamic loader ignores LD_PRELOAD for it, so it "
              "cannot be throttled";
    return ProgramVerdict::kRefused;
  }
  if (HasFileCapabilities(path)) {
    *reason = "'" + path +
              "' has file capabilities: the dynamic loader ignores LD_PRELOAD for it, so it "
              "cannot be throttled";
    return ProgramVerdict::kRefused;
  }
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char head[256] = {};
  const ssize_t got = fd.get() >= 0 ? pread(fd.get(), head, sizeof(head) - 1, 0) : -1;
  if (got >= 2 && head[0] == '#' && head[1] == '!') {
    if (depth >= kMaxScriptDepth) {
      *reason = "'" + path + "': too many nested script interpreters";
      return ProgramVerdict::kRefused;
    }
    std::string line(reinterpret_cast<char*>(head) + 2, static_cast<size_t>(got - 2));
    line = line.substr(0, line.find('\n'));
    const size_t b = line.find_first_not_of(" \t");
    const std::string interp = b == std::string::npos ? "" : line.substr(b, line.find_first_of(" \t", b) - b);
    if (interp.empty() || interp[0] != '/') {
      *reason = "'" + path + "': its #! line names no interpreter by absolute path";
      return ProgramVerdict::kRefused;
    }
    return Judge(interp, depth + 1, info, reason);
  }
  if (got < static_cast<ssize_t>(EI_NIDENT) || std::memcmp(head, ELFMAG, SELFMAG) != 0) {
    *reason = "'" + path + "' is neither an ELF program nor a #! script";
    return ProgramVerdict::kRefused;
  }
  bool ok = false, dynamic = false;
  Elf32_Half machine = 0;  // at the same offset in both classes
  std::memcpy(&machine, head + offsetof(Elf64_Ehdr, e_machine), sizeof(machine));
  if (head[EI_CLASS] == ELFCLASS64) {
    info->bits = 64;
    dynamic = HasInterpreter<Elf64_Ehdr, Elf64_Phdr>(fd.get(), &ok);
    ok = ok && machine == EM_X86_64;
  } else if (head[EI_CLASS] == ELFCLASS32) {
    info->bits = 32;
    dynamic = HasInterpreter<Elf32_Ehdr, Elf32_Phdr>(fd.get(), &ok);
    ok = ok && machine == EM_386;
  }
  if (!ok) {
    *reason = "'" + path + "' is not an i386 or x86-64 program this tool can throttle";
    return ProgramVerdict::kRefused;
  }
  if (!dynamic) {
    *reason = "'" + path +
              "' is statically linked: the dynamic loader never loads the throttling library "
              "into it, so it cannot be throttled";
    return ProgramVerdict::kRefused;
  }
  info->judged = path;
  return ProgramVerdict::kOk;
}

}  // namespace

ProgramVerdict InspectProgram(const std::string& command, ProgramInfo* info, std::string* reason) {
  *info = ProgramInfo();
  std::string path = command;
  if (command.find('/') == std::string::npos) {
    path = FindOnPath(command);
    if (path.empty()) {
      *reason = "'" + command + "' not found on PATH";
      return ProgramVerdict::kNotFound;
    }
  }
  info->path = path;
  return Judge(path, 0, info, reason);
}

}  // namespace hxctl
