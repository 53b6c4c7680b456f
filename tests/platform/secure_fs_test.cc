// Files and directories other users could redirect: every refusal, and the
// modes of what the library creates.
#include "platform/secure_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/config_store.h"
#include "tests/common/test_env.h"

namespace {

const uid_t kOtherUser = 65534;  // nobody

class SecureFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = instance_.root() + "/sfs";
    ASSERT_EQ(0, mkdir(base_.c_str(), 0755));
  }
  std::string P(const std::string& name) const { return base_ + "/" + name; }
  void Dir(const std::string& name, mode_t mode) {
    ASSERT_EQ(0, mkdir(P(name).c_str(), 0700));
    ASSERT_EQ(0, chmod(P(name).c_str(), mode));
  }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  hxtest::TestInstance instance_;
  std::string base_;
};

// Every way another user could make the library write elsewhere, and the
// accepted look-alikes. For each: what the check (or the open) says, that the
// text names the reason, and that a refusal created nothing.
TEST_F(SecureFsTest, RefusesWhatOtherUsersControlAndAcceptsTheRest) {
  const bool root = geteuid() == 0;
  enum Op { kCheck, kMake, kOpen };
  struct Case {
    const char* name;
    std::function<void()> setup;
    Op op;
    std::string path;      // relative to the base directory
    int err;               // 0: accepted
    const char* reason;    // part of the error text
    bool needsRoot;
  };
  hxtest::WriteFile(P("victim"), "keep");
  const std::vector<Case> cases = {
      {"symlinked file", [&] { ASSERT_EQ(0, symlink(P("victim").c_str(), P("link.log").c_str())); },
       kOpen, "link.log", ELOOP, "symbolic link", false},
      {"dangling symlink", [&] { ASSERT_EQ(0, symlink(P("made").c_str(), P("dangling.log").c_str())); },
       kOpen, "dangling.log", ELOOP, "symbolic link", false},
      {"hard link", [&] { ASSERT_EQ(0, link(P("victim").c_str(), P("hard.log").c_str())); },
       kOpen, "hard.log", EMLINK, "hard links", false},
      {"fifo", [&] { ASSERT_EQ(0, mkfifo(P("fifo.log").c_str(), 0644)); },
       kOpen, "fifo.log", ENXIO, "fifo.log", false},
      {"plain file", [] {}, kOpen, "plain.log", 0, "", false},
      {"symlinked directory", [&] {
         Dir("real", 0755);
         ASSERT_EQ(0, symlink(P("real").c_str(), P("dirlink").c_str()));
       }, kMake, "dirlink", ELOOP, "symbolic link", false},
      {"group-writable directory", [&] { Dir("gw", 0775); }, kCheck, "gw", EPERM, "mode 0775", false},
      {"world-writable directory", [&] { Dir("ww", 0777); }, kCheck, "ww", EPERM, "mode 0777", false},
      {"under a world-writable parent", [&] { Dir("open", 0777); }, kMake, "open/x/y", EPERM,
       "writable by other users", false},
      {"not a directory", [] {}, kMake, "victim/sub", ENOTDIR, "victim", false},
      {"own sticky world-writable", [&] { Dir("mysticky", 01777); }, kCheck, "mysticky",
       root ? 0 : EPERM, root ? "" : "mode 1777", false},
      {"another owner's directory", [&] {
         Dir("theirs", 0755);
         ASSERT_EQ(0, chown(P("theirs").c_str(), kOtherUser, kOtherUser));
       }, kMake, "theirs/x", EPERM, "owned by uid 65534", true},
      {"another owner's symlink on the way", [&] {
         Dir("target", 0755);
         Dir("target/sub", 0755);
         ASSERT_EQ(0, symlink(P("target").c_str(), P("theirlink").c_str()));
         ASSERT_EQ(0, lchown(P("theirlink").c_str(), kOtherUser, kOtherUser));
       }, kCheck, "theirlink/sub", EPERM, "is owned by uid 65534", true},
      {"own symlink on the way", [&] {
         Dir("target2", 0755);
         ASSERT_EQ(0, symlink(P("target2").c_str(), P("mylink").c_str()));
       }, kMake, "mylink/x", 0, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && !root) {
      std::printf("[  SKIPPED ] %s: needs root to give a file to another user\n", c.name);
      continue;
    }
    c.setup();
    const std::string path = P(c.path);
    const bool existed = Exists(path);
    std::string error;
    errno = 0;
    bool ok = false;
    if (c.op == kOpen) {
      const int fd = hxp::OpenFileNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0644, &error);
      ok = fd >= 0;
      if (ok) close(fd);
    } else if (c.op == kCheck) {
      ok = hxp::CheckDirectory(path, &error);
    } else {
      ok = hxp::MakeSecureDirectory(path, hxp::DirAccess::kShared, &error);
    }
    const int err = errno;
    EXPECT_EQ(ok, c.err == 0) << error;
    if (c.err == 0) continue;
    EXPECT_EQ(err, c.err) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_NE(error.find(base_), std::string::npos) << "the text names the path: " << error;
    if (c.op == kMake && !existed) {
      EXPECT_FALSE(Exists(path)) << "nothing is created";
    }
  }
  EXPECT_EQ(hxtest::ReadFile(P("victim")), "keep");
  EXPECT_FALSE(Exists(P("made"))) << "a dangling symlink's target is not created";
  EXPECT_FALSE(Exists(P("open/x"))) << "nothing under a refused parent";
  EXPECT_TRUE(hxp::CheckDirectory("/tmp", nullptr)) << "the sticky /tmp itself is fine";
}

