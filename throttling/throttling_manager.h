// CHxThrottlingManager: a process's handle on one shared throttle table.
//
// Initialize derives the table's System V key from a key file in the platform's
// job-results directory, attaches (or creates and initialises) the segment,
// opens the table's named mutex and counts itself in the table's RefCount.
// Uninitialize undoes that; the last manager of the machine to leave removes
// the segment. Every other operation works on the shared bytes under the named
// mutex, which all processes attached to the table share; the mutex is
// re-entrant for its holder and also excludes other threads of this process.
//
// Results are returned, never thrown: 0 success, -1 failure (2 for a stale
// stream handle), the all-ones handle for a failed registration. A manager that
// is not initialised fails every operation that takes the lock. No exception
// leaves an exported function: one raised inside (say std::bad_alloc) is
// logged with "[ERROR]", the lock is released and the failure result returned.
//
// One manager may be used by several threads at once, Uninitialize and
// Initialize included: every operation re-checks after taking the lock, and
// the mutex and table outlive every operation that started before an
// Uninitialize (a process-local reader/writer lock guards their lifetime).
//
// When the named mutex reports that its previous holder died holding it, the
// new holder checks the table and repairs what a half-made change left
// (allocation tables, back indexes, counts, free slots) before using it.
//
// Operations marked REQUIRES(Mutex) expect the caller to hold the table lock
// (Lock() or a TableLock); clang's -Wthread-safety checks it (preset tsa).
//
// Member names without the trailing underscore (IpcKey, ShMemName, Mutex,
// Table, ...) are those the platform's own code and documentation use for
// this class: keep them letter for letter.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ev_debug.h"
#include "platform/hx_error.h"
#include "platform/hx_env.h"
#include "platform/hx_export.h"
#include "platform/hx_mutex.h"
#include "platform/thread_annotations.h"
#include "throttling/fleet_share.h"
#include "throttling/table_kinds.h"
#include "throttling/throttling_types.h"
#include "throttling/throughput_schedule.h"
#include "throttling/tm_stats.h"

// Held by pointer only: their definitions (platform/named_mutex.h,
// throttling/hx_shmem.h, throttling/throttle_table.h) are not part of the
// interface a caller compiles against. The table's named mutex is the
// capability of the lock annotations.
class CAPABILITY("named mutex") CNamedMutex;
class CHxShMem;
struct _TMThrottleTable;
struct _TMJobRecord;
struct _TMStreamRecord;

class HX_EXPORT CHxThrottlingManager {
 public:
  // env supplies the clock; it must outlive the manager.
  explicit CHxThrottlingManager(HxEnv* env = HxEnv::Default());
  // Releases process-local members only: never detaches or removes the table
  // (call Uninitialize first).
  ~CHxThrottlingManager();
  CHxThrottlingManager(const CHxThrottlingManager&) = delete;
  CHxThrottlingManager& operator=(const CHxThrottlingManager&) = delete;

  // ---- Lifecycle and locking --------------------------------------------

