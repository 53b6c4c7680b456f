// Files and directories: refusals of what other users control, modes of what
// is created, where the configured directories are, and the file wrappers.
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
  const struct {
    const char* plant;  // shell commands run in the base directory first
    Op op;
    const char* path;  // relative to the base directory
    int err;           // 0: accepted
    const char* reason;
  } cases[] = {
      {"ln -s victim link.log", kOpen, "link.log", ELOOP, "symbolic link"},
      {"ln -s made dangling.log", kOpen, "dangling.log", ELOOP, "symbolic link"},
      {"ln victim hard.log", kOpen, "hard.log", EMLINK, "2 hard links"},
      {"mkfifo fifo.log", kOpen, "fifo.log", ENXIO, "fifo.log"},
      {"", kOpen, "plain.log", 0, ""},
      {"mkdir real && ln -s real dirlink", kMake, "dirlink", ELOOP, "symbolic link"},
      {"mkdir -m 0775 gw", kCheck, "gw", EPERM, "mode 0775"},
      {"mkdir -m 0777 ww", kCheck, "ww/", EPERM, "mode 0777"},
      {"mkdir -m 0777 open", kMake, "open/x/y", EPERM, "writable by other users"},
      {"", kMake, "victim/sub", ENOTDIR, "Not a directory"},
      {"", kCheck, "victim", ENOTDIR, "not a directory"},
      {"", kCheck, "missing", ENOENT, "cannot use"},
      {"mkdir -m 1777 mysticky", kCheck, "mysticky", root ? 0 : EPERM, "mode 1777"},
      {"mkdir theirs && chown 65534 theirs", kMake, "theirs/x", EPERM, "owned by uid 65534"},
      {"mkdir -p t/sub && ln -s t tl && chown -h 65534 tl", kCheck, "tl/sub", EPERM, "link"},
      {"mkdir t2 && ln -s t2 mylink", kMake, "mylink/x", 0, ""},
  };
  const std::string base = Path("sfs");
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  hxtest::WriteFile(base + "/victim", "keep");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.plant) + " / " + c.path);
    if (std::strstr(c.plant, "chown") && !root) continue;  // giving a file away needs root
    ASSERT_EQ(system(("cd '" + base + "'; " + c.plant).c_str()), 0);
    const std::string path = base + "/" + c.path;
    const bool existed = access(path.c_str(), F_OK) == 0;
    std::string error;
    errno = 0;
    const int fd = c.op == kOpen ? hxp::OpenFileNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0644, &error)
                   : c.op == kCheck ? (hxp::CheckDirectory(path, &error) ? 0 : -1)
                                    : (hxp::MakeSecureDirectory(path, hxp::DirAccess::kShared, &error) ? 0 : -1);
    const int err = errno;
    EXPECT_EQ(fd >= 0, c.err == 0) << error;
    if (fd >= 0) close(fd);
    if (fd >= 0) continue;
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

// Created directories get exactly their mode whatever the umask, and the
// group when one is configured; group write is trusted for that group only.
TEST_F(FsTest, CreatedDirectoriesHaveFixedModes) {
  const mode_t saved = umask(0);  // a daemon's umask must not open them up
  const std::string mine = std::to_string(getegid());
  const struct {
    std::string group;  // "HxGroup" value
    hxp::DirAccess access;
    mode_t mode;
  } cases[] = {{"", hxp::DirAccess::kShared, 0755},     {"", hxp::DirAccess::kPrivate, 0700},
               {mine, hxp::DirAccess::kShared, 0770},   {mine, hxp::DirAccess::kPrivate, 0700},
               {"no-such-group", hxp::DirAccess::kShared, 0755}};
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    instance_.SetConfig("Platform", "HxGroup", cases[i].group);
    const std::string top = Path("m" + std::to_string(i));
    ASSERT_TRUE(hxp::MakeSecureDirectory(top + "/a/b", cases[i].access, nullptr)) << i;
    for (const std::string& d : {top, top + "/a", top + "/a/b"}) {
      struct stat st;
      EXPECT_TRUE(stat(d.c_str(), &st) == 0 && (st.st_mode & 07777) == cases[i].mode) << d;
    }
  }
  umask(saved);
  for (const std::string& group : {" " + mine + " ", std::to_string(getegid() + 1), std::string(" ")}) {
    instance_.SetConfig("Platform", "HxGroup", group);
    EXPECT_EQ(hxp::CheckDirectory(Path("m2"), nullptr), group[1] == mine[0]) << group;
    EXPECT_EQ(isHalvexGroupConfigured(), group != " ");
  }
}

