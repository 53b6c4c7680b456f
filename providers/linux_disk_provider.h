// Block device and logical volume counters (agent type 2, object
// "LogicalDisk"): I/Os and bytes per second of busy time (averages since
// boot), I/Os in flight, and the space of the file system on each. Each
// update is computed from scratch; one report per disk, in name order.
#pragma once

#include <map>
#include <string>

#include "providers/linux_provider_base.h"

class HX_EXPORT CHxPerfProviderLinuxDisk : public CHxLinuxPerfProviderBase {
 public:
  // The values of one disk, in row column order 2..10.
  struct diskinfo {
    double writesPerSec = 0;
    double writeBytesPerSec = 0;
    double readsPerSec = 0;
    double readBytesPerSec = 0;
    double avgWriteQueueLength = 0;
    double avgReadQueueLength = 0;
    double freeMegabytes = 0;
    double percentFreeSpace = 0;
    double totalMegabytes = 0;
  };
  typedef std::map<std::string, diskinfo> DiskMap;

  explicit CHxPerfProviderLinuxDisk(HxEnv* env = HxEnv::Default());

  // Devices that did I/O, minus LVM physical volumes, with logical volumes
  // renamed "<group>-<volume>" (swap volumes dropped), space filled in from
  // df. Nothing is reported when /proc/diskstats cannot be read.
  void UpdatePerfCounters(ResourceAgentType type) override;

 private:
  void ReadDiskStats(DiskMap& disks);
  void DropPhysicalVolumes(DiskMap& disks);
  void RemapLogicalVolumes(DiskMap& disks);
  void FillFileSystemSpace(DiskMap& disks);
};