  // Attaches the table of kind (1 outbound, 2 inbound, 3 cloud outbound,
  // 4 cloud inbound) of the instance focus. 0 on success, -1 on any failure
  // (the manager is then not initialised and holds nothing). Kinds other than
  // 1..4 are refused with -1.
  // On a manager that is already initialised: 0 and nothing else happens when
  // focus and kind are those of the attached table (RefCount is counted once
  // per manager); -1 and nothing changes when they differ -- Uninitialize
  // first to switch tables.
  int Initialize(const char* focus, unsigned int logTag, unsigned int kind);
  // Initialize, then reset the table contents in place (every job and stream
  // forgotten) keeping RefCount and UniqueID. The Initialize result if it
  // failed; -1 if the lock cannot be taken afterwards (the manager stays
  // initialised); else 0.
  int HXDInitialize(const char* focus, unsigned int logTag, unsigned int kind);
  // Detaches, counting down RefCount; removes the segment when this is the
  // last process attached (the kernel's attach count decides, so processes
  // that died without Uninitialize do not keep the segment forever; RefCount
  // decides only when the attach count cannot be read). 0 on success or when
  // not initialised; -1 when the lock cannot be taken (everything stays
  // attached). The calling thread must not hold the lock.
  int Uninitialize() EXCLUDES(Mutex);
  // Take / release the table's named mutex. Lock is false when not
  // initialised (also when Uninitialize ran while it waited) or on failure;
  // Unlock is true when not initialised. Each Lock that returned true must be
  // paired with one Unlock on the same thread.
  // (Opt-out of the analysis inside: they hold lifeMu_ shared from Lock() to
  // Unlock() and count the re-entry depth, which it cannot follow.)
  bool Lock() TRY_ACQUIRE(true, Mutex) NO_THREAD_SAFETY_ANALYSIS;
  bool Unlock() RELEASE(Mutex) NO_THREAD_SAFETY_ANALYSIS;
  // Reads "ComputerThroughputMBPH" and "ThroughputSchedule" and writes the
  // machine limit they give now into the table (the schedule's when there is
  // a valid one), and reads "ThrottleLanFreeSDT" into ThrottleLanFree
  // (inbound and outbound tables only).
  void ConfigureComputerThroughput() REQUIRES(Mutex);
  // Resets the whole table to its initial contents and configures the
  // machine throughput.
  void InitializeThrottleData() REQUIRES(Mutex);

  // ---- Stream handle: (job slot << 48) | (stream slot << 32) | unique id --
  unsigned long long GetHandle(unsigned int jobSlot, unsigned int streamSlot,
                               unsigned int uniqueId);
  int SplitHandle(unsigned long long handle, unsigned int& jobSlot, unsigned int& streamSlot,
                  unsigned int& uniqueId);

  // ---- Registration and rate queries ------------------------------------
  unsigned long long RegisterStream(_TMSRegParams& params);
  int GetThroughputRate(unsigned long long handle, unsigned long long bytesProcessed,
                        unsigned int& rateMBPH);
  int SetComputerMaxThroghput(unsigned int mbph);
  int SetJobMaxThroghput(unsigned int jobId, unsigned int mbph);
  int GetComputerThroughput(unsigned int& mbph);
  // The machine limit in force, where it came from, what the configuration
  // gives and the next scheduled change. 0, or -1 when the lock cannot be had.
  int GetMachineLimitInfo(_TMMachineLimitInfo& info);
  unsigned int GetCurrentProcID();

  // ---- Stream removal -----------------------------------------------------
  int UnregisterStream(unsigned long long handle);

  // ---- Statistics ---------------------------------------------------------
  int UpdateStreamStats(unsigned long long handle, _TMStats& stats);

  // ---- Enumeration and data-size summary ----------------------------------
  int GetDataSizeInfo(unsigned long long& total, std::vector<_TMAllJobStreamInfo>& jobs);
  int EnumerateJobsInfo(void* context, IEnumerateJobInfoCallback* callback,
                        unsigned long long options);
  // An observer's look: the same copies and callbacks as EnumerateJobsInfo
  // with option 0, but the table is left exactly as it was -- no clean-up
  // pass, no LastEnumTime advanced, no statistics reset, no dump. Operator
  // views use it so that looking never changes the monitor's intervals.
  // 0, or -1 when the lock cannot be taken.
  int SnapshotJobsInfo(void* context, IEnumerateJobInfoCallback* callback);

  // ---- Diagnostic dump ----------------------------------------------------
  // Writes the whole table to the log at level 1 when the log level is above 4
  // or force is true.
  void DumpAll(bool force) REQUIRES(Mutex);

