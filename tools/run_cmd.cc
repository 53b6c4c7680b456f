// hxctl run: run an unmodified program as a job on the throttle tables. The
// program gets the throttling library preloaded (through the dynamic loader's
// $LIB, so that every process of the program, of either ABI, loads the copy
// built for it) and the environment that names its job. Signals sent to hxctl
// are passed on; the program's exit status is returned.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "preload/run_settings.h"
#include "tools/commands.h"
#include "tools/instance.h"
#include "tools/program_check.h"

#ifndef HX_EMULATOR
#define HX_EMULATOR ""
#endif

namespace hxctl {
namespace {

constexpr int kExitCannotRun = 126;   // found but refused or not executable
constexpr int kExitNotFoundCmd = 127; // no such program

volatile sig_atomic_t g_child = 0;

// Passes on signals that another process sent to hxctl. Those a terminal sends
// reach the program itself, as it is in the same process group.
void Forward(int sig, siginfo_t* info, void*) {
  if (g_child > 0 && (info == nullptr || info->si_code <= 0)) kill(g_child, sig);
}

const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

// Directory of the running hxctl binary ("" when unknown).
std::string OwnDirectory() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// The library for an ABI under the prefix, as the loader of that ABI expands
// $LIB on this system's family of distributions.
std::string LibraryFor(const std::string& root, int bits) {
  const char* const dirs64[] = {"lib/x86_64-linux-gnu", "lib64"};
  const char* const dirs32[] = {"lib/i386-linux-gnu", "lib32", "lib"};
  const char* const* dirs = bits == 64 ? dirs64 : dirs32;
  const size_t count = bits == 64 ? 2 : 3;
  for (size_t i = 0; i < count; ++i) {
    const std::string path = root + "/" + dirs[i] + "/halvex/" + hxrun::kLibraryName;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
  }
  return "";
}

std::string Emulator() {
  const char* env = getenv("HXRUN_EMULATOR");
  if (env != nullptr && *env != '\0') return env;
  return std::strlen(HX_EMULATOR) > 0 ? HX_EMULATOR : "qemu-i386";
}

// In the child: runs the program; an i386 program this kernel cannot run
// directly goes through the emulator, which alone is told of the preload.
[[noreturn]] void ExecProgram(const ProgramInfo& info, const std::vector<std::string>& command,
                              const std::string& preload) {
  std::vector<char*> argv;
  for (const std::string& w : command) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  execv(info.path.c_str(), argv.data());
  int err = errno;
  if (err == ENOEXEC && info.bits == 32) {
    const std::string emulator = Emulator();
    const std::string guestPreload = "LD_PRELOAD=" + preload;
    std::vector<char*> emu = {const_cast<char*>(emulator.c_str()), const_cast<char*>("-E"),
                              const_cast<char*>(guestPreload.c_str()),
                              const_cast<char*>(info.path.c_str())};
    for (size_t i = 1; i < command.size(); ++i) emu.push_back(const_cast<char*>(command[i].c_str()));
    emu.push_back(nullptr);
    unsetenv("LD_PRELOAD");
    execvp(emu[0], emu.data());
    err = errno;
  }
  fprintf(stderr, "hxctl run: cannot run '%s': %s\n", info.path.c_str(), strerror(err));
  _exit(err == ENOENT ? kExitNotFoundCmd : kExitCannotRun);
}

}  // namespace

int RunRun(const ParsedArgs& args) {
  const std::vector<std::string>& command = args.Command();
  if (!args.Has("job") || command.empty()) {
    return Fail("run", kExitUsage,
                "give --job ID and the command after '--'\nrun 'hxctl run --help' for usage");
  }
  std::string error;
  uint32_t job = 0, limit = 0;
  if (!ParseNumber32("--job", args.Value("job"), 0, UINT32_MAX, &job, &error) ||
      (args.Has("limit") &&
       !ParseNumber32("--limit", args.Value("limit"), 0, UINT32_MAX, &limit, &error))) {
    return Fail("run", kExitUsage, error);
  }
  bool out = true, in = false;
  const std::string direction = args.Value("direction", "out");
  if (!hxrun::ParseDirection(direction, &out, &in)) {
    return Fail("run", kExitUsage, "unknown direction '" + direction + "' (out, in or both)");
  }
  const std::string tables = args.Value("kind", "lan");
  if (tables != "lan" && tables != "cloud") {
    return Fail("run", kExitUsage, "unknown kind '" + tables + "' (lan or cloud)");
  }

  ProgramInfo info;
  switch (InspectProgram(command[0], &info, &error)) {
    case ProgramVerdict::kOk:
      break;
    case ProgramVerdict::kNotFound:
      return Fail("run", kExitNotFoundCmd, error);
    case ProgramVerdict::kRefused:
      return Fail("run", kExitCannotRun, error);
  }
  // <prefix>/$LIB/halvex/ beside <prefix>/bin/hxctl, installed as in the
  // build tree: the libhxsys1 package of each ABI ships that ABI's copy.
  std::string root = OwnDirectory();
  root = root.substr(0, root.rfind('/'));
  if (root.find_first_of(" \t\n:") != std::string::npos) {
    // LD_PRELOAD splits its list at blanks and colons.
    return Fail("run", kExitCannotRun,
                "the throttling library's directory " + root + " contains a blank or a colon");
  }
  if (LibraryFor(root, info.bits).empty()) {
    return Fail("run", kExitCannotRun,
                std::string("no ") + (info.bits == 64 ? "x86-64" : "i386") +
                    " throttling library under " + root + " for '" + info.judged +
                    "' (install that ABI's libhxsys1, or build that ABI's tree with "
                    "HX_OTHER_ABI_BIN_DIR naming it)");
  }

  ApplyRegistry(args.Value("registry"));
  const std::string focus = ApplyFocus(args.Value("focus"));
  if (!InstanceExists(focus, &error)) return Fail("run", kExitNotFound, error);

  std::string preload = root + "/$LIB/halvex/" + hxrun::kLibraryName;
  const char* earlier = getenv("LD_PRELOAD");
  const std::string fullPreload =
      earlier != nullptr && *earlier != '\0' ? preload + " " + earlier : preload;
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  setenv("LD_PRELOAD", fullPreload.c_str(), 1);
  setenv(hxrun::kEnvJob, std::to_string(job).c_str(), 1);
  setenv(hxrun::kEnvLimit, std::to_string(limit).c_str(), 1);
  setenv(hxrun::kEnvDirection, direction.c_str(), 1);
  setenv(hxrun::kEnvTables, tables.c_str(), 1);
  setenv(hxrun::kEnvComputer, host, 1);
  setenv(hxrun::kEnvFocus, focus.c_str(), 1);

  struct sigaction sa {};
  sa.sa_sigaction = Forward;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : kForwarded) sigaction(sig, &sa, nullptr);

  // Held back until the child's pid is known, so that none is lost.
  sigset_t forwarded, previous;
  sigemptyset(&forwarded);
  for (int sig : kForwarded) sigaddset(&forwarded, sig);
  sigprocmask(SIG_BLOCK, &forwarded, &previous);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : kForwarded) sigaction(sig, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    ExecProgram(info, command, fullPreload);
  }
  g_child = pid > 0 ? pid : 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) return Fail("run", kExitFailure, std::string("fork failed: ") + strerror(errno));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Fail("run", kExitFailure, std::string("wait failed: ") + strerror(errno));
  }
  g_child = 0;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kExitFailure;
}

}  // namespace hxctl