// Created directories get exactly their mode whatever the umask, the group
// when one is configured, and a group-writable directory of that group passes.
TEST_F(SecureFsTest, CreatedDirectoriesHaveFixedModes) {
  const mode_t saved = umask(0);  // a daemon's umask must not open them up
  struct Case {
    const char* group;  // "HxGroup" value; "" = none
    hxp::DirAccess access;
    mode_t mode;
  };
  const std::string myGroup = std::to_string(getegid());
  const Case cases[] = {
      {"", hxp::DirAccess::kShared, 0755},
      {"", hxp::DirAccess::kPrivate, 0700},
      {myGroup.c_str(), hxp::DirAccess::kShared, 0770},
      {myGroup.c_str(), hxp::DirAccess::kPrivate, 0700},
      {"no-such-group-here", hxp::DirAccess::kShared, 0755},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.group) + " " + std::to_string(static_cast<int>(c.access)));
    instance_.SetConfig("Platform", "HxGroup", c.group);
    const std::string top = P("m" + std::to_string(n++)), leaf = top + "/a/b";
    std::string error;
    ASSERT_TRUE(hxp::MakeSecureDirectory(leaf, c.access, &error)) << error;
    for (const std::string& d : {top, top + "/a", leaf}) EXPECT_EQ(ModeOf(d), c.mode) << d;
    EXPECT_TRUE(hxp::MakeSecureDirectory(leaf, c.access, &error)) << "existing: " << error;
  }
  umask(saved);
  // Group write is trusted only for the configured group.
  Dir("grp", 0770);
  instance_.SetConfig("Platform", "HxGroup", myGroup);
  EXPECT_TRUE(hxp::CheckDirectory(P("grp"), nullptr));
  instance_.SetConfig("Platform", "HxGroup", std::to_string(getegid() + 1));
  EXPECT_FALSE(hxp::CheckDirectory(P("grp"), nullptr));
}

TEST(DefaultDirectories, RootUsesDirectoriesOnlyRootCanCreate) {
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 0), "/var/lib/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 0), "/var/log/halvex/I1");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "JobResults", 1000), "/var/tmp/halvex/I1/JobResults");
  EXPECT_EQ(hxp::DefaultDirectoryFor("I1", "Log", 1000), "/var/tmp/halvex/I1/Log");
}

}  // namespace
