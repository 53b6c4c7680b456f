// CHxThrottlingManager: construction, Initialize / HXDInitialize /
// Uninitialize, the table lock, configuration and the stream handle.
//
// Log texts are read by the platform's log tools and operators' scripts and
// stay letter for letter as they always were, misspellings included
// ("LOCk() failed", "Unock()", "faild").
#include <fcntl.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "platform/hx_platform_info.h"
#include "platform/named_mutex.h"
#include "throttling/hx_shmem.h"
#include "platform/sync_point.h"
#include "throttling/table_lock.h"
#include "throttling/throttle_table.h"
#include "throttling/throttling_manager.h"

namespace {

const char kSection[] = "Hxd";

// The managers of this process that have a table attached, for the fork
// handler (which may take no lock). A manager beyond the last slot keeps its
// attachment in a forked child until the child first uses it.
constexpr int kForkSlots = 64;
std::atomic<CHxThrottlingManager*> g_attached[kForkSlots];
// Forks this process descends from, counted in each child by the handler.
std::atomic<unsigned> g_forkGeneration{0};
std::once_flag g_forkHandlerOnce;
// Where outermost Lock() calls wait while a writer of their manager is
// announced (lifeWritersWaiting_). One for every manager of the process:
// writers are rare, and a woken waiter looks at its own manager's count.
// A forked child gets new ones: the parent's threads may have held the mutex
// or waited on the variable, and they do not exist in the child.
struct LifeWait {
  std::mutex mu;
  std::condition_variable writersGone;
};
std::atomic<LifeWait*> g_lifeWait{nullptr};
std::once_flag g_lifeWaitOnce;
LifeWait& TheLifeWait() {
  std::call_once(g_lifeWaitOnce, [] {
    g_lifeWait.store(new LifeWait);
    pthread_atfork(nullptr, nullptr, [] { g_lifeWait.store(new LifeWait); });  // the old one leaks
  });
  return *g_lifeWait.load();
}
const int kKeyFileAttempts = 10;

}  // namespace

// lifeMu_ exclusively, announced to Lock() while it is waited for.
class SCOPED_CAPABILITY CHxThrottlingManager::LifeWriter {
 public:
  explicit LifeWriter(CHxThrottlingManager& m) ACQUIRE(m.lifeMu_) : mu_(m.lifeMu_) {
    m.lifeWritersWaiting_.fetch_add(1);
    HX_SYNC_POINT("CHxThrottlingManager::LifeWriter:Announced");
    mu_.Lock();
    if (m.lifeWritersWaiting_.fetch_sub(1) == 1) {
      // A waiter tests the count under mu: taking mu here puts the
      // notification after its test or after it began to wait, never between.
      LifeWait& wait = TheLifeWait();
      { std::lock_guard<std::mutex> g(wait.mu); }
      wait.writersGone.notify_all();
    }
  }
  ~LifeWriter() RELEASE() { mu_.Unlock(); }

 private:
  hx::SharedMutex& mu_;
};

CHxThrottlingManager::CHxThrottlingManager(HxEnv* environment)
    : Log(nullptr), env_(environment != nullptr ? environment : HxEnv::Default()) {
  LastCleanupTime = env_->NowSeconds();
}

CHxThrottlingManager::~CHxThrottlingManager() {
  // The table stays attached and counted if the caller skipped Uninitialize;
  // only the process-local mutex object is released here.
  TrackAttachment(false);
  delete Mutex;
  Mutex = nullptr;
}

void CHxThrottlingManager::LogFault(const char* label) noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      Log.debugLvl(1, LogTag, "%s: [ERROR] failed on an exception: %s", label, e.what());
    } catch (...) {
      Log.debugLvl(1, LogTag, "%s: [ERROR] failed on an exception", label);
    }
  } catch (...) {
    // Not even the log line could be written: the result still tells.
  }
}

int CHxThrottlingManager::Initialize(const char* focus, unsigned int logTag,
                                     unsigned int kind) try {
  LifeWriter life(*this);
  return InitializeLocked(focus, logTag, kind);
} catch (...) {
  LogFault("Initialize()");
  return -1;
}

