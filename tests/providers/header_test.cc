// Column headers per agent type.
#include <gtest/gtest.h>

#include "providers/perf_header_info.h"

namespace {

TEST(PerfHeaderInfoTest, KnownTypesGiveNameVersionAndColumns) {
  struct Case {
    ResourceAgentType type;
    const char* name;
    const char* version;
    size_t count;
    const char* first;
    const char* last;
  } cases[] = {
      {RSRC_AGENT_HBA_FC, "HBA-FC", "1.0", 8, "HBAadapter", "OutputMegabytes"},
      {RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", "1.2", 10, "Name", "TotalMegabytes"},
      {RSRC_AGENT_PROCESS, "Process", "1.2", 13, "CPU-Usage", "Arguments"},
      {RSRC_AGENT_SYSTEM, "System", "1.2", 10, "CPU-Usage", "Threads"},
      {RSRC_AGENT_TCPIP, "Tcpip", "1.2", 10, "Name", "PacketsOutboundErrors"},
      {RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", "1.2", 2, "Name", "Size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name, version;
    std::vector<std::string> columns = {"stale"};
    ASSERT_TRUE(CPerfHeaderInfo::GetPerfHeader(c.type, name, version, columns));
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(c.version, version);
    ASSERT_EQ(c.count, columns.size());
    EXPECT_EQ(c.first, columns.front());
    EXPECT_EQ(c.last, columns.back());
  }
}

TEST(PerfHeaderInfoTest, SpellingKeptAndListClearedFirst) {
  std::string name, version;
  std::vector<std::string> columns;
  ASSERT_TRUE(CPerfHeaderInfo::GetPerfHeader(RSRC_AGENT_PROCESS, name, version, columns));
  EXPECT_EQ("Process-Id", columns[2]);
  EXPECT_EQ("HandleCCount", columns[4]);  // two C: stored files carry this header
  // Asking again with the same list does not double it.
  ASSERT_TRUE(CPerfHeaderInfo::GetPerfHeader(RSRC_AGENT_SYSTEM, name, version, columns));
  EXPECT_EQ(10u, columns.size());
  EXPECT_EQ("Percentage-FreePhysicalMemory", columns[2]);
}

TEST(PerfHeaderInfoTest, TypesWithoutEntryClearColumnsOnly) {
  for (int type : {0, 4, 5, 6, 9, 11, -1}) {
    SCOPED_TRACE(type);
    std::string name = "keep-name", version = "keep-version";
    std::vector<std::string> columns = {"x", "y"};
    EXPECT_FALSE(CPerfHeaderInfo::GetPerfHeader(static_cast<ResourceAgentType>(type), name,
                                                version, columns));
    EXPECT_EQ("keep-name", name);
    EXPECT_EQ("keep-version", version);
    EXPECT_TRUE(columns.empty());
  }
}

}  // namespace