 protected:
  // ---- Job and stream slots (table lock held) -----------------------------
  // Slot of the job in use whose JobID is jobId, or -1.
  int GetJobIndex(unsigned int jobId) REQUIRES(Mutex);
  // Next free job slot, reserved for jobId with the given limit; -1 when full.
  int ReserveJobIndex(int jobId, unsigned int limitMBPH) REQUIRES(Mutex);
  // Releases a job slot in use (its record is zeroed); always 0.
  int UnReserveJobIndex(int jobSlot) REQUIRES(Mutex);
  // Next free stream slot of the job, filled in; -1 when the job is full.
  int ReserveStreamIndex(int jobSlot, unsigned int uniqueId, unsigned int jobId,
                         unsigned int rcid, unsigned int flags, unsigned char type,
                         char* computerName) REQUIRES(Mutex);
  // Releases a stream slot, folding it into its job (and, when intoTable,
  // its bytes into the table's TotalSizeProcessed), and the job with its
  // last stream. 0 (also when the slot is not in use), -1 when uniqueId does
  // not match the slot's.
  int UnreserveStreamIndex(int jobSlot, int streamSlot, unsigned int uniqueId,
                           bool intoTable = false) REQUIRES(Mutex);
  // The fold of a stream being released into the totals, through the release
  // mark (throttle_table.h): a holder killed at any instant leaves the stream
  // either unreleased and uncounted or marked, and a marked one is finished
  // here by the repair. intoTable is used only for a stream not yet marked.
  void FoldReleasedStream(_TMJobRecord& job, _TMStreamRecord& stream, bool intoTable)
      REQUIRES(Mutex);

  // ---- Throughput allocation ----------------------------------------------
  int RecomputeThroughputs() REQUIRES(Mutex);

  // ---- Crash consistency ---------------------------------------------------
  // Checks the table against its invariants and repairs it from the in-use
  // flags: allocation tables rebuilt as permutations with the slots in use
  // first, back indexes and counts set to match, free slots zeroed, job slots
  // without streams released unless a job limit holds them. Logs one
  // "[ERROR]" line naming what was repaired (reason says why it ran). The
  // number of repairs; 0 when the table was sound.
  unsigned int CheckAndRepairTable(const char* reason) REQUIRES(Mutex);

  // ---- Clean-up ------------------------------------------------------------
  // True if pid exists and is the process recorded at registration: its start
  // in clock ticks after boot matches ownerMark (TMOwnerMark of the stream,
  // which no clock step moves), or, when nothing was recorded (ownerMark 0),
  // it did not start after registrationTime.
  bool IsProcAlive(unsigned int pid, unsigned int registrationTime, uint64_t ownerMark = 0)
      REQUIRES(Mutex);
  // One pass: marks streams silent for more than 600 s, unregisters those of
  // dead processes and those silent for more than 1800 s, then recomputes.
  // Unless force, does nothing within 600 s of this manager's last pass.
  void CheckAndCleanupStreams(bool force) REQUIRES(Mutex);
  // What one look at /proc tells about a process; a pass looks at each
  // distinct process once and judges each of its streams from that.
  struct ProcessFacts;
  ProcessFacts LookAtProcess(unsigned int pid);
  bool JudgeProcess(const ProcessFacts& facts, unsigned int pid, unsigned int registrationTime,
                    uint64_t ownerMark) REQUIRES(Mutex);
  // Benchmark comparison only (the model test runs both ways): look at /proc
  // again for every stream. Off in every caller.
  bool checkEachStreamProcess_ = false;

  // ---- Bounds on shared bytes (table lock held) ----------------------------
  // The segment is writable by any process of the machine: these never let a
  // count or an allocation-table entry index outside the table, and log
  // "[ERROR]" (with label) when the table holds an impossible value.
  // Jobs to walk: ActiveJobCount, at most 512.
  unsigned int SafeJobCount(const char* label) REQUIRES(Mutex);
  // Streams to walk in a job slot (< 512): ActiveStreamCount, at most 512.
  unsigned int SafeStreamCount(unsigned int jobSlot, const char* label) REQUIRES(Mutex);
  // JobAT[position], or -1 when position or the entry is 512 or more.
  int SafeJobSlotAt(unsigned int position, const char* label) REQUIRES(Mutex);
  // StreamAT[position] of a job slot (< 512), or -1 when out of range.
  int SafeStreamSlotAt(unsigned int jobSlot, unsigned int position, const char* label)
      REQUIRES(Mutex);
  // Whether a handle's job and stream slot numbers lie inside the table; when
  // not, writes the "Invalid Job-Index" / "Invalid Stream-Index" line under
  // label. Touches no shared byte, so it needs no lock.
  bool HandleSlotsInRange(const char* label, unsigned int jobSlot, unsigned int streamSlot);

