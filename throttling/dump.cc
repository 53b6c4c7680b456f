// DumpAll: the whole throttle table as tab-aligned text in the debug log, for
// support staff. Writes what the table holds, including inconsistent values,
// but never indexes outside it.
#include <cinttypes>
#include <cstdio>

#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

const char kHeaderRule[] =
    "==========================================================================";
const char kSectionRule[] =
    "----------------------------------------------------------------------";
static_assert(sizeof(kHeaderRule) - 1 == 74, "header rule is 74 characters");
static_assert(sizeof(kSectionRule) - 1 == 70, "section rule is 70 characters");

}  // namespace

// "e0 | e1 | ... |  |*next": the entries in use, then the entry to be handed out
// next. When all entries are in use there is no next entry and nothing follows
// "*". A count above the table's length is shown as far as the table goes.
void CHxThrottlingManager::AppendAllocationText(std::string& out, const uint32_t* entries,
                                                unsigned int count, unsigned int length) {
  char number[16];
  const unsigned int shown = count < length ? count : length;
  for (unsigned int p = 0; p < shown; ++p) {
    snprintf(number, sizeof(number), "%u", entries[p]);
    out += number;
    out += " | ";
  }
  out += " |*";
  if (count < length) {
    snprintf(number, sizeof(number), "%u", entries[count]);
    out += number;
  }
}

void CHxThrottlingManager::DumpAll(bool force) try {
  static const char kLabel[] = "DumpAll()";
  if (Table == nullptr) return;
  if (!force && Log.GetDebugLevel() <= 4) return;
  const _TMThrottleTable& t = *Table;

  Log.debugLvl(1, LogTag, "%s", kHeaderRule);
  Log.debugLvl(1, LogTag, "ComputerThrottleMBPH\t\t- %u", t.ComputerThrottleMBPH);
  Log.debugLvl(1, LogTag, "UniqueID\t\t\t\t\t- %x", t.UniqueID);
  Log.debugLvl(1, LogTag, "ActiveJobCount\t`\t- %u", t.ActiveJobCount);
  Log.debugLvl(1, LogTag, "JobATIndex\t\t\t- %u", t.JobATIndex);
  std::string text;
  AppendAllocationText(text, t.JobAT, t.ActiveJobCount, kTMMaxJobs);
  Log.debugLvl(1, LogTag, "JobAT\t\t\t\t- %s", text.c_str());
  Log.debugLvl(1, LogTag, "%s", kSectionRule);

  const unsigned int jobs = SafeJobCount(kLabel);
  for (unsigned int i = 0; i < jobs; ++i) {
    const int slot = SafeJobSlotAt(i, kLabel);
    if (slot < 0) continue;
    const _TMJobRecord& job = t.Jobs[slot];
    Log.debugLvl(1, LogTag, "\nJob\t[%u] [idx - %u]", i, job.JobOldATIdx);
    Log.debugLvl(1, LogTag, "PerStreamMBPH\t\t\t- %u", job.PerStreamMBPH);
    Log.debugLvl(1, LogTag, "ThrottleMBPH\t\t\t\t- %u", job.ThrottleMBPH);
    Log.debugLvl(1, LogTag, "ActiveStreamCount\t\t- %u", job.ActiveStreamCount);
    Log.debugLvl(1, LogTag, "ActiveThrottStreamCount\t- %u", job.ActiveThrottStreamCount);
    Log.debugLvl(1, LogTag, "StreamATIndex\t\t\t- %u", job.StreamATIndex);
    Log.debugLvl(1, LogTag, "JobID\t\t\t\t\t- %u", job.JobID);
    Log.debugLvl(1, LogTag, "JobId\t\t\t\t\t- %u", job.JobID);
    Log.debugLvl(1, LogTag, "Flags\t\t\t\t\t- %x", job.Flags);
    Log.debugLvl(1, LogTag, "StartTime\t\t\t\t- %u", job.StartTime);
    Log.debugLvl(1, LogTag, "JobOldATIdx\t\t\t\t- %u", job.JobOldATIdx);
    text.clear();
    AppendAllocationText(text, job.StreamAT, job.ActiveStreamCount, kTMMaxStreams);
    Log.debugLvl(1, LogTag, "StreamAt\t\t\t\t- %s\n", text.c_str());

    const unsigned int streams = SafeStreamCount(static_cast<unsigned int>(slot), kLabel);
    for (unsigned int k = 0; k < streams; ++k) {
      const int s = SafeStreamSlotAt(static_cast<unsigned int>(slot), k, kLabel);
      if (s < 0) continue;
      const _TMStreamRecord& stream = job.Streams[s];
      Log.debugLvl(1, LogTag, "\nStream\t[%u]", static_cast<unsigned int>(s));
      Log.debugLvl(1, LogTag, "UniqueID\t\t\t- %x", stream.UniqueID);
      Log.debugLvl(1, LogTag, "RCID\t\t\t    - %x", stream.RCID);
      Log.debugLvl(1, LogTag, "StartTime\t\t- %u", stream.StartTime);
      Log.debugLvl(1, LogTag, "LatUpdateTime\t- %u", stream.LatUpdateTime);
      Log.debugLvl(1, LogTag, "SizeProcessed\t- %" PRIx64, stream.SizeProcessed);
      Log.debugLvl(1, LogTag, "Type\t\t\t\t- %u", static_cast<unsigned int>(stream.Type[0]));
      Log.debugLvl(1, LogTag, "StreamOldATIdx\t- %u", stream.StreamOldATIdx);
      Log.debugLvl(1, LogTag, "Flags\t\t\t- %x", stream.Flags);
    }
  }
  Log.debugLvl(1, LogTag, "%s", kSectionRule);
} catch (...) {
  LogFault("DumpAll()");
}
