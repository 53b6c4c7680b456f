// Files and directories: refusals of what other users control, modes of what
// is created, where the configured directories are, and the file wrappers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/config_store.h"
#include "platform/hx_platform_info.h"
#include "platform/secure_fs.h"
#include "platform/ua_crc64.h"
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
  struct Case {
    const char* plant;  // shell commands run in the base directory first
    Op op;
    const char* path;  // relative to the base directory
    int err;           // 0: accepted
    const char* reason;
  };
  const Case cases[] = {
      {"ln -s victim link.log", kOpen, "link.log", ELOOP, "symbolic link"},
      {"ln -s made dangling.log", kOpen, "dangling.log", ELOOP, "symbolic link"},
      {"ln victim hard.log", kOpen, "hard.log", EMLINK, "2 hard links"},
      {"mkfifo fifo.log", kOpen, "fifo.log", ENXIO, "fifo.log"},
      {"", kOpen, "plain.log", 0, ""},
      {"mkdir real && ln -s real dirlink", kMake, "dirlink", ELOOP, "symbolic link"},
      {"mkdir -m 0775 gw", kCheck, "gw", EPERM, "mode 0775"},
      {"mkdir -m 0777 ww", kCheck, "ww", EPERM, "mode 0777"},
      {"mkdir -m 0777 open", kMake, "open/x/y", EPERM, "writable by other users"},
      {"", kMake, "victim/sub", ENOTDIR, "victim"},
      {"mkdir -m 1777 mysticky", kCheck, "mysticky", root ? 0 : EPERM, "mode 1777"},
      {"mkdir theirs && chown 65534 theirs", kMake, "theirs/x", EPERM, "owned by uid 65534"},
      {"mkdir -p t/sub && ln -s t tl && chown -h 65534 tl", kCheck, "tl/sub", EPERM, "link " },
      {"mkdir t2 && ln -s t2 mylink", kMake, "mylink/x", 0, ""},
  };
  const std::string base = Path("sfs");
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  hxtest::WriteFile(base + "/victim", "keep");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.plant) + " / " + c.path);
    if (std::strstr(c.plant, "chown") && !root) continue;  // giving a file away needs root
    ASSERT_EQ(system(("cd '" + base + "'; " + c.plant).c_str()), 0);
    const std::string path = base + "/" + c.path;
    const bool existed = access(path.c_str(), F_OK) == 0;
    std::string error;
    bool ok = false;
    errno = 0;
    if (c.op == kOpen) {
      const int fd = hxp::OpenFileNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0644, &error);
      ok = fd >= 0 && close(fd) == 0;
    } else {
      ok = c.op == kCheck ? hxp::CheckDirectory(path, &error)
                          : hxp::MakeSecureDirectory(path, hxp::DirAccess::kShared, &error);
    }
    const int err = errno;
    EXPECT_EQ(ok, c.err == 0) << error;
    if (ok) continue;
    EXPECT_EQ(err, c.err) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_NE(error.find(base), std::string::npos) << "the text names the path: " << error;
    EXPECT_TRUE(c.op != kMake || existed || access(path.c_str(), F_OK) != 0) << "nothing is created";
  }
  EXPECT_EQ(hxtest::ReadFile(base + "/victim"), "keep");
  EXPECT_NE(access((base + "/made").c_str(), F_OK), 0) << "a dangling symlink's target is not created";
  EXPECT_NE(access((base + "/open/x").c_str(), F_OK), 0) << "nothing under a refused parent";
  EXPECT_TRUE(hxp::CheckDirectory("/tmp", nullptr)) << "the sticky /tmp itself is fine";
}

