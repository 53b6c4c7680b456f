#include "providers/linux_disk_provider.h"

#include <libgen.h>
#include <unistd.h>

#include <vector>

namespace {
const char kClassName[] = "CHxPerfProviderLinuxDisk";

const char kDiskStatsCommand[] =
    "awk '{  print $3, $8, $10, $4, $6, $11, $7, $12}' /proc/diskstats";
const char kPhysicalVolumesCommand[] = "pvdisplay | grep \"PV Name\" | awk -F/ '{print $NF}'";
const char kLogicalVolumesCommand[] = "lvs -o vg_name,lv_name,lv_path --nosuffix --noheadings";
const char kFileSystemsCommand[] =
    "df -P --exclude-type=nfs |  awk '{ if(1==index($1,\"/\")) { n=split($1,a,/\\//); "
    "print a[n], $2/1000, $4/1000, 100-$5}}'";

// A sector of /proc/diskstats is 512 bytes whatever the device's block size.
constexpr double kSectorBytes = 512.0;
// Busy milliseconds of 0 (I/O faster than the kernel's accounting) count as
// 0.1 ms so that a device that did I/O still gets a rate.
constexpr double kMinBusyMs = 0.1;

// Reads words[first..first+count) as doubles; false when any is missing or
// not a number.
bool ReadDoubles(const std::vector<std::string>& words, size_t first, size_t count,
                 double* values) {
  if (words.size() < first + count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!hxprov::ParseDoubleWord(words[first + i], &values[i])) return false;
  }
  return true;
}
}  // namespace

CHxPerfProviderLinuxDisk::CHxPerfProviderLinuxDisk(HxEnv* env)
    : CHxLinuxPerfProviderBase(RSRC_AGENT_LOGICAL_DISK, kClassName,
                               "Linux System perf counters DISK", env) {}

void CHxPerfProviderLinuxDisk::ReadDiskStats(DiskMap& disks) {
  std::string out;
  if (!RunCommand(kDiskStatsCommand, &out)) return;
  for (const std::string& line : hxprov::SplitLines(out)) {
    const std::vector<std::string> words = hxprov::SplitWords(line);
    // name, writes, sectors written, reads, sectors read, write ms, read ms, in flight
    double v[7];
    if (words.empty() || !ReadDoubles(words, 1, 7, v)) continue;
    const double writes = v[0], sectorsWritten = v[1], reads = v[2], sectorsRead = v[3];
    double writeMs = v[4], readMs = v[5];
    const double inFlight = v[6];
    if (writes == 0 && reads == 0) continue;  // never did I/O
    if (writeMs == 0) writeMs = kMinBusyMs;
    if (readMs == 0) readMs = kMinBusyMs;

    diskinfo d;
    d.writesPerSec = writes * 1000 / writeMs;
    d.writeBytesPerSec = sectorsWritten * kSectorBytes * 1000 / writeMs;
    d.readsPerSec = reads * 1000 / readMs;
    d.readBytesPerSec = sectorsRead * kSectorBytes * 1000 / readMs;
    d.avgWriteQueueLength = inFlight;
    d.avgReadQueueLength = inFlight;
    disks[words[0]] = d;
  }
}

void CHxPerfProviderLinuxDisk::DropPhysicalVolumes(DiskMap& disks) {
  std::string out;
  if (!RunCommand(kPhysicalVolumesCommand, &out)) return;
  for (const std::string& line : hxprov::SplitLines(out)) {
    const std::vector<std::string> words = hxprov::SplitWords(line);
    if (!words.empty()) disks.erase(words[0]);
  }
}

void CHxPerfProviderLinuxDisk::RemapLogicalVolumes(DiskMap& disks) {
  std::string out;
  if (!RunCommand(kLogicalVolumesCommand, &out)) return;
  for (const std::string& line : hxprov::SplitLines(out)) {
    const std::vector<std::string> words = hxprov::SplitWords(line);
    if (words.size() < 3) continue;
    const std::string& group = words[0];
    const std::string& volume = words[1];
    char target[1024];
    const ssize_t n = readlink(words[2].c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    const std::string device = basename(target);
    if (device.empty() || device == "/" || device == "." || device == "..") continue;

    if (volume == "swap" || volume == "lv_swap") {
      disks.erase(device);
      continue;
    }
    auto it = disks.find(device);
    if (it == disks.end()) continue;
    const diskinfo d = it->second;
    disks.erase(it);
    disks[group + "-" + volume] = d;
  }
}

void CHxPerfProviderLinuxDisk::FillFileSystemSpace(DiskMap& disks) {
  std::string out;
  if (!RunCommand(kFileSystemsCommand, &out)) return;
  for (const std::string& line : hxprov::SplitLines(out)) {
    const std::vector<std::string> words = hxprov::SplitWords(line);
    if (words.empty()) continue;
    auto it = disks.find(words[0]);
    if (it == disks.end()) continue;  // file systems never add disks
    double v[3];
    if (!ReadDoubles(words, 1, 3, v)) continue;
    it->second.totalMegabytes = v[0];
    it->second.freeMegabytes = v[1];
    it->second.percentFreeSpace = v[2];
  }
}

void CHxPerfProviderLinuxDisk::UpdatePerfCounters(ResourceAgentType type) {
  if (type != RSRC_AGENT_LOGICAL_DISK) return;

  DiskMap disks;
  ReadDiskStats(disks);
  if (disks.empty()) return;
  DropPhysicalVolumes(disks);
  RemapLogicalVolumes(disks);
  FillFileSystemSpace(disks);

  for (const auto& entry : disks) {
    const diskinfo& d = entry.second;
    _PerfLogItems items;
    items.rows.push_back({
        entry.first,
        hxprov::FormatTruncated(d.writesPerSec),
        hxprov::FormatTruncated(d.writeBytesPerSec),
        hxprov::FormatTruncated(d.readsPerSec),
        hxprov::FormatTruncated(d.readBytesPerSec),
        hxprov::FormatTruncated(d.avgWriteQueueLength),
        hxprov::FormatTruncated(d.avgReadQueueLength),
        hxprov::FormatTruncated(d.freeMegabytes),
        hxprov::FormatTruncated(d.percentFreeSpace),
        hxprov::FormatTruncated(d.totalMegabytes),
    });
    Report(items);
  }
}
