// Files and directories: refusals of what other users control, modes of what
// is created, where the configured directories are, and the file wrappers.
#include <numeric>
#include <set>

#include "platform/config_store.h"
#include "platform/hx_platform_info.h"
#include "platform/secure_fs.h"
#include "platform/ua_file.h"
#include "tests/platform/platform_test_util.h"

namespace {

using FsTest = plattest::PlatformTest;

// Every way another user could make the library write elsewhere, and the
// accepted look-alikes: what the check, creation or open says, that the text
// names the path and the reason, and that a refusal created nothing.
TEST_F(FsTest, RefusesWhatOtherUsersControlAndAcceptsTheRest) {
  const bool root = geteuid() == 0;
  enum Op { kCheck, kMake, kOpen };
  // Shell commands run in the base directory first, the call, its path there,
  // the errno (0: accepted) and part of the text.
  const std::vector<std::tuple<const char*, Op, const char*, int, const char*>> cases = {
      {"ln -s victim link.log", kOpen, "link.log", ELOOP, "symbolic link"}, {"ln victim hard.log", kOpen, "hard.log", EMLINK, "2 hard links"},
      {"mkfifo fifo.log", kOpen, "fifo.log", ENXIO, "fifo.log"}, {"", kOpen, "plain.log", 0, ""},
      {"mkdir real && ln -s real dirlink", kMake, "dirlink", ELOOP, "symbolic link"}, {"mkdir -m 0775 gw", kCheck, "gw/", EPERM, "mode 0775"},
      {"mkdir -m 0777 open", kMake, "open/x/y", EPERM, "writable by other users"}, {"", kCheck, "missing", ENOENT, "cannot use"},
      {"", kMake, "victim/sub", ENOTDIR, "Not a directory"}, {"mkdir t2 && ln -s t2 mylink", kMake, "mylink/x", 0, ""},
      {"mkdir -m 1777 mysticky", kCheck, "mysticky", root ? 0 : EPERM, "mode 1777"},
      {"mkdir theirs && chown 65534 theirs", kMake, "theirs/x", EPERM, "owned by uid 65534"},
      {"mkdir -p t/sub && ln -s t tl && chown -h 65534 tl", kCheck, "tl/sub", EPERM, "link"}};
  const std::string base = Path("sfs");
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  hxtest::WriteFile(base + "/victim", "keep");
  for (const auto& [plant, op, relative, expectedErr, reason] : cases) {
    if (std::strstr(plant, "chown") && !root) continue;  // giving a file away needs root
    ASSERT_EQ(system(("cd '" + base + "'; " + plant).c_str()), 0);
    const std::string path = base + "/" + relative;
    const bool existed = access(path.c_str(), F_OK) == 0;
    std::string error;
    errno = 0;
    const int fd = op == kOpen ? hxp::OpenFileNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0644, &error) : -1;
    const bool ok = op == kOpen    ? fd >= 0 && close(fd) == 0
                    : op == kCheck ? hxp::CheckDirectory(path, &error)
                                   : hxp::MakeSecureDirectory(path, hxp::DirAccess::kShared, &error);
    const int err = ok ? 0 : errno;
    EXPECT_EQ(err, expectedErr) << path << ": " << error;
    EXPECT_TRUE(err == 0 || (error.find(reason) != std::string::npos && error.find(base) != std::string::npos)) << error;
    EXPECT_TRUE(op != kMake || err == 0 || existed || access(path.c_str(), F_OK) != 0) << path << " is created";
  }
  EXPECT_EQ(hxtest::ReadFile(base + "/victim"), "keep");
  EXPECT_NE(access((base + "/open/x").c_str(), F_OK), 0) << "nothing under a refused parent";
  EXPECT_TRUE(hxp::CheckDirectory("/tmp", nullptr)) << "the sticky /tmp itself is fine";
}

// Created directories get exactly their mode whatever the umask, and the
// group when one is configured.
TEST_F(FsTest, CreatedDirectoriesHaveFixedModes) {
  const mode_t saved = umask(0);  // a daemon's umask must not open them up
  const std::string mine = std::to_string(getegid());
  const std::vector<std::tuple<std::string, hxp::DirAccess, mode_t>> cases = {  // "HxGroup", access, mode
      {"", hxp::DirAccess::kShared, 0755}, {"", hxp::DirAccess::kPrivate, 0700}, {mine, hxp::DirAccess::kShared, 0770},
      {mine, hxp::DirAccess::kPrivate, 0700}, {"no-such-group", hxp::DirAccess::kShared, 0755}};
  for (const auto& [group, access, mode] : cases) {
    instance_.SetConfig("Platform", "HxGroup", group);
    const std::string top = Path("m" + std::to_string(mode) + group);
    ASSERT_TRUE(hxp::MakeSecureDirectory(top + "/a/b", access, nullptr)) << group;
    for (const std::string& d : {top, top + "/a", top + "/a/b"})
      EXPECT_EQ(static_cast<mode_t>(std::filesystem::status(d).permissions()), mode) << d;
  }
  umask(saved);
}

