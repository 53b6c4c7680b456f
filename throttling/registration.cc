// Stream registration, rate queries and the machine and job limits.
//
// Registration takes a job slot (found or reserved) and a stream slot under
// the table lock, after a forced clean-up pass, and answers with the stream's
// handle. The rate query is the hot path: it holds the table lock for its
// whole run, so that no reader ever sees a half-written 64-bit SizeProcessed
// and no slot is written after another process released it.
#include <unistd.h>

#include "throttling/fleet_share.h"
#include "throttling/table_kinds.h"
#include "throttling/table_lock.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

unsigned long long CHxThrottlingManager::RegisterStream(_TMSRegParams& params) try {
  static const char kLabel[] = "RegisterStream()";
  if (ThrottleLanFree) params.Flags &= ~kTMStreamNotThrottled;
  // 0x2 is the table's own mark of an unresponsive stream: taken from the
  // caller, the stream would be counted at reservation and again when its
  // first rate query clears the mark. 0x1 is set by the reservation.
  params.Flags &= ~(kTMStreamUnresponsive | kTMStreamInUse);
  Log.debugLvl(3, LogTag, "%s: Request", kLabel);
  TableLock lock(*this);
  if (!lock.held()) return kTMInvalidHandle;

  CheckAndCleanupStreams(true);

  // The caller's name may lack its NUL within the array: copy at most 47
  // characters into a terminated buffer of our own.
  char computerName[48] = {};
  for (size_t i = 0; i + 1 < sizeof(computerName) && i < sizeof(params.ComputerName) &&
                     params.ComputerName[i] != '\0';
       ++i) {
    computerName[i] = params.ComputerName[i];
  }

  unsigned long long handle = kTMInvalidHandle;
  int jobSlot = GetJobIndex(params.JobID);
  if (jobSlot == -1) jobSlot = ReserveJobIndex(static_cast<int>(params.JobID), params.SubclientThroughput);
  int streamSlot = 0;
  if (jobSlot < 0) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Reserve Job Index has been failed..", kLabel);
    jobSlot = -1;
  } else {
    const uint32_t uniqueId = ++Table->UniqueID;
    streamSlot = ReserveStreamIndex(jobSlot, uniqueId, params.JobID, params.RCID, params.Flags,
                                    params.Type, computerName);
    if (streamSlot < 0) {
      Log.debugLvl(1, LogTag, "%s: [ERROR] Reserve Stream Index has been failed..", kLabel);
    } else {
      handle = GetHandle(static_cast<unsigned int>(jobSlot),
                         static_cast<unsigned int>(streamSlot), uniqueId);
    }
  }

  Log.debugLvl(3, LogTag,
               "%s:[Pos: %u : %u][ Computer name - %s] [Job-id - %u] [RCID - %u] "
               "[Subcl-Thpt - %u] [Flags - %x][Lanfree - %s] [type - %u] [Handle - %llx (%llu)].",
               kLabel, static_cast<unsigned int>(jobSlot), static_cast<unsigned int>(streamSlot),
               computerName, params.JobID, params.RCID, params.SubclientThroughput, params.Flags,
               (params.Flags & kTMStreamNotThrottled) != 0 ? "Yes" : "No",
               static_cast<unsigned int>(params.Type), handle, handle);

  if (handle != kTMInvalidHandle) RecomputeThroughputs();
  return handle;
} catch (...) {
  LogFault("RegisterStream()");
  return kTMInvalidHandle;
}

