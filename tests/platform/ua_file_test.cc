#include "platform/ua_file.h"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/ua_crc64.h"
#include "tests/common/test_env.h"

namespace {

TEST(UaCrc64Test, MatchesTheStandardCheckValue) {
  CUaCRC64 crc;
  crc.UpdateCRC64("123456789", 9);
  EXPECT_EQ(crc.GetCRC64(), 0x995DC9BBDF1939FAULL);

  CUaCRC64 pieces;  // fed in parts: same result
  pieces.UpdateCRC64("1234", 4);
  pieces.UpdateCRC64("", 0);
  pieces.UpdateCRC64("56789", 5);
  EXPECT_EQ(pieces.GetCRC64(), crc.GetCRC64());

  EXPECT_EQ(CUaCRC64().GetCRC64(), 0u) << "nothing fed: complement of all ones";
}

class UaFileTest : public ::testing::Test {
 protected:
  hxtest::TestInstance instance_;
  std::string Path(const std::string& name) const { return instance_.root() + "/" + name; }
};

TEST_F(UaFileTest, WriteSizeStatRenameAndRemove) {
  CUaFile f;
  ASSERT_TRUE(f.Open(Path("a.csv").c_str(), O_CREAT | O_WRONLY | O_APPEND, 0644).Success());
  EXPECT_TRUE(f.IsOpen());
  std::string data(200000, 'z');
  size_t written = 0;
  ASSERT_TRUE(f.Write(data.data(), data.size(), &written).Success());
  EXPECT_EQ(written, data.size());
  uint64_t size = 0;
  ASSERT_TRUE(f.Size(size).Success());
  EXPECT_EQ(size, data.size());
  EXPECT_TRUE(f.Close().Success());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_TRUE(f.Write("x", 1, &written).IsError());
  EXPECT_EQ(written, 0u);

  struct stat st;
  ASSERT_TRUE(CUaFile::Stat(Path("a.csv").c_str(), st).Success());
  EXPECT_LE(std::llabs(static_cast<long long>(st.st_mtime) - time(nullptr)), 2);
  CUaError missing = CUaFile::Stat(Path("none").c_str(), st);
  EXPECT_TRUE(missing.IsError());
  EXPECT_EQ(missing.Errno(), ENOENT);
  EXPECT_NE(missing.AsString(), "");
  EXPECT_EQ(CUaError().AsString(), "");

  // Rename replaces, remove deletes.
  hxtest::WriteFile(Path("from"), "new");
  hxtest::WriteFile(Path("to"), "old");
  ASSERT_TRUE(CUaUTFOSAPI::rename(Path("from").c_str(), Path("to").c_str()).Success());
  EXPECT_EQ(hxtest::ReadFile(Path("to")), "new");
  EXPECT_FALSE(CUaPath::Exists(Path("from").c_str()));
  ASSERT_TRUE(CUaUTFOSAPI::remove(Path("to").c_str()).Success());
  EXPECT_FALSE(CUaPath::Exists(Path("to").c_str()));
  EXPECT_TRUE(CUaUTFOSAPI::remove(Path("to").c_str()).IsError());
}

TEST_F(UaFileTest, DirectoryCreateListAndMatch) {
  std::string dir = Path("x/y/z");
  ASSERT_TRUE(CUaDirectory::Create(dir.c_str(), true).Success());
  EXPECT_TRUE(CUaPath::Exists(dir.c_str()));
  EXPECT_TRUE(CUaDirectory::Create(dir.c_str(), true).Success()) << "existing is fine";
  EXPECT_TRUE(CUaDirectory::Create(Path("p/q").c_str(), false).IsError()) << "no parent";
  for (const char* n : {"a.csv", "b.csv", "c.txt", ".hidden.csv"}) hxtest::WriteFile(dir + "/" + n, "");
  ASSERT_TRUE(CUaDirectory::Create((dir + "/sub").c_str(), false).Success());

  auto list = [&](const char* pattern, bool files) {
    CUaDirectory d;
    std::vector<std::string> names;
    EXPECT_TRUE(d.Open(dir.c_str(), pattern, files).Success());
    for (;;) {
      SUaDirEntry e;
      bool end = false;
      EXPECT_TRUE(d.GetEntry(&e, end).Success());
      if (end) break;
      names.push_back(e.name);
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list("*", true), (std::vector<std::string>{".hidden.csv", "a.csv", "b.csv", "c.txt", "sub"}));
  EXPECT_EQ(list("*.csv", true), (std::vector<std::string>{".hidden.csv", "a.csv", "b.csv"}));
  EXPECT_EQ(list("*", false), (std::vector<std::string>{"sub"}));
  CUaDirectory missing;
  EXPECT_TRUE(missing.Open(Path("none").c_str(), "*", true).IsError());
}

}  // namespace
