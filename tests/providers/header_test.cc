// Column headers per agent type.
#include <gtest/gtest.h>

#include "providers/perf_header_info.h"

namespace {

TEST(PerfHeaderInfoTest, KnownTypesGiveNameVersionAndColumnsUnknownOnesClearColumnsOnly) {
  struct Case {
    int type;
    const char* name;  // nullptr: no entry
    const char* version;
    size_t count;
    size_t index;  // a column to check
    const char* column;
  } cases[] = {
      {RSRC_AGENT_HBA_FC, "HBA-FC", "1.0", 8, 7, "OutputMegabytes"},
      {RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", "1.2", 10, 0, "Name"},
      {RSRC_AGENT_PROCESS, "Process", "1.2", 13, 4, "HandleCCount"},  // as stored files spell it
      {RSRC_AGENT_SYSTEM, "System", "1.2", 10, 2, "Percentage-FreePhysicalMemory"},
      {RSRC_AGENT_TCPIP, "Tcpip", "1.2", 10, 9, "PacketsOutboundErrors"},
      {RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", "1.2", 2, 1, "Size"},
      {0, nullptr, nullptr, 0, 0, nullptr},  {5, nullptr, nullptr, 0, 0, nullptr},
      {9, nullptr, nullptr, 0, 0, nullptr},  {11, nullptr, nullptr, 0, 0, nullptr},
      {-1, nullptr, nullptr, 0, 0, nullptr},
  };
  // One list reused throughout: each call replaces it, never appends.
  std::vector<std::string> columns = {"stale"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    std::string name = "keep-name", version = "keep-version";
    const bool known = CPerfHeaderInfo::GetPerfHeader(static_cast<ResourceAgentType>(c.type),
                                                      name, version, columns);
    EXPECT_EQ(known, c.name != nullptr);
    EXPECT_EQ(name, c.name ? c.name : "keep-name");
    EXPECT_EQ(version, c.version ? c.version : "keep-version");
    ASSERT_EQ(columns.size(), c.count);
    if (c.count) {
      EXPECT_EQ(columns[c.index], c.column);
    }
  }
}

}  // namespace