// Configured directories are used (and made) as given; a path that cannot be
// a directory, or one other users can write, gives null; unset or empty, the
// defaults (a root process: directories only root can create).
TEST_F(FsTest, DirectoriesComeFromConfigurationOrTheDefaults) {
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 0), "/var/lib/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 1000), "/var/tmp/halvex/I1/Log");
  const std::string f = instance_.focus(), jobs = Path("deep/er/jobs"), logs = Path("deep/logs");
  instance_.SetConfig("Platform", "JobResultsDirectory", jobs);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs);
  HXPI_EventManager events(0, 1);
  HXPI_CommClient comm;
  const auto both = [&] {
    const char *log = events.getLogFilesDirectory(), *jobsDir = comm.getJobResultsDirectory("host");
    return std::string(log ? log : "null") + " " + (jobsDir ? jobsDir : "null");
  };
  EXPECT_EQ(both(), logs + " " + jobs);
  hxtest::WriteFile(Path("afile"), "x");
  instance_.SetConfig("Platform", "JobResultsDirectory", Path("afile"));
  ASSERT_EQ(chmod(logs.c_str(), 0777), 0);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs + "/sub");
  EXPECT_EQ(both(), "null null");
  EXPECT_NE(std::string(events.getLastErrorMsg()).find("writable by other users"), std::string::npos);
  if (geteuid() != 0) return;  // the defaults are looked at in a chroot, which needs root
  for (bool empty : {true, false}) {
    for (const char* name : {"LogFilesDirectory", "JobResultsDirectory"})
      empty ? instance_.SetConfig("Platform", name, "") : instance_.RemoveConfig("Platform", name);
    EXPECT_EQ(plattest::InChild([&] {
                if (chroot(instance_.root().c_str()) != 0 || chdir("/") != 0) return 2;
                setenv("HXREG", "/registry", 1);  // nothing outside the test's directory is made
                return both() == "/var/log/halvex/" + f + " /var/lib/halvex/" + f + "/JobResults" ? 0 : 1;
              }), 0);
  }
}

// What CUaFile writes is all in the file once it is closed or destroyed, and
// no descriptor outlives the object; a writing open never follows a symlink.
TEST_F(FsTest, FilesHoldTheirDataAndLeaveNoDescriptorBehind) {
  const int fds = plattest::CountFds();
  const std::string data(200000, 'z'), path = Path("a.csv");
  const int stdinCopy = dup(0);
  close(0);  // a daemon may run without stdin: a file then gets descriptor 0
  for (bool closeExplicitly : {true, false}) {
    CUaFile f;
    ASSERT_TRUE(f.Open(path.c_str(), O_RDONLY | O_CREAT, 0644).Success());
    ASSERT_TRUE(f.Open(path.c_str(), O_WRONLY | O_TRUNC, 0644).Success()) << "reopening closes first";
    size_t written = 0;
    uint64_t size = 0;
    struct stat st;
    EXPECT_TRUE(f.Write(data.data(), data.size(), &written).Success() && f.Size(size).Success() && f.FileStat(st).Success());
    EXPECT_EQ(written + size + st.st_size, 3 * data.size());
    if (!closeExplicitly) continue;
    EXPECT_TRUE(f.Close().Success());
    EXPECT_EQ(plattest::CountFds(), fds);
    EXPECT_EQ(f.Write("x", 1, &written).Errno() + written + f.Size(size).Errno(), 2u * EBADF);
  }
  EXPECT_EQ(plattest::CountFds(), fds) << "a leak would hide in descriptor 0 once stdin is back";
  dup2(stdinCopy, 0);
  close(stdinCopy);
  EXPECT_EQ(hxtest::ReadFile(path), data);
  ASSERT_EQ(symlink(path.c_str(), Path("link").c_str()), 0);
  CUaFile f;
  EXPECT_EQ(f.Open(Path("link").c_str(), O_WRONLY | O_APPEND, 0).Errno(), ELOOP);
  hxtest::WriteFile(Path("to"), "old");
  ASSERT_TRUE(CUaUTFOSAPI::rename(path.c_str(), Path("to").c_str()).Success());
  EXPECT_EQ(hxtest::ReadFile(Path("to")), data) << "rename replaces the target";
  // A listing: every entry but "." and "..", hidden ones too; subdirectories only; by pattern.
  ASSERT_EQ(system(("cd " + Path("") + " && mkdir -p list/d && touch list/.h list/x.csv").c_str()), 0);
  for (const auto& [pattern, files, names] : std::vector<std::tuple<const char*, bool, std::string>>{
           {"*", true, ".h d x.csv "}, {"*", false, "d "}, {"*.csv", true, "x.csv "}}) {
    CUaDirectory dir;
    std::set<std::string> found;
    SUaDirEntry entry;
    bool end = false;
    ASSERT_TRUE(dir.Open(Path("list").c_str(), pattern, files).Success());
    while (dir.GetEntry(&entry, end).Success() && !end) found.insert(entry.name);
    EXPECT_EQ(std::accumulate(found.begin(), found.end(), std::string(), [](std::string a, const std::string& b) { return a + b + " "; }), names) << pattern;
    EXPECT_TRUE(end) << pattern;
  }
}

}  // namespace