  // ---- Members (process-local) -------------------------------------------
  unsigned int IpcKey = 0;           // System V key of the segment
  std::string ShMemName;             // IpcKey as "%X"; names the table in logs
  std::string MutexName;             // full name of the named mutex
  CNamedMutex* Mutex = nullptr;      // null when not initialised
  EvDebug Log;                       // the manager's debug log
  EvDebugFileInstance LogFile;       // file instance Log writes through
  CHxShMem* ShMem = nullptr;         // null when not initialised
  _TMThrottleTable* Table PT_GUARDED_BY(Mutex) = nullptr;  // null when not initialised
  // Tag of every log line; read by log calls made outside the lock.
  std::atomic<unsigned int> LogTag{0};
  CError Error;                      // filled by the named mutex
  unsigned int LastCleanupTime GUARDED_BY(Mutex) = 0;  // time of the last clean-up pass
  unsigned int TableKind = 0;        // 1..4
  std::atomic<bool> ThrottleLanFree{true};  // false: LAN-free streams are not throttled
  HxEnv* env_;                        // clock seam
  std::string focus_;                 // focus of the attached table ("" if none)
  // Shared by every operation for as long as it may touch Mutex or Table;
  // exclusive in Initialize and Uninitialize, which replace them. (The
  // pointers Mutex, ShMem and Table are written only with lifeMu_ held
  // exclusively; every reader holds it shared, Lock() until Unlock().)
  hx::SharedMutex lifeMu_;
  // Writers announce themselves here; a new outermost Lock() waits while one
  // is announced, so that threads querying back to back cannot keep the
  // shared side busy forever and starve Initialize / Uninitialize.
  std::atomic<int> lifeWritersWaiting_{0};
  // The thread holding the table lock through Lock(), and how often (only
  // that thread changes the depth). A nested Lock() never waits for writers:
  // its thread already holds lifeMu_ shared.
  std::atomic<std::thread::id> tableHolder_{};
  int tableHolderDepth_ = 0;
  // lifeMu_ exclusively, announced to Lock() first.
  class LifeWriter;
  bool repairPending_ = false;        // owner died while no table was attached
  // ---- Machine limit (process-local; the table lock guards them) ----------
  // Members the project added itself take the trailing underscore.
  // The configuration's limit settings as last read, and the schedule parsed
  // from them (empty when there is none or it does not parse).
  unsigned long configuredMbph_ GUARDED_BY(Mutex) = 0;
  std::string scheduleText_ GUARDED_BY(Mutex);
  bool limitSettingsRead_ GUARDED_BY(Mutex) = false;
  hx::ThroughputSchedule schedule_ GUARDED_BY(Mutex);
  // The machine's share of a budget divided between machines ("HxFleet"
  // "Share"), a further cap with deadlines of its own; valid only when it
  // parsed.
  std::string fleetText_ GUARDED_BY(Mutex);
  bool fleetValid_ GUARDED_BY(Mutex) = false;
  hx::FleetShare fleet_ GUARDED_BY(Mutex);
  // The rate query looks at the settings and the schedule again once
  // now - limitCheckFrom_ >= limitCheckSpan_ (a clock set back also passes).
  uint32_t limitCheckFrom_ GUARDED_BY(Mutex) = 0;
  uint32_t limitCheckSpan_ GUARDED_BY(Mutex) = 0;
  // Reads the limit settings; true when they differ from the last reading.
  bool ReadLimitSettings(const char* label) REQUIRES(Mutex);
  // What the configuration gives at now for this table: the schedule's limit
  // or "ComputerThroughputMBPH" (0 = none), capped by the fleet share; the
  // next instant either changes and, when source is given, the
  // kTMLimitFrom* the limit comes from.
  uint32_t ConfiguredLimitAt(uint32_t now, uint32_t* nextChange, uint32_t* source = nullptr) const
      REQUIRES(Mutex);
  // Writes the configured limit, its source and next change into the table.
  // keepHandSet leaves a limit set by hand in place. True when the limit
  // changed.
  bool ApplyConfiguredLimit(uint32_t now, bool keepHandSet) REQUIRES(Mutex);
  // The rate query's look: re-reads the settings every few seconds and
  // applies a change they or the schedule make due, recomputing the shares.
  void RefreshMachineLimit(uint32_t now) REQUIRES(Mutex);
  void ScheduleNextLimitCheck(uint32_t now) REQUIRES(Mutex);
  // ConfigureComputerThroughput; keepHandSet as for ApplyConfiguredLimit.
  void ConfigureLimits(bool keepHandSet) REQUIRES(Mutex);
  // The fork generation (forks this process descends from) of the attachment:
  // a manager inherited through fork attaches anew, for the child, on its
  // first Lock().
  std::atomic<unsigned int> attachGeneration_{0};

