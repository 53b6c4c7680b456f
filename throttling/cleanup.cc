// Stream removal and the clean-up pass over the whole table.
//
// A stream leaves the table when its process unregisters it, or when a pass
// finds that the process recorded with it is gone (or its pid now belongs to a
// younger process), or that it has not asked for its rate for more than
// 1800 s. After 600 s of silence it is first marked unresponsive and stops
// counting in its job's share until its next rate query.
//
// Elapsed times are differences of 32-bit time() values. A stored time later
// than now (the clock was stepped back after it was written) counts as no time
// elapsed: a step back must never make every stream of the machine look
// silent for decades.
#include <unordered_map>
#include <vector>

#include "platform/md_process.h"
#include "throttling/table_lock.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

constexpr uint32_t kCleanupSpacingSeconds = 600;  // between rate-limited passes
constexpr uint32_t kUnresponsiveSeconds = 600;    // silence before the mark
constexpr uint32_t kRemoveSeconds = 1800;         // silence before removal

// Seconds from then to now; 0 when then lies in the future.
inline uint32_t Elapsed(uint32_t now, uint32_t then) { return now >= then ? now - then : 0; }

const char kIsProcAliveLabel[] = "CHxThrottlingManager::IsProcAlive()";

}  // namespace

// What one look at /proc tells about a process.
struct CHxThrottlingManager::ProcessFacts {
  bool alive = false;
  bool startKnown = false;
  uint32_t startSeconds = 0;
  bool ticksKnown = false;
  uint64_t startTicks = 0;
};

CHxThrottlingManager::ProcessFacts CHxThrottlingManager::LookAtProcess(unsigned int pid) {
  ProcessFacts facts;
  MDProcess process(static_cast<int64_t>(pid));
  facts.alive = process.isAlive();
  if (!facts.alive) return facts;
  timespec start{};
  if (process.getRunningProcessStartTime(start)) {
    facts.startKnown = true;
    facts.startSeconds = static_cast<uint32_t>(start.tv_sec);
  }
  facts.ticksKnown = process.getStartTicks(facts.startTicks);
  return facts;
}

bool CHxThrottlingManager::JudgeProcess(const ProcessFacts& facts, unsigned int pid,
                                        unsigned int registrationTime, uint64_t ownerMark) {
  if (!facts.alive) {
    Log.debugLvl(1, LogTag, "%s: [proc - %u] not alive ", kIsProcAliveLabel, pid);
    return false;
  }
  // With the owner's start recorded at registration the comparison needs no
  // wall clock: the kernel shifts btime when the clock is stepped, which
  // would make every owner that started less than the step before its
  // registration look like a newer process.
  if (ownerMark != 0 && facts.ticksKnown) {
    if (facts.startTicks + 1 == ownerMark) return true;
    Log.debugLvl(1, LogTag, "%s: [proc - %u] [ptime - %u] [Reg-time - %u] Reused",
                 kIsProcAliveLabel, pid, facts.startSeconds, registrationTime);
    return false;
  }
  // A start time that cannot be read counts as the same process.
  if (!facts.startKnown) return true;
  if (facts.startSeconds > registrationTime) {
    Log.debugLvl(1, LogTag, "%s: [proc - %u] [ptime - %u] [Reg-time - %u] Reused",
                 kIsProcAliveLabel, pid, facts.startSeconds, registrationTime);
    return false;
  }
  return true;
}

bool CHxThrottlingManager::IsProcAlive(unsigned int pid, unsigned int registrationTime,
                                       uint64_t ownerMark) {
  return JudgeProcess(LookAtProcess(pid), pid, registrationTime, ownerMark);
}

int CHxThrottlingManager::UnregisterStream(unsigned long long handle) try {
  static const char kLabel[] = "UnregisterStream()";
  Log.debugLvl(3, LogTag, "%s: UnregisterStream request", kLabel);
  TableLock lock(*this);
  if (!lock.held()) return -1;

  unsigned int jobSlot = 0, streamSlot = 0, uniqueId = 0;
  SplitHandle(handle, jobSlot, streamSlot, uniqueId);
  if (!HandleSlotsInRange(kLabel, jobSlot, streamSlot)) return -1;

  const _TMJobRecord& job = Table->Jobs[jobSlot];
  const _TMStreamRecord& stream = job.Streams[streamSlot];
  // Only the caller's own stream is logged and counted: a stale handle whose
  // slot now holds a newer stream must not add that stream's bytes, which its
  // own unregistration will add.
  const bool own = (stream.Flags & kTMStreamInUse) != 0 && stream.UniqueID == uniqueId;
  const uint32_t now = env_->NowSeconds();
  const unsigned long long size = own ? stream.SizeProcessed : 0;
  Log.debugLvl(3, LogTag,
               "stat- %s:[Handle - %llu (%llx)] [JobID - %u]  [RCID - %u] [Job-idx - %u] "
               "[stream-idx - %u] [Uniqe-ID - %u] [Duration - %u] [Transfered size - %llu]",
               kLabel, handle, handle, own ? job.JobID : 0u, own ? stream.RCID : 0u, jobSlot,
               streamSlot, uniqueId, own ? Elapsed(now, stream.StartTime) : 0u, size);
  const int result = UnreserveStreamIndex(static_cast<int>(jobSlot), static_cast<int>(streamSlot),
                                          uniqueId, true);
  if (result != 0) {
    Log.debugLvl(1, LogTag, "%s: [] Unreserve Stream Index has been failed..(%d)", kLabel, result);
  }
  RecomputeThroughputs();
  return 0;
} catch (...) {
  LogFault("UnregisterStream()");
  return -1;
}