// Configured directories are used (and made) as given; a path that cannot be
// a directory, or one other users can write, gives null; unset or empty, the
// defaults (a root process: directories only root can create).
TEST_F(FsTest, DirectoriesComeFromConfigurationOrTheDefaults) {
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 0), "/var/lib/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 0), "/var/log/halvex/I1");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 1000), "/var/tmp/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 1000), "/var/tmp/halvex/I1/Log");
  const std::string f = instance_.focus(), jobs = Path("deep/er/jobs"), logs = Path("deep/logs");
  instance_.SetConfig("Platform", "JobResultsDirectory", jobs);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs);
  HXPI_EventManager events(0, 1);
  HXPI_CommClient comm;
  const auto both = [&] {
    const char* log = events.getLogFilesDirectory();
    const char* jobsDir = comm.getJobResultsDirectory("host");
    return std::string(log ? log : "null") + " " + (jobsDir ? jobsDir : "null");
  };
  EXPECT_EQ(both(), logs + " " + jobs);
  EXPECT_TRUE(CUaPath::Exists(jobs.c_str()) && CUaPath::Exists(logs.c_str()));
  hxtest::WriteFile(Path("afile"), "x");
  instance_.SetConfig("Platform", "JobResultsDirectory", Path("afile"));
  ASSERT_EQ(chmod(logs.c_str(), 0777), 0);
  instance_.SetConfig("Platform", "LogFilesDirectory", logs + "/sub");
  EXPECT_EQ(both(), "null null");
  EXPECT_NE(std::string(events.getLastErrorMsg()).find("writable by other users"), std::string::npos);
  EXPECT_FALSE(CUaPath::Exists((logs + "/sub").c_str()));
  if (geteuid() != 0) return;  // the defaults are looked at in a chroot, which needs root
  for (bool empty : {true, false}) {
    for (const char* name : {"LogFilesDirectory", "JobResultsDirectory"}) {
      empty ? instance_.SetConfig("Platform", name, "") : instance_.RemoveConfig("Platform", name);
    }
    EXPECT_EQ(plattest::InChild([&] {
                if (chroot(instance_.root().c_str()) != 0 || chdir("/") != 0) return 2;
                setenv("HXREG", "/registry", 1);  // nothing outside the test's directory is made
                return both() == "/var/log/halvex/" + f + " /var/lib/halvex/" + f + "/JobResults" ? 0 : 1;
              }),
              0);
  }
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
    uint64_t size = 0;
    EXPECT_TRUE(f.Write(data.data(), data.size(), &written).Success() && f.Size(size).Success());
    EXPECT_EQ(written + size, 2 * data.size());
    if (!closeExplicitly) continue;
    EXPECT_TRUE(f.Close().Success());
    EXPECT_EQ(plattest::CountFds(), fds);
    EXPECT_EQ(f.Write("x", 1, &written).Errno(), EBADF);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(f.Size(size).Errno(), EBADF);
  }
  EXPECT_EQ(plattest::CountFds(), fds);
  EXPECT_EQ(hxtest::ReadFile(path), data);
  ASSERT_EQ(symlink(path.c_str(), Path("link").c_str()), 0);
  CUaFile f;
  EXPECT_EQ(f.Open(Path("link").c_str(), O_WRONLY | O_APPEND, 0).Errno(), ELOOP);
  EXPECT_TRUE(f.Open(Path("link").c_str(), O_RDONLY, 0).Success()) << "reading may follow it";
  struct stat st;
  EXPECT_EQ(CUaFile::Stat(Path("none").c_str(), st).AsString(), std::strerror(ENOENT));
  EXPECT_EQ(CUaError().AsString(), "");
  hxtest::WriteFile(Path("to"), "old");
  ASSERT_TRUE(CUaUTFOSAPI::rename(path.c_str(), Path("to").c_str()).Success());
  EXPECT_EQ(hxtest::ReadFile(Path("to")), data) << "rename replaces the target";
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
    EXPECT_TRUE(d.Open(dir.c_str(), pattern, files).Success());
    std::vector<std::string> names;
    SUaDirEntry e;
    for (bool end = false; d.GetEntry(&e, end).Success() && !end;) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto& n : names) joined += n + " ";
    return joined;
  };
  EXPECT_EQ(list("*", true), ".hidden.csv a.csv b.csv c.txt sub ");
  EXPECT_EQ(list("*.csv", true), ".hidden.csv a.csv b.csv ");
  EXPECT_EQ(list("", false), "sub ");
  EXPECT_EQ(CUaDirectory().Open(Path("none").c_str(), "*", true).Errno(), ENOENT);
}

}  // namespace