int CHxThrottlingManager::GetThroughputRate(unsigned long long handle,
                                            unsigned long long bytesProcessed,
                                            unsigned int& rateMBPH) try {
  static const char kLabel[] = "GetThroughputRate()";
  unsigned int jobSlot = 0, streamSlot = 0, uniqueId = 0;
  SplitHandle(handle, jobSlot, streamSlot, uniqueId);
  if (!HandleSlotsInRange(kLabel, jobSlot, streamSlot)) return -1;
  TableLock lock(*this);
  if (!lock.held()) return -1;

  _TMJobRecord& job = Table->Jobs[jobSlot];
  _TMStreamRecord& stream = job.Streams[streamSlot];
  // A released slot is all zeros, so a free slot never matches a handle that
  // registration gave out (unique ids start at 1 and a free slot's is 0 --
  // except after 2^32 registrations, when the flag check below still holds).
  if (stream.UniqueID != uniqueId || (stream.Flags & kTMStreamInUse) == 0) return 2;
  if ((stream.Flags & kTMStreamUnresponsive) != 0) {
    stream.Flags &= ~kTMStreamUnresponsive;
    Log.debugLvl(1, LogTag, "%s: UnMarked Unresponsive stream [%u][%u][%u]", kLabel, jobSlot,
                 streamSlot, stream.UniqueID);
    // Counted back in; the shares follow at the next recomputation.
    if ((stream.Flags & kTMStreamNotThrottled) == 0) job.ActiveThrottStreamCount++;
  }
  const uint32_t now = env_->NowSeconds();
  stream.LatUpdateTime = now;
  stream.SizeProcessed = bytesProcessed;
  // The one look the query path takes at the machine limit's timetable. A
  // change recomputes every share (and may run a clean-up pass, which could
  // remove this stream if its owner died) before the answer is read.
  if (now - limitCheckFrom_ >= limitCheckSpan_) {
    RefreshMachineLimit(now);
    if (stream.UniqueID != uniqueId || (stream.Flags & kTMStreamInUse) == 0) return 2;
  }
  rateMBPH = job.PerStreamMBPH;
  return 0;
} catch (...) {
  LogFault("GetThroughputRate()");
  return -1;
}

int CHxThrottlingManager::SetComputerMaxThroghput(unsigned int mbph) try {
  static const char kLabel[] = "SetComputerMaxThroghput()";
  Log.debugLvl(1, LogTag, "%s:  [Thpt - %u]", kLabel, mbph);
  TableLock lock(*this);
  if (!lock.held()) return -1;
  // The fleet share caps what an operator of this machine sets: the site's
  // budget counts the share, whatever is set here.
  if (hx::TableKindHasMachineLimit(TableKind)) {
    ReadLimitSettings(kLabel);
    uint32_t next = 0;
    const uint32_t share = fleetValid_ ? hx::FleetLimitAt(fleet_, env_->NowSeconds(), &next) : 0;
    if (share != 0 && (mbph == 0 || mbph > share)) mbph = share;
  }
  Table->ComputerThrottleMBPH = mbph;
  // Lasts until the next scheduled change or clean-up pass.
  TMSetLimitSource(*Table, kTMLimitSetByHand, TMNextLimitChange(*Table));
  RecomputeThroughputs();
  return 0;
} catch (...) {
  LogFault("SetComputerMaxThroghput()");
  return -1;
}

int CHxThrottlingManager::SetJobMaxThroghput(unsigned int jobId, unsigned int mbph) try {
  static const char kLabel[] = "SetJobMaxThroghput()";
  Log.debugLvl(3, LogTag, "%s: [Job-id - %u][Thpt - %u]", kLabel, jobId, mbph);
  TableLock lock(*this);
  if (!lock.held()) return -1;
  const int found = GetJobIndex(jobId);
  if (found >= 0) {
    Table->Jobs[found].ThrottleMBPH = mbph;
    RecomputeThroughputs();
  } else if (ReserveJobIndex(static_cast<int>(jobId), mbph) < 0) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Reserve Job Index has been failed..", kLabel);
  } else {
    RecomputeThroughputs();
  }
  return 0;
} catch (...) {
  LogFault("SetJobMaxThroghput()");
  return -1;
}

int CHxThrottlingManager::GetComputerThroughput(unsigned int& mbph) try {
  TableLock lock(*this);
  if (!lock.held()) return -1;
  mbph = Table->ComputerThrottleMBPH;
  return 0;
} catch (...) {
  LogFault("GetComputerThroughput()");
  return -1;
}

unsigned int CHxThrottlingManager::GetCurrentProcID() { return static_cast<unsigned int>(getppid()); }

bool CHxThrottlingManager::HandleSlotsInRange(const char* label, unsigned int jobSlot,
                                              unsigned int streamSlot) {
  if (jobSlot >= kTMMaxJobs) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Invalid Job-Index %d", label, static_cast<int>(jobSlot));
    return false;
  }
  if (streamSlot >= kTMMaxStreams) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] Invalid Stream-Index %d", label,
                 static_cast<int>(streamSlot));
    return false;
  }
  return true;
}
