#include "perfmonitor/metrics_names.h"

#include <cstring>

#include "perfmonitor/exposition_text.h"

namespace hxmetrics {
namespace {

struct KnownColumn {
  const char* object;
  const char* column;
  ColumnMetric::Kind kind;
  const char* name;  // family suffix after the object prefix, or label name
};

const ColumnMetric::Kind F = ColumnMetric::kFamily;
const ColumnMetric::Kind L = ColumnMetric::kLabel;
const ColumnMetric::Kind O = ColumnMetric::kOmitted;

// Columns whose plain snake-case name would lack the unit or misread the
// role. Others (e.g. "Processes", "ActiveJobs") are named by SnakeCase alone.
const KnownColumn kKnown[] = {
    {"System", "CPU-Usage", F, "cpu_usage_percent"},
    {"System", "PhysicalMemoryKB", F, "physical_memory_kilobytes"},
    {"System", "Percentage-FreePhysicalMemory", F, "free_physical_memory_percent"},
    {"System", "VirtualMemoryKB", F, "virtual_memory_kilobytes"},
    {"System", "Percentage-FreeVirtualMemory", F, "free_virtual_memory_percent"},

    {"Process", "CPU-Usage", F, "cpu_usage_percent"},
    {"Process", "Name", L, "process"},
    {"Process", "Process-Id", L, "pid"},
    {"Process", "ThreadCount", F, "threads"},
    {"Process", "HandleCCount", F, "handles"},
    {"Process", "MemoryBytes", F, "memory_bytes"},
    {"Process", "NonPagedPoolMemoryKB", F, "non_paged_pool_memory_kilobytes"},
    {"Process", "PagedPoolMemoryKB", F, "paged_pool_memory_kilobytes"},
    {"Process", "WriteCount", F, "write_operations"},
    {"Process", "WriteSize", F, "written_bytes"},
    {"Process", "ReadCount", F, "read_operations"},
    {"Process", "ReadSize", F, "read_bytes"},
    {"Process", "Arguments", O, ""},

    {"LogicalDisk", "Name", L, "disk"},
    {"LogicalDisk", "DiskWritesPerSec", F, "writes_per_second"},
    {"LogicalDisk", "DiskWriteBytesPerSec", F, "write_bytes_per_second"},
    {"LogicalDisk", "DiskReadsPerSec", F, "reads_per_second"},
    {"LogicalDisk", "DiskReadBytesPerSec", F, "read_bytes_per_second"},
    {"LogicalDisk", "AvgDiskWriteQueueLength", F, "avg_write_queue_length"},
    {"LogicalDisk", "AvgDiskReadQueueLength", F, "avg_read_queue_length"},
    {"LogicalDisk", "FreeMegabytes", F, "free_megabytes"},
    {"LogicalDisk", "PercentFreeSpace", F, "free_space_percent"},
    {"LogicalDisk", "TotalMegabytes", F, "total_megabytes"},
    {"LogicalDisk1", "Name", L, "disk"},

    {"Tcpip", "Name", L, "interface"},
    {"Tcpip", "BytesReceivedPerSec", F, "received_bytes_per_second"},
    {"Tcpip", "BytesSentPerSec", F, "sent_bytes_per_second"},
    {"Tcpip", "PacketsReceivedPerSec", F, "received_packets_per_second"},
    {"Tcpip", "PacketsSentPerSec", F, "sent_packets_per_second"},

    {"HBA-FC", "HBAadapter", L, "adapter"},
    {"HBA-FC", "PortIndex", L, "port"},
    {"HBA-FC", "WWName", L, "wwn"},

    {"JobsStats", "Job-ID", L, "job"},
    {"JobsStats", "Stream-Source", O, ""},
    {"JobsStats", "Stream-Destination", O, ""},
    {"JobsStats", "Job-Type", O, ""},
    {"JobsStats", "Job-Duration", O, ""},  // h:mm:ss text of Job-Duration-Seconds
    {"JobsStats", "Job-Duration-Seconds", F, "duration_seconds"},
    {"JobsStats", "Total-Job-Throughput", F, "total_throughput_gibibytes_per_hour"},
    {"JobsStats", "Current-Job-Throughput", F, "current_throughput_gibibytes_per_hour"},
    {"JobsStats", "Total-Read-Size", F, "total_read_bytes"},
    {"JobsStats", "Current-Read-Size", F, "current_read_bytes"},
    {"JobsStats", "Current-Read-Throughput", F, "current_read_throughput_gibibytes_per_hour"},
    {"JobsStats", "Total-Network-Size", F, "total_network_bytes"},
    {"JobsStats", "Current-Network-Size", F, "current_network_bytes"},
    {"JobsStats", "Current-Network-Throughput", F,
     "current_network_throughput_gibibytes_per_hour"},
    {"JobsStats", "Total-Write-Size", F, "total_write_bytes"},
    {"JobsStats", "Current-Write-Size", F, "current_write_bytes"},
    {"JobsStats", "Current-Write-Throughput", F, "current_write_throughput_gibibytes_per_hour"},
    {"JobsStats", "Current-Avg-SIDBLooupTime", F, "current_avg_sidb_lookup_time"},

    {"JobsStreamWriter", "TotalBytesRecieved", F, "received_bytes"},
    {"JobsStreamReader", "TotalBytesSent", F, "sent_bytes"},
};

}  // namespace

std::string ObjectPrefix(const std::string& object) { return "halvex_" + SnakeCase(object); }

ColumnMetric MapColumn(const std::string& object, const std::string& column) {
  ColumnMetric m;
  for (const KnownColumn& k : kKnown) {
    if (object != k.object || column != k.column) continue;
    m.kind = k.kind;
    if (k.kind == ColumnMetric::kFamily) m.name = ObjectPrefix(object) + "_" + k.name;
    if (k.kind == ColumnMetric::kLabel) m.name = k.name;
    return m;
  }
  if (column == "Name") {
    m.kind = ColumnMetric::kLabel;
    m.name = "name";
    return m;
  }
  m.kind = ColumnMetric::kFamily;
  m.name = ObjectPrefix(object) + "_" + SnakeCase(column);
  return m;
}

}  // namespace hxmetrics
