#include "tests/common/test_env.h"

#include "platform/ev_debug.h"
#include "platform/named_mutex.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/hx_platform_info.h"

namespace hxtest {
namespace {

// An i386 program, which this kernel may not run without the emulator.
bool IsElf32(const std::string& program) {
  char head[5] = {};
  std::ifstream(program, std::ios::binary).read(head, sizeof(head));
  return std::string(head, sizeof(head)) == std::string("\x7f" "ELF\x01", 5);
}

std::atomic<int> g_counter{0};

}  // namespace

TestInstance::TestInstance() {
  char tmpl[] = "/tmp/hxtest.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  focus_ = "T" + std::to_string(getpid()) + "_" + std::to_string(g_counter++);
  jobResults_ = root_ + "/JobResults";
  logDir_ = root_ + "/Log";
  std::filesystem::create_directories(jobResults_);
  std::filesystem::create_directories(logDir_);
  for (const char* name : {"HXREG", "HXFOCUS"}) {
    if (const char* value = getenv(name)) saved_[name] = value;
  }
  setenv("HXREG", (root_ + "/registry").c_str(), 1);
  setenv("HXFOCUS", focus_.c_str(), 1);
  HXPI_Focus::setFocus(focus_.c_str());
  SetConfig("Platform", "JobResultsDirectory", jobResults_);
  SetConfig("Platform", "LogFilesDirectory", logDir_);
  SetConfig("Platform", "PhysicalMachine", "hxtesthost");
  SetConfig("Platform", "DebugLevel", "20");
}

TestInstance::~TestInstance() {
  DIR* d = opendir(jobResults_.c_str());
  if (d) {
    while (dirent* e = readdir(d)) {
      if (std::strstr(e->d_name, "_HX_THROTTLE_")) RemoveSegmentForKeyFile(jobResults_ + "/" + e->d_name);
    }
    closedir(d);
  }
  // Locks whose users were all killed keep their segments until removed so.
  const std::string locks = jobResults_ + "/.locks";
  if (DIR* l = opendir(locks.c_str())) {
    while (dirent* e = readdir(l)) {
      if (e->d_name[0] != '.') CNamedMutex::RemoveLockFile(locks + "/" + e->d_name);
    }
    closedir(l);
  }
  std::error_code ec;  // a tree the test made unreadable must not throw here
  std::filesystem::remove_all(root_, ec);
  for (const char* name : {"HXREG", "HXFOCUS"}) {
    const auto it = saved_.find(name);
    if (it == saved_.end()) unsetenv(name);
    if (it != saved_.end()) setenv(name, it->second.c_str(), 1);
  }
  if (saved_.count("HXFOCUS") != 0) HXPI_Focus::setFocus(saved_["HXFOCUS"].c_str());
}

void TestInstance::SetConfig(const std::string& section, const std::string& name,
                             const std::string& value) {
  RemoveConfig(section, name);
  std::string dir = root_ + "/registry/Halvex/" + focus_ + "/" + section;
  std::filesystem::create_directories(dir);
  {
    std::ofstream f(dir + "/.properties", std::ios::app);
    f << name << " " << value << "\n";
  }
  EvDebug::ReloadSettings();  // seen by this process's debug log at once
}

void TestInstance::RemoveConfig(const std::string& section, const std::string& name) {
  const std::string path = root_ + "/registry/Halvex/" + focus_ + "/" + section + "/.properties";
  std::stringstream in(ReadFile(path));
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    if (line.substr(0, line.find_first_of(" \t")) != name) kept += line + "\n";
  }
  if (!in.str().empty()) WriteFile(path, kept);
  EvDebug::ReloadSettings();
}

std::vector<std::string> TestInstance::LogLines() const {
  std::vector<std::string> lines;
  std::stringstream in(ReadFile(logDir_ + "/hxdebug.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> TestInstance::LogLinesContaining(const std::string& text) const {
  std::vector<std::string> out;
  for (const auto& l : LogLines()) {
    if (l.find(text) != std::string::npos) out.push_back(l);
  }
  return out;
}

void TestInstance::ClearLog() const { unlink((logDir_ + "/hxdebug.log").c_str()); }

void RemoveSegmentForKeyFile(const std::string& path) {
  key_t key = ftok(path.c_str(), 0xFEFA);
  if (key == -1) return;
  int id = shmget(key, 0, 0);
  if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

std::string ChildPath(const std::string& name) { return std::string(HX_TEST_BIN_DIR) + "/" + name; }

std::string OtherAbiChildPath(const std::string& name) {
  if (std::strlen(HX_OTHER_ABI_BIN_DIR) == 0) return "";
  std::string p = std::string(HX_OTHER_ABI_BIN_DIR) + "/" + name;
  return access(p.c_str(), X_OK) == 0 ? p : "";
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& stdoutPath) {
  std::vector<std::string> argv;
  if (IsElf32(program)) argv.push_back(std::strlen(HX_EMULATOR) > 0 ? HX_EMULATOR : "/usr/bin/qemu-i386");
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    if (!stdoutPath.empty()) {
      int fd = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        close(fd);
      }
    }
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int RunAndCapture(const std::string& program, const std::vector<std::string>& args,
                  std::string* out) {
  char tmpl[] = "/tmp/hxtest_out.XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd >= 0) close(fd);
  int rc = WaitExit(Spawn(program, args, tmpl));
  if (out) *out = ReadFile(tmpl);
  unlink(tmpl);
  return rc;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = 0; !from.empty() && (p = text.find(from, p)) != std::string::npos; p += to.size()) {
    text.replace(p, from.size(), to);
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

int FakeEnv::RunCommand(const std::string& command, std::string* out, std::string* err) {
  commands.push_back(command);
  auto it = replies.find(command);
  if (it == replies.end()) {
    unknownCommands.push_back(command);
    return -1;
  }
  if (out) *out = it->second.output;
  if (err) err->clear();
  return it->second.result;
}

}  // namespace hxtest