// Created directories get exactly their mode whatever the umask, the group
// when one is configured, and a group-writable directory of that group passes.
TEST_F(FsTest, CreatedDirectoriesHaveFixedModes) {
  const mode_t saved = umask(0);  // a daemon's umask must not open them up
  const std::string myGroup = std::to_string(getegid());
  const struct {
    std::string group;  // "HxGroup" value; "" = none
    hxp::DirAccess access;
    mode_t mode;
  } cases[] = {
      {"", hxp::DirAccess::kShared, 0755},      {"", hxp::DirAccess::kPrivate, 0700},
      {myGroup, hxp::DirAccess::kShared, 0770}, {myGroup, hxp::DirAccess::kPrivate, 0700},
      {"no-such-group-here", hxp::DirAccess::kShared, 0755},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group + " " + std::to_string(static_cast<int>(c.access)));
    instance_.SetConfig("Platform", "HxGroup", c.group);
    const std::string top = Path("m" + std::to_string(n++)), leaf = top + "/a/b";
    std::string error;
    ASSERT_TRUE(hxp::MakeSecureDirectory(leaf, c.access, &error)) << error;
    for (const std::string& d : {top, top + "/a", leaf}) {
      struct stat st;
      ASSERT_EQ(stat(d.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, c.mode) << d;
    }
    EXPECT_TRUE(hxp::MakeSecureDirectory(leaf + "/", c.access, &error)) << "existing: " << error;
  }
  umask(saved);
  EXPECT_NE(isHalvexGroupConfigured(), 0);
  // Group write is trusted only for the configured group.
  EXPECT_EQ(chmod(Path("m2").c_str(), 0770), 0);
  instance_.SetConfig("Platform", "HxGroup", "  " + myGroup + " ");
  EXPECT_TRUE(hxp::CheckDirectory(Path("m2"), nullptr));
  instance_.SetConfig("Platform", "HxGroup", std::to_string(getegid() + 1));
  EXPECT_FALSE(hxp::CheckDirectory(Path("m2"), nullptr));
  instance_.SetConfig("Platform", "HxGroup", " ");
  EXPECT_EQ(isHalvexGroupConfigured(), 0) << "a blank group name is no group";
  EXPECT_FALSE(hxp::CheckDirectory(Path("m2"), nullptr));
}

// Configured directories are used (and made) as given; unset or empty, the
// defaults of the effective user; a path that cannot be a directory, or one
// other users can write, gives null and the reason.
TEST_F(FsTest, DirectoriesComeFromConfigurationOrTheUsersDefaults) {
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 0), "/var/lib/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 0), "/var/log/halvex/I1");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 1000), "/var/tmp/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 1000), "/var/tmp/halvex/I1/Log");
  // Unconfigured or empty, the defaults of a root process; looked at in a
  // chroot to the test's directory, so that nothing outside it is created.
  for (bool empty : {true, false}) {
    for (const char* name : {"LogFilesDirectory", "JobResultsDirectory"}) {
      empty ? instance_.SetConfig("Platform", name, "") : instance_.RemoveConfig("Platform", name);
    }
    if (geteuid() != 0) break;  // chroot needs root
    const std::string f = instance_.focus();
    EXPECT_EQ(plattest::InChild([&] {
                if (chroot(instance_.root().c_str()) != 0 || chdir("/") != 0) return 2;
                setenv("HXREG", "/registry", 1);
                HXPI_EventManager events(0, 1);
                const char* log = events.getLogFilesDirectory();
                HXPI_CommClient comm;
                const char* jobs = comm.getJobResultsDirectory("host");
                return log && jobs && log == "/var/log/halvex/" + f && jobs == "/var/lib/halvex/" + f + "/JobResults" ? 0 : 1;
              }),
              0);
  }
  const std::string jobs = Path("deep/er/jobs"), logs = Path("deep/logs");
  instance_.SetConfig("Platform", "JobResultsDirectory", jobs);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs);
  HXPI_CommClient comm;
  HXPI_EventManager events(0, 1);
  ASSERT_NE(comm.getJobResultsDirectory("host"), nullptr);
  EXPECT_EQ(std::string(comm.getJobResultsDirectory("host")), jobs);
  ASSERT_NE(events.getLogFilesDirectory(), nullptr) << events.getLastErrorMsg();
  EXPECT_EQ(std::string(events.getLogFilesDirectory()), logs);
  EXPECT_TRUE(CUaPath::Exists(jobs.c_str()) && CUaPath::Exists(logs.c_str()));
  hxtest::WriteFile(Path("afile"), "x");
  instance_.SetConfig("Platform", "JobResultsDirectory", Path("afile"));
  EXPECT_EQ(comm.getJobResultsDirectory("host"), nullptr);
  ASSERT_EQ(chmod(logs.c_str(), 0777), 0);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs + "/sub");
  EXPECT_EQ(events.getLogFilesDirectory(), nullptr);
  EXPECT_NE(std::string(events.getLastErrorMsg()).find("writable by other users"), std::string::npos);
  EXPECT_FALSE(CUaPath::Exists((logs + "/sub").c_str()));
}