int CHxThrottlingManager::InitializeLocked(const char* focus, unsigned int logTag,
                                           unsigned int kind) {
  static const char kLabel[] = "Initialize()";
  if (focus == nullptr) focus = HXPI_Focus::getFocus();

  if (Table != nullptr) {
    // Already attached: never count this manager twice in RefCount.
    if (focus_ == focus && TableKind == kind) {
      Log.debugLvl(3, LogTag, "%s: already initialized for %s.[%s][%p]", kLabel, focus,
                   ShMemName.c_str(), static_cast<void*>(this));
      return 0;
    }
    Log.debugLvl(1, LogTag,
                 "%s: [ERROR] already initialized for %s kind %u; cannot switch to %s kind %u",
                 kLabel, focus_.c_str(), TableKind, focus, kind);
    return -1;
  }

  LogTag = logTag;
  TableKind = kind;
  ShMemName.clear();
  MutexName.clear();
  HXPI_Focus::setFocus(focus);

  const hx::TableKindInfo* kindInfo = hx::FindTableKind(kind);
  const unsigned int logId = kindInfo != nullptr ? kindInfo->debugLogId : 0;
  if (!Log.initialize(LogFile, logId, logTag, false, std::string())) return -1;
  if (kindInfo == nullptr) {
    Log.debugLvl(1, LogTag, "%s: [ERROR] unknown throttle table kind %u", kLabel, kind);
    return -1;
  }
  const hx::TableKindInfo& info = *kindInfo;

  HxPlatformInfo config;
  config.setFocus(focus);
  unsigned long disabled = 0;
  if (config.getNumber(kSection, "DontUseParallelThrottling", &disabled) == 0) disabled = 0;
  if (disabled != 0) {
    Log.debugLvl(1, LogTag,
                 "%s: found regkey DontUseParallelThrottling set. disabling Throttling manager",
                 kLabel);
    return -1;
  }

  MutexName = hx::TableMutexName(focus, kind);
  Error.Clear();
  Mutex = new (std::nothrow) CNamedMutex(MutexName.c_str(), Error, true);
  if (Mutex == nullptr || Error.GetCode() != 0) {
    FailInitialize(focus);
    return -1;
  }

  Log.debugLvl(3, LogTag, "%s: Initialize request", kLabel);

  if (!LockTable()) {
    Log.debugLvl(1, LogTag, "%s: LOCk() failed.Throttling has been disabled..", kLabel);
    FailInitialize(focus);
    return -1;
  }

  try {
    attachGeneration_.store(g_forkGeneration.load());
    const int attached = AttachTable(focus, config, info.keyFileSuffix);
    if (attached == 0) TrackAttachment(true);
    return attached;
  } catch (...) {
    LogFault(kLabel);
    return FailAttach(focus);
  }
}

