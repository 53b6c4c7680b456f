// The disk provider fed hostile output of the command(s) named by
// HX_FUZZ_COMMAND (/proc/diskstats, df, or pvdisplay then lvs); the others
// answer a small machine with two logical volumes. Whatever the text, every
// report is one well-formed row, the disks come in strictly increasing name
// order, and there are never more of them than /proc/diskstats has lines.
// In the lvs output "@LV@" stands for a directory of real volume links.
#include <unistd.h>

#include <cstdint>

#include "providers/linux_disk_provider.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kDiskStats[] = "export LC_ALL=C; awk '{  print $3, $8, $10, $4, $6, $11, $7, $12}' /proc/diskstats";
const char kPhysical[] = "export LC_ALL=C; pvdisplay | grep \"PV Name\" | awk -F/ '{print $NF}'";
const char kLogical[] = "export LC_ALL=C; lvs -o vg_name,lv_name,lv_path --nosuffix --noheadings";
const char kDf[] =
    "export LC_ALL=C; df -P --exclude-type=nfs |  awk '{ if(1==index($1,\"/\")) { n=split($1,a,/\\//); "
    "print a[n], $2/1000, $4/1000, 100-$5}}'";

size_t LineCount(const std::string& text) { return hxprov::SplitLines(text).size(); }

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

struct Setup {
  hxfuzz::FuzzEnv env{"disk_real.txt", HX_FUZZ_COMMAND};
  hxtest::CaptureCallback callback;
  CHxPerfProviderLinuxDisk provider{&env};
  std::string links = hxfuzz::Instance().root() + "/lv";

  Setup() {
    mkdir(links.c_str(), 0755);
    FUZZ_CHECK(symlink("../dm-0", (links + "/root").c_str()) == 0, links);
    FUZZ_CHECK(symlink("/dev/dm-1", (links + "/swap").c_str()) == 0, links);
    FUZZ_CHECK(symlink("dm-2", (links + "/data").c_str()) == 0, links);
    env.replies[kDiskStats].output +=
        "sda 1 1 1 1 1 1 0\nsdb 2 2 2 2 0 0 1\ndm-0 3 3 3 3 3 3 0\ndm-1 4 4 4 4 4 4 0\n"
        "dm-2 5 5 5 5 5 5 2\n";
    env.replies[kPhysical] = {0, "sdb\n"};
    env.replies[kLogical] = {0, "  vg0 root " + links + "/root\n  vg0 swap " + links +
                                    "/swap\n  vg1 data " + links + "/data\n"};
    env.replies[kDf].output += "vg0-root 1000 500 50\nvg1-data 2000 100.5 5\n";
    FUZZ_CHECK(provider.Initialize(nullptr, &callback) == 0, "Initialize");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hxfuzz::Instance();
  static Setup s;
  std::vector<std::string> pieces = hxfuzz::Pieces(data, size);
  for (std::string& piece : pieces) ReplaceAll(&piece, "@LV@", s.links);
  s.env.Begin(pieces);
  s.callback.reports.clear();
  s.provider.UpdatePerfCounters(RSRC_AGENT_LOGICAL_DISK);

  hxfuzz::CheckReports(s.callback, RSRC_AGENT_LOGICAL_DISK, "nuuuuuuuuu");
  // Disk stats are asked first: when fuzzed, they are the first piece.
  const bool statsFuzzed = std::string(HX_FUZZ_COMMAND).find("diskstats") != std::string::npos;
  const size_t statLines = LineCount(statsFuzzed ? pieces[0] : s.env.replies[kDiskStats].output);
  FUZZ_CHECK(s.callback.reports.size() <= statLines,
             std::to_string(s.callback.reports.size()) + " disks from " +
                 std::to_string(statLines) + " lines");
  for (size_t i = 1; i < s.callback.reports.size(); ++i) {
    const std::string& before = s.callback.reports[i - 1].items.rows[0][0];
    const std::string& name = s.callback.reports[i].items.rows[0][0];
    FUZZ_CHECK(before < name, "disk order: " + before + " then " + name);
  }
  hxfuzz::TrimDebugLog();
  return 0;
}