// What CUaFile writes is all in the file once it is closed or destroyed, and
// no descriptor outlives the object; a writing open never follows a symlink.
TEST_F(FsTest, FilesHoldTheirDataAndLeaveNoDescriptorBehind) {
  const int fds = plattest::CountFds();
  const std::string data(200000, 'z'), path = Path("a.csv");
  for (bool closeExplicitly : {true, false}) {
    CUaFile f;
    ASSERT_TRUE(f.Open(path.c_str(), O_RDONLY | O_CREAT, 0644).Success());
    ASSERT_TRUE(f.Open(path.c_str(), O_WRONLY | O_TRUNC, 0644).Success()) << "reopening closes first";
    size_t written = 0;
    ASSERT_TRUE(f.Write(data.data(), data.size(), &written).Success());
    EXPECT_EQ(written, data.size());
    uint64_t size = 0;
    ASSERT_TRUE(f.Size(size).Success());
    EXPECT_EQ(size, data.size());
    if (!closeExplicitly) continue;
    EXPECT_TRUE(f.Close().Success());
    EXPECT_EQ(plattest::CountFds(), fds);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Write("x", 1, &written).Errno(), EBADF);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(f.Size(size).IsError());
  }
  EXPECT_EQ(plattest::CountFds(), fds);
  EXPECT_EQ(hxtest::ReadFile(path), data);

  ASSERT_EQ(symlink(path.c_str(), Path("link").c_str()), 0);
  CUaFile f;
  EXPECT_EQ(f.Open(Path("link").c_str(), O_WRONLY | O_APPEND, 0).Errno(), ELOOP);
  EXPECT_TRUE(f.Open(Path("link").c_str(), O_RDONLY, 0).Success()) << "reading may follow it";
  struct stat st;
  ASSERT_TRUE(CUaFile::Stat(path.c_str(), st).Success());
  EXPECT_LE(std::llabs(static_cast<long long>(st.st_mtime) - time(nullptr)), 2);
  const CUaError missing = CUaFile::Stat(Path("none").c_str(), st);
  EXPECT_EQ(missing.Errno(), ENOENT);
  EXPECT_EQ(missing.AsString(), std::strerror(ENOENT));
  EXPECT_EQ(CUaError().AsString(), "");

  hxtest::WriteFile(Path("to"), "old");
  ASSERT_TRUE(CUaUTFOSAPI::rename(path.c_str(), Path("to").c_str()).Success());
  EXPECT_EQ(hxtest::ReadFile(Path("to")), data) << "rename replaces the target";
  EXPECT_FALSE(CUaPath::Exists(path.c_str()));
  EXPECT_EQ(CUaUTFOSAPI::rename(path.c_str(), Path("to").c_str()).Errno(), ENOENT);
  ASSERT_TRUE(CUaUTFOSAPI::remove(Path("to").c_str()).Success());
  EXPECT_FALSE(CUaPath::Exists(Path("to").c_str()));
  EXPECT_EQ(CUaUTFOSAPI::remove(Path("to").c_str()).Errno(), ENOENT);
}

// Directories are created with their parents on request and listed by glob,
// hidden names included, subdirectories alone when asked.
TEST_F(FsTest, DirectoriesAreCreatedAndListedByPattern) {
  const std::string dir = Path("x/y/z");
  ASSERT_TRUE(CUaDirectory::Create(dir.c_str(), true).Success());
  EXPECT_TRUE(CUaDirectory::Create(dir.c_str(), true).Success()) << "existing is fine";
  EXPECT_EQ(CUaDirectory::Create(dir.c_str(), false).Errno(), EEXIST);
  EXPECT_EQ(CUaDirectory::Create(Path("p/q").c_str(), false).Errno(), ENOENT) << "no parent";
  ASSERT_TRUE(CUaDirectory::Create((dir + "/sub").c_str(), false).Success());
  for (const char* n : {"a.csv", "b.csv", "c.txt", ".hidden.csv"}) hxtest::WriteFile(dir + "/" + n, "");
  const auto list = [&](const char* pattern, bool files) {
    CUaDirectory d;
    std::vector<std::string> names;
    EXPECT_TRUE(d.Open(dir.c_str(), pattern, files).Success());
    SUaDirEntry e;
    for (bool end = false; d.GetEntry(&e, end).Success() && !end;) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list("*", true), (std::vector<std::string>{".hidden.csv", "a.csv", "b.csv", "c.txt", "sub"}));
  EXPECT_EQ(list("*.csv", true), (std::vector<std::string>{".hidden.csv", "a.csv", "b.csv"}));
  EXPECT_EQ(list("", false), (std::vector<std::string>{"sub"}));
  CUaDirectory missing;
  EXPECT_EQ(missing.Open(Path("none").c_str(), "*", true).Errno(), ENOENT);

  // Long lock names are shortened with this checksum: the standard check value.
  CUaCRC64 crc;
  crc.UpdateCRC64("1234", 4);
  crc.UpdateCRC64("56789", 5);
  EXPECT_EQ(crc.GetCRC64(), 0x995DC9BBDF1939FAULL);
}

}  // namespace