int CHxThrottlingManager::AttachTable(const char* focus, HxPlatformInfo& config,
                                      const char* keyFileSuffix) {
  static const char kLabel[] = "Initialize()";
  HXPI_CommClient client;
  client.setFocus(HXPI_Focus::getFocus());
  const char* directory = client.getJobResultsDirectory(config.getPhysicalMachine());
  if (directory == nullptr || directory[0] == '\0') {
    Log.debugLvl(1, LogTag, "%s:[error] cannot Get Job-result folder", kLabel);
    return FailAttach(focus);
  }

  std::string keyPath(directory);
  if (keyPath.back() != '/') keyPath += '/';
  keyPath += focus;
  keyPath += keyFileSuffix;

  int fd = -1;
  int lastErrno = 0;
  int attemptsLeft = kKeyFileAttempts;
  while (attemptsLeft > 0) {
    --attemptsLeft;
    fd = open(keyPath.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    lastErrno = errno;
    if (lastErrno == EEXIST) break;
  }
  if (fd >= 0) {
    close(fd);
  } else if (lastErrno != EEXIST) {
    Log.debugLvl(1, LogTag, "%s: Shared memory key creation failed. %d, %d, %d [%s]", kLabel, fd,
                 lastErrno, attemptsLeft, keyPath.c_str());
    return FailAttach(focus);
  }

  const key_t key = hx::TableKeyOf(keyPath);
  if (key == static_cast<key_t>(-1)) {
    Log.debugLvl(1, LogTag, "%s:Cannot Get IPC-Key(%d)[%s]", kLabel, errno, MutexName.c_str());
    return FailAttach(focus);
  }
  IpcKey = static_cast<unsigned int>(key);
  char keyText[16];
  snprintf(keyText, sizeof(keyText), "%X", IpcKey);
  ShMemName = keyText;

  ShMem = GetCHxShMem();
  if (ShMem == nullptr) {
    Log.debugLvl(1, LogTag, "%s: Cannot Create GetCHxShMem", kLabel);
    return FailAttach(focus);
  }

  bool created = false;
  int sysError = 0;
  const int connected = ShMem->Connect(IpcKey, kTMTableSize, created, sysError);
  if (connected != 0) {
    Log.debugLvl(1, LogTag, "%s:  HxShMem-Connection has faild - %d [Sys-error - %d].", kLabel,
                 connected, sysError);
    return FailAttach(focus);
  }
  Table = static_cast<_TMThrottleTable*>(ShMem->GetMemPointer());
  if (Table == nullptr) {
    Log.debugLvl(1, LogTag, "%s: Cannot HxShMem-Connect2 has faild.", kLabel);
    return FailAttach(focus);
  }
  focus_ = focus;

  if (created) {
    ResetTableContents(true);
    Table->RefCount = 1;
  } else {
    if (repairPending_) CheckAndRepairTable("the previous lock holder died");
    Table->RefCount++;
  }
  // Repaired above, or made new: later holders need not repair again.
  if (repairPending_) Mutex->MarkRepaired();
  repairPending_ = false;

  // Attaching keeps an operator's limit: only a clean-up pass or the next
  // scheduled change replaces it.
  ConfigureLimits(!created);
  Log.debugLvl(3, LogTag,
               "%s:Initialized  for %s.[%s][%p][%p] [new - %s] [Refcount - %u] "
               "[Data-Size - %lu][V3]",
               kLabel, focus, ShMemName.c_str(), static_cast<void*>(this),
               static_cast<void*>(Table), created ? "Yes" : "No", Table->RefCount,
               static_cast<unsigned long>(kTMTableSize));
  UnlockTable();
  return 0;
}

int CHxThrottlingManager::FailAttach(const char* focus) {
  UnlockTable();
  FailInitialize(focus);
  return -1;
}

void CHxThrottlingManager::FailInitialize(const char* focus) {
  TrackAttachment(false);
  delete Mutex;
  Mutex = nullptr;
  if (ShMem != nullptr) {
    ShMem->Disconnect(false);
    FreeCHxShMem(ShMem);
    ShMem = nullptr;
  }
  Table = nullptr;
  focus_.clear();
  Log.debugLvl(1, LogTag, "%s:Failed for %s.[%s][%p](%d)", "Initialize()", focus,
               ShMemName.c_str(), static_cast<void*>(this), -1);
}

int CHxThrottlingManager::HXDInitialize(const char* focus, unsigned int logTag,
                                        unsigned int kind) try {
  const int result = Initialize(focus, logTag, kind);
  if (result != 0) return result;
  TableLock lock(*this);
  if (!lock.held()) {
    // Still attached and counted (unless another thread uninitialised it
    // meanwhile); the table keeps its contents.
    Log.debugLvl(1, LogTag, "%s: [ERROR] cannot lock to reset the table", "HXDInitialize()");
    return -1;
  }
  const uint32_t refCount = Table->RefCount;
  const uint32_t uniqueId = Table->UniqueID;
  InitializeThrottleData();
  Table->RefCount = refCount;
  Table->UniqueID = uniqueId;
  Log.debugLvl(1, LogTag, "%s: Succeeded...", "HXDInitialize()");
  return 0;
} catch (...) {
  LogFault("HXDInitialize()");
  return -1;
}

int CHxThrottlingManager::Uninitialize() try {
  static const char kLabel[] = "Uninitialize()";
  LifeWriter life(*this);
  if (Table == nullptr) return 0;
  if (attachGeneration_.load() != g_forkGeneration.load()) {
    // Inherited through fork and never used here: this process has neither an
    // attachment nor a count in RefCount to give back, and is nobody's last
    // user. Only the copies of the parent's objects are dropped.
    Log.debugLvl(3, LogTag, "%s: inherited through fork and never used; nothing to release [%s]",
                 kLabel, ShMemName.c_str());
    DropAttachment();
    delete Mutex;
    Mutex = nullptr;
    return 0;
  }
  if (!LockTable()) {
    Log.debugLvl(1, LogTag, "%s:[ERROR] Uninitialized Failed.[%s][%p]", kLabel,
                 ShMemName.c_str(), static_cast<void*>(this));
    return -1;
  }
  // A fault below (an exception from a system call) must not leave the table
  // lock held: every other process would wait for it forever. On the normal
  // path the mutex is gone by then and this does nothing.
  struct Release {
    CHxThrottlingManager& manager;
    ~Release() { manager.UnlockTable(); }
  } release{*this};
  if (Table->RefCount == 0) {
    // This manager is attached, so the count cannot honestly be 0: someone
    // overwrote it (or reset the table). Do not wrap to 4294967295; the
    // attach count decides whether this is the last user.
    Log.debugLvl(1, LogTag, "%s: [ERROR] RefCount already 0 in [%s]; the attach count decides",
                 kLabel, ShMemName.c_str());
  } else {
    Table->RefCount--;
  }
  const uint32_t refCount = Table->RefCount;
  Log.debugLvl(3, LogTag, "%s:Uninitializing for.[%s][%p] [Refcount - %u] ", kLabel,
               ShMemName.c_str(), static_cast<void*>(this), refCount);
  TrackAttachment(false);
  if (ShMem != nullptr) {
    // Processes killed without Uninitialize leave their counts in RefCount,
    // and a reset zeroes it under attached processes: the kernel's attach
    // count is what tells who is left. It counts only processes that attached
    // for themselves: a forked child loses what it inherited at the fork
    // (DetachInheritedTables) and attaches anew when it first uses a table.
    const int attached = ShMem->AttachCount();
    const bool remove = attached >= 0 ? attached <= 1 : refCount == 0;
    if (remove) {
      if (refCount != 0) {
        Log.debugLvl(1, LogTag,
                     "%s: [ERROR] last process attached, but RefCount is %u (users that died "
                     "without uninitializing)",
                     kLabel, refCount);
      }
      Log.debugLvl(1, LogTag, "%s: Ref.count reached zero destroying Memory block...", kLabel);
    }
    ShMem->Disconnect(remove);
    FreeCHxShMem(ShMem);
    ShMem = nullptr;
  }
  ShMemName.clear();
  MutexName.clear();
  focus_.clear();
  Table = nullptr;
  UnlockTable();
  delete Mutex;
  Mutex = nullptr;
  return 0;
} catch (...) {
  LogFault("Uninitialize()");
  return -1;
}

void CHxThrottlingManager::TrackAttachment(bool attached) {
  if (attached) {
    std::call_once(g_forkHandlerOnce,
                   [] { pthread_atfork(nullptr, nullptr, &CHxThrottlingManager::DetachInheritedTables); });
    for (std::atomic<CHxThrottlingManager*>& slot : g_attached) {
      CHxThrottlingManager* expected = nullptr;
      if (slot.load() == this || slot.compare_exchange_strong(expected, this)) return;
    }
    return;
  }
  for (std::atomic<CHxThrottlingManager*>& slot : g_attached) {
    CHxThrottlingManager* expected = this;
    slot.compare_exchange_strong(expected, nullptr);
  }
}

void CHxThrottlingManager::DetachInheritedTables() {
  g_forkGeneration.fetch_add(1);
  for (std::atomic<CHxThrottlingManager*>& slot : g_attached) {
    CHxThrottlingManager* m = slot.load();
    // The forking thread may be inside that manager's lock (a fork from a
    // signal handler): its code will go on using the mapping.
    if (m == nullptr || m->Table == nullptr || m->tableHolder_.load() == std::this_thread::get_id()) {
      continue;
    }
    shmdt(m->Table);
  }
}

void CHxThrottlingManager::DropAttachment() {
  TrackAttachment(false);
  if (ShMem != nullptr) {
    ShMem->Disconnect(false);  // what the fork handler left attached, if anything
    FreeCHxShMem(ShMem);
    ShMem = nullptr;
  }
  Table = nullptr;
}

void CHxThrottlingManager::AttachAfterFork() try {
  LifeWriter life(*this);
  const unsigned int generation = g_forkGeneration.load();
  if (attachGeneration_.load() == generation) return;  // another thread attached
  attachGeneration_.store(generation);
  if (Table == nullptr) return;
  DropAttachment();
  const std::string focus = focus_;
  HXPI_Focus::setFocus(focus.c_str());
  if (!LockTable()) {
    FailInitialize(focus.c_str());
    return;
  }
  HxPlatformInfo config;
  config.setFocus(focus.c_str());
  if (AttachTable(focus.c_str(), config, hx::FindTableKind(TableKind)->keyFileSuffix) == 0) {
    TrackAttachment(true);
  }
} catch (...) {
  LogFault("Lock()");
}


bool CHxThrottlingManager::Lock() {
  const std::thread::id self = std::this_thread::get_id();
  if (tableHolder_.load() != self) {
    if (attachGeneration_.load(std::memory_order_relaxed) !=
        g_forkGeneration.load(std::memory_order_relaxed)) {
      AttachAfterFork();
    }
    HX_SYNC_POINT("CHxThrottlingManager::Lock:Outermost");
    if (lifeWritersWaiting_.load() > 0) {
      LifeWait& wait = TheLifeWait();
      std::unique_lock<std::mutex> g(wait.mu);
      wait.writersGone.wait(g, [this] { return lifeWritersWaiting_.load() == 0; });
    }
  }
  lifeMu_.LockShared();
  bool held = false;
  try {
    held = Mutex != nullptr && LockTable();
    // Uninitialize may have run while this thread waited for the lock.
    if (held && Table == nullptr) {
      UnlockTable();
      held = false;
    }
  } catch (...) {
    LogFault("Lock()");
  }
  if (!held) {
    lifeMu_.UnlockShared();
  } else if (tableHolder_.load() == self) {
    ++tableHolderDepth_;
  } else {
    tableHolder_.store(self);
    tableHolderDepth_ = 1;
  }
  return held;
}

bool CHxThrottlingManager::Unlock() {
  // Mutex changes only under lifeMu_ held exclusively, which the caller's
  // shared hold excludes; null means the caller holds nothing.
  if (Mutex == nullptr) return true;
  if (tableHolder_.load() == std::this_thread::get_id() && --tableHolderDepth_ == 0) {
    tableHolder_.store(std::thread::id());
  }
  const bool unlocked = UnlockTable();
  lifeMu_.UnlockShared();
  return unlocked;
}

bool CHxThrottlingManager::LockTable() {
  if (Mutex == nullptr) return false;
  const int result = Mutex->lock(-1, true);
  if (result < 0) {
    Log.debugLvl(1, LogTag, "%s: Cannot lock mutex. Ret [%d], Error [%ld][%s]", "Lock()", result,
                 Error.GetCode(), Error.GetText());
    return false;
  }
  if (Mutex->TakeOwnerDied()) {
    if (Table != nullptr) {
      try {
        CheckAndRepairTable("the previous lock holder died");
        Mutex->MarkRepaired();
      } catch (...) {
        LogFault("Lock()");
      }
    } else {
      repairPending_ = true;
    }
  }
  return true;
}

bool CHxThrottlingManager::UnlockTable() {
  if (Mutex == nullptr) return true;
  const int result = Mutex->unlock();
  if (result < 0) {
    Log.debugLvl(1, LogTag, "%s: Cannot unlock HXT-ShMem mutex. Ret [%d], Error [%ld][%s]",
                 "Unock()", result, Error.GetCode(), Error.GetText());
    return false;
  }
  return true;
}

void CHxThrottlingManager::InitializeThrottleData() { ResetTableContents(false); }

void CHxThrottlingManager::ResetTableContents(bool zeroFilled) {
  if (Table == nullptr) return;
  _TMThrottleTable& t = *Table;
  t.JobATIndex = 0;
  t.ActiveJobCount = 0;
  t.UniqueID = 0;
  t.ComputerThrottleMBPH = 0;
  t.RefCount = 0;
  t.TotalSizeProcessed = 0;
  ConfigureComputerThroughput();
  for (uint32_t i = 0; i < kTMMaxJobs; ++i) t.JobAT[i] = i;

  for (uint32_t s = 0; s < kTMMaxJobs; ++s) {
    _TMJobRecord& job = t.Jobs[s];
    for (uint32_t j = 0; j < kTMMaxStreams; ++j) job.StreamAT[j] = j;
    // A new segment is all zero already; writing the rest would only make the
    // kernel back all 57 MB with memory for nothing.
    if (zeroFilled) continue;
    job.JobSizeProcessed = 0;
    job.StreamATIndex = 0;
    job.JobOldATIdx = 0;
    job.StartTime = 0;
    job.LastEnumTime = 0;
    job.ActiveStreamCount = 0;
    job.ActiveThrottStreamCount = 0;
    job.JobID = 0;
    job.JobType = 0;
    job.ThrottleMBPH = 0;
    job.PerStreamMBPH = 0;
    job.Flags = 0;
    // The first twelve words of JobStats; its JobType word is left as it is.
    const uint32_t jobType = job.JobStats.JobType;
    job.JobStats = _TMStats();
    job.JobStats.JobType = jobType;
    for (uint32_t k = 0; k < kTMMaxStreams; ++k) {
      _TMStreamRecord& stream = job.Streams[k];
      // Every field except ComputerName and the JobType words of the stats.
      const uint32_t lastType = stream.LastStats.JobType;
      const uint32_t currentType = stream.CurrentStats.JobType;
      stream.SizeProcessed = 0;
      stream.StartTime = 0;
      stream.LatUpdateTime = 0;
      stream.JobID = 0;
      stream.RCID = 0;
      stream.StreamOldATIdx = 0;
      stream.UniqueID = 0;
      stream.Reserved1 = 0;
      stream.Flags = 0;
      stream.LastStats = _TMStats();
      stream.LastStats.JobType = lastType;
      stream.CurrentStats = _TMStats();
      stream.CurrentStats.JobType = currentType;
      stream.ProcessID = 0;
      memset(stream.Reserved2, 0, sizeof(stream.Reserved2));
      memset(stream.Type, 0, sizeof(stream.Type));
    }
  }
}

unsigned long long CHxThrottlingManager::GetHandle(unsigned int jobSlot, unsigned int streamSlot,
                                                   unsigned int uniqueId) {
  const uint32_t high = static_cast<uint32_t>(jobSlot << 16) | (streamSlot & 0xFFFFu);
  return (static_cast<unsigned long long>(high) << 32) | uniqueId;
}

int CHxThrottlingManager::SplitHandle(unsigned long long handle, unsigned int& jobSlot,
                                      unsigned int& streamSlot, unsigned int& uniqueId) {
  jobSlot = static_cast<unsigned int>(handle >> 48);
  streamSlot = static_cast<unsigned int>((handle >> 32) & 0xFFFFu);
  uniqueId = static_cast<unsigned int>(handle & 0xFFFFFFFFu);
  return 0;
}
