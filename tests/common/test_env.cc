#include "tests/common/test_env.h"

#include <fcntl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "throttling/table_kinds.h"
#include "tools/fs_util.h"

namespace hxtest {
namespace {

// An i386 program, which this kernel may not run without the emulator.
bool IsElf32(const std::string& program) {
  char head[5] = {};
  std::ifstream(program, std::ios::binary).read(head, sizeof(head));
  return std::string(head, sizeof(head)) == std::string("\x7f" "ELF\x01", 5);
}

}  // namespace

TestInstance::TestInstance() {
  Options options;
  options.tempPrefix = "/tmp/hxtest";
  options.namePrefix = "T";
  std::string error;
  if (!Create(options, &error) || !SetConfig("Platform", "PhysicalMachine", "hxtesthost", &error) ||
      !SetConfig("Platform", "DebugLevel", "20", &error)) {
    throw std::runtime_error("test instance: " + error);
  }
}

std::vector<std::string> TestInstance::LogLines() const {
  std::vector<std::string> lines;
  std::stringstream in(ReadFile(logDir() + "/hxdebug.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> TestInstance::LogLinesContaining(const std::string& text) const {
  std::vector<std::string> out;
  for (const auto& l : LogLines()) if (l.find(text) != std::string::npos) out.push_back(l);
  return out;
}

void TestInstance::ClearLog() const { unlink((logDir() + "/hxdebug.log").c_str()); }

std::string TablesAttached(const TestInstance& inst) {
  std::string text;
  for (unsigned int kind : {kTMKindInbound, kTMKindOutbound}) {
    const int id = hx::TableSegmentOf(hx::TableKeyFile(inst.jobResultsDir(), inst.focus(), kind));
    shmid_ds ds;
    text += (text.empty() ? "" : " ") + std::to_string(id == -1 || shmctl(id, IPC_STAT, &ds) != 0 ? -1 : int(ds.shm_nattch));
  }
  return text;
}

std::string ChildPath(const std::string& name) { return std::string(HX_TEST_BIN_DIR) + "/" + name; }

std::string OtherAbiChildPath(const std::string& name) {
  if (std::strlen(HX_OTHER_ABI_BIN_DIR) == 0) return "";
  std::string p = std::string(HX_OTHER_ABI_BIN_DIR) + "/" + name;
  return access(p.c_str(), X_OK) == 0 ? p : "";
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& stdoutPath, const std::string& stderrPath) {
  std::vector<std::string> argv;
  if (IsElf32(program)) argv.push_back(std::strlen(HX_EMULATOR) > 0 ? HX_EMULATOR : "/usr/bin/qemu-i386");
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    for (const auto& to : {std::make_pair(1, stdoutPath), std::make_pair(2, stderrPath)}) {
      const int fd = to.second.empty() ? -1 : open(to.second.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0 && dup2(fd, to.first) >= 0) close(fd);
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
                  std::string* out, std::string* err, pid_t* pid) {
  char outPath[] = "/tmp/hxtest_out.XXXXXX", errPath[] = "/tmp/hxtest_out.XXXXXX";
  close(mkstemp(outPath));
  if (err) close(mkstemp(errPath));  // else the child's stderr stays the test's
  const pid_t child = Spawn(program, args, outPath, err ? errPath : "");
  if (pid) *pid = child;
  const int rc = WaitExit(child);
  if (out) *out = ReadFile(outPath);
  if (err) *err = ReadFile(errPath);
  unlink(outPath);
  if (err) unlink(errPath);
  return rc;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = 0; !from.empty() && (p = text.find(from, p)) != std::string::npos; p += to.size()) {
    text.replace(p, from.size(), to);
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::string content;
  return hxctl::ReadWholeFile(path, &content) ? content : "";
}

void WriteFile(const std::string& path, const std::string& content) { hxctl::WriteWholeFile(path, content, nullptr); }

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