 private:
  class TableLock;
  // The named mutex alone (Lock without the lifetime lock), with the repair
  // pass when the previous holder died inside.
  // (Opt-out inside: the named mutex's results say whether it was taken.)
  bool LockTable() REQUIRES_SHARED(lifeMu_) TRY_ACQUIRE(true, Mutex) NO_THREAD_SAFETY_ANALYSIS;
  bool UnlockTable() RELEASE(Mutex) NO_THREAD_SAFETY_ANALYSIS;
  // Logs the exception being handled (call only inside a catch handler) with
  // "[ERROR]"; never throws. For the catch-all of every exported operation.
  void LogFault(const char* label) noexcept;
  int InitializeLocked(const char* focus, unsigned int logTag, unsigned int kind) REQUIRES(lifeMu_);
  // The part of Initialize that runs under the table lock: key file, segment,
  // RefCount.
  int AttachTable(const char* focus, class HxPlatformInfo& config, const char* keyFileSuffix)
      REQUIRES(lifeMu_) RELEASE(Mutex);
  // Leaves the manager uninitialised, holding nothing; -1.
  void FailInitialize(const char* focus) REQUIRES(lifeMu_);
  int FailAttach(const char* focus) REQUIRES(lifeMu_) RELEASE(Mutex);
  // Lists (or unlists) this manager as having a table attached, for the fork
  // handler.
  void TrackAttachment(bool attached);
  // Fork handler, in the child: a table inherited through fork is detached,
  // so that only processes that attached for themselves count in the
  // segment's attach count, which decides who is the last user.
  static void DetachInheritedTables();
  // In a forked child, on the first Lock(): attaches and counts anew (or
  // fails every later operation when the table cannot be had).
  void AttachAfterFork();
  // Forgets the segment object and the table pointer.
  void DropAttachment() REQUIRES(lifeMu_);
  // EnumerateJobsInfo (readOnly false) and SnapshotJobsInfo (readOnly true).
  int CopyAndReportJobs(void* context, IEnumerateJobInfoCallback* callback, bool reset,
                        bool readOnly);
  // InitializeThrottleData; zeroFilled skips the writes of zeros that a
  // freshly created (all-zero) segment does not need.
  void ResetTableContents(bool zeroFilled) REQUIRES(Mutex);
  void AppendAllocationText(std::string& out, const uint32_t* entries, unsigned int count,
                            unsigned int length);
};

// Daemon entry points: (re)initialise and release the process-wide outbound
// and inbound managers. A null focus means the current platform focus.
extern "C" HX_EXPORT int InitializeThrottlingManagersForHXD(const char* focus);
extern "C" HX_EXPORT int UnInitializeThrottlingManagersForHXD();

// The daemon's process-wide managers (outbound, inbound).
extern HX_EXPORT CHxThrottlingManager g_ThrottlingManagerOut;
extern HX_EXPORT CHxThrottlingManager g_ThrottlingManagerIn;
