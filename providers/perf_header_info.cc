#include "providers/perf_header_info.h"

#include <cstddef>

namespace {

struct HeaderEntry {
  ResourceAgentType type;
  const char* objectName;
  const char* version;
  const char* const* columns;
  size_t columnCount;
};

const char* const kHbaFc[] = {"HBAadapter",     "PortIndex",       "WWName",
                              "InputRequests",  "OutputRequests",  "ControlRequests",
                              "InputMegabytes", "OutputMegabytes"};
const char* const kLogicalDisk[] = {"Name",
                                    "DiskWritesPerSec",
                                    "DiskWriteBytesPerSec",
                                    "DiskReadsPerSec",
                                    "DiskReadBytesPerSec",
                                    "AvgDiskWriteQueueLength",
                                    "AvgDiskReadQueueLength",
                                    "FreeMegabytes",
                                    "PercentFreeSpace",
                                    "TotalMegabytes"};
const char* const kProcess[] = {"CPU-Usage",    "Name",        "Process-Id",
                                "ThreadCount",  "HandleCCount", "MemoryBytes",
                                "NonPagedPoolMemoryKB", "PagedPoolMemoryKB", "WriteCount",
                                "WriteSize",    "ReadCount",   "ReadSize",
                                "Arguments"};
const char* const kSystem[] = {"CPU-Usage",       "PhysicalMemoryKB",
                               "Percentage-FreePhysicalMemory", "VirtualMemoryKB",
                               "Percentage-FreeVirtualMemory",  "Events",
                               "Mutexes",         "Processes",
                               "Semaphores",      "Threads"};
const char* const kTcpip[] = {"Name",
                              "BytesReceivedPerSec",
                              "BytesSentPerSec",
                              "CurrentBandwidth",
                              "PacketsReceivedPerSec",
                              "PacketsSentPerSec",
                              "PacketsReceivedDiscarded",
                              "PacketsReceivedErrors",
                              "PacketsOutboundDiscarded",
                              "PacketsOutboundErrors"};
const char* const kLogicalDisk1[] = {"Name", "Size"};

#define HX_ENTRY(type, name, version, cols) \
  { type, name, version, cols, sizeof(cols) / sizeof(cols[0]) }

const HeaderEntry kEntries[] = {
    HX_ENTRY(RSRC_AGENT_HBA_FC, "HBA-FC", "1.0", kHbaFc),
    HX_ENTRY(RSRC_AGENT_LOGICAL_DISK, "LogicalDisk", "1.2", kLogicalDisk),
    HX_ENTRY(RSRC_AGENT_PROCESS, "Process", "1.2", kProcess),
    HX_ENTRY(RSRC_AGENT_SYSTEM, "System", "1.2", kSystem),
    HX_ENTRY(RSRC_AGENT_TCPIP, "Tcpip", "1.2", kTcpip),
    HX_ENTRY(RSRC_AGENT_LOGICAL_DISK1, "LogicalDisk1", "1.2", kLogicalDisk1),
};

#undef HX_ENTRY

}  // namespace

bool CPerfHeaderInfo::GetPerfHeader(ResourceAgentType type, std::string& objectName,
                                    std::string& version, std::vector<std::string>& columns) {
  columns.clear();
  for (const HeaderEntry& e : kEntries) {
    if (e.type != type) continue;
    objectName = e.objectName;
    version = e.version;
    columns.assign(e.columns, e.columns + e.columnCount);
    return true;
  }
  return false;
}
