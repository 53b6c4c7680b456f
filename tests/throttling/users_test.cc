// Another local user on a table root set up: whoever may attach the table may
// take its lock. With "HxGroup" the segment and the lock file belong to that
// group: its members share them, other users get neither.
#include <grp.h>
#include <sys/stat.h>

#include <tuple>

#include "gtest/gtest.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

TEST(UsersTest, AnotherUserSharesATableItMayAttachAndNoOtherUserDoes) {
  if (geteuid() != 0) GTEST_SKIP() << "becoming another user needs root";
  const std::vector<std::tuple<const char*, mode_t, int>> cases = {  // HxGroup, mode, nobody's job
      {"", 0666, 0}, {"nogroup", 0660, 0}, {"daemon", 0660, 4}};
  for (const auto& [group, mode, status] : cases) {
    hxtest::TestInstance inst;
    ASSERT_EQ(chmod(inst.root().c_str(), 0755), 0);
    if (*group) inst.SetConfig("Platform", "HxGroup", group);
    const gid_t gid = *group ? getgrnam(group)->gr_gid : 0;
    thrtest::Manager m;
    ASSERT_EQ(m.Initialize(inst.focus().c_str(), 1, kTMKindOutbound), 0);
    struct shmid_ds segment;
    struct stat lockFile;
    ASSERT_EQ(shmctl(thrtest::TableSegmentOf(hx::TableKeyFile(inst.jobResultsDir(), inst.focus(), kTMKindOutbound)), IPC_STAT, &segment) +
                  stat((CNamedMutex::LockDirectory() + "/" + hx::TableMutexName(inst.focus(), kTMKindOutbound) + ".lock").c_str(), &lockFile), 0);
    EXPECT_EQ(std::make_tuple(segment.shm_perm.mode & 0777u, segment.shm_perm.gid, lockFile.st_mode & 07777u, lockFile.st_gid),
              std::make_tuple(unsigned{mode}, gid, unsigned{mode}, gid)) << group;
    const std::string out = inst.root() + "/nobody.out", program = hxtest::ChildPath("job_child");
    hxtest::WriteFile(out, "");
    ASSERT_EQ(chmod(out.c_str(), 0666), 0);
    const pid_t pid = fork();
    if (pid == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(9);
    if (pid == 0) _exit(access(program.c_str(), X_OK) != 0 ? 10 : hxtest::WaitExit(hxtest::Spawn(program, {"reg", "7", "70", "0", "0", "unreg", "0"}, out)));
    const int exited = hxtest::WaitExit(pid);
    EXPECT_EQ(m.Uninitialize(), 0);
    if (exited == 10) GTEST_SKIP() << "the test programs are out of nobody's reach";
    EXPECT_EQ(exited, status) << group;
    EXPECT_EQ(hxtest::ReadFile(out).find("unreg 0 0") != std::string::npos, status == 0) << group;
  }
}

}  // namespace