void CHxThrottlingManager::CheckAndCleanupStreams(bool force) {
  static const char kLabel[] = "CheckAndCleanupStreams()";
  if (Table == nullptr) return;
  const uint32_t now = env_->NowSeconds();
  if (!force) {
    if (LastCleanupTime > now) {
      // The clock went back: count the spacing from now rather than wait for
      // the clock to catch up with the old reading.
      LastCleanupTime = now;
      return;
    }
    if (now - LastCleanupTime < kCleanupSpacingSeconds) return;
  }

  ConfigureComputerThroughput();
  // Before the walk, so that the recomputations this pass causes do not start
  // passes of their own.
  LastCleanupTime = now;

  // Each distinct process is looked at once per pass; the comparison of its
  // start time with each stream's registration time stays per stream.
  std::unordered_map<uint32_t, ProcessFacts> seen;
  uint32_t lastPid = 0;
  const ProcessFacts* lastFacts = nullptr;

  _TMThrottleTable& t = *Table;
  std::vector<unsigned long long> doomed;
  const unsigned int jobs = SafeJobCount(kLabel);
  for (unsigned int i = 0; i < jobs; ++i) {
    const int jobSlot = SafeJobSlotAt(i, kLabel);
    if (jobSlot < 0) continue;
    _TMJobRecord& job = t.Jobs[jobSlot];
    const unsigned int streams = SafeStreamCount(static_cast<unsigned int>(jobSlot), kLabel);
    for (unsigned int k = 0; k < streams; ++k) {
      const int streamSlot = SafeStreamSlotAt(static_cast<unsigned int>(jobSlot), k, kLabel);
      if (streamSlot < 0) continue;
      _TMStreamRecord& stream = job.Streams[streamSlot];
      const unsigned long long handle = GetHandle(static_cast<unsigned int>(jobSlot),
                                                  static_cast<unsigned int>(streamSlot),
                                                  stream.UniqueID);
      const uint32_t pid = stream.ProcessID;
      bool alive;
      if (checkEachStreamProcess_) {
        alive = IsProcAlive(pid, stream.StartTime, TMOwnerMark(stream));
      } else {
        if (lastFacts == nullptr || pid != lastPid) {
          auto it = seen.find(pid);
          if (it == seen.end()) it = seen.emplace(pid, LookAtProcess(pid)).first;
          lastPid = pid;
          lastFacts = &it->second;  // unordered_map never moves its elements
        }
        alive = JudgeProcess(*lastFacts, pid, stream.StartTime, TMOwnerMark(stream));
      }
      if (!alive) {
        doomed.push_back(handle);
        continue;
      }
      const uint32_t idle = Elapsed(now, stream.LatUpdateTime);
      if (idle <= kUnresponsiveSeconds) continue;
      if ((stream.Flags & kTMStreamUnresponsive) == 0) {
        stream.Flags |= kTMStreamUnresponsive;
        if ((stream.Flags & kTMStreamNotThrottled) == 0 && job.ActiveThrottStreamCount > 0) {
          job.ActiveThrottStreamCount--;
        }
        Log.debugLvl(1, LogTag, "%s: Marked Unresponsive stream [%u][%u][%u]", kLabel,
                     static_cast<unsigned int>(jobSlot), static_cast<unsigned int>(streamSlot),
                     stream.UniqueID);
      } else if (idle > kRemoveSeconds || stream.JobID != job.JobID) {
        doomed.push_back(handle);
      }
    }
  }

  // The walk never changes the allocation tables; removal happens after it.
  for (unsigned long long handle : doomed) UnregisterStream(handle);

  // A job slot without streams is kept only for a job limit set before the
  // job's first stream. One left with neither (a holder killed between
  // releasing the last stream and the job, or a limit of 0) would hold its
  // slot forever: 512 of them and no job could register.
  for (unsigned int p = SafeJobCount(kLabel); p-- > 0;) {
    const int jobSlot = SafeJobSlotAt(p, kLabel);
    if (jobSlot < 0) continue;
    const _TMJobRecord& job = t.Jobs[jobSlot];
    if ((job.Flags & kTMJobInUse) != 0 && job.ActiveStreamCount == 0 && job.ThrottleMBPH == 0) {
      Log.debugLvl(3, LogTag, "%s: releasing job slot %u of job %u: no stream and no limit",
                   kLabel, static_cast<unsigned int>(jobSlot), job.JobID);
      UnReserveJobIndex(jobSlot);
    }
  }
  RecomputeThroughputs();
}
