#include "providers/tarnell_jobs_provider.h"

#include <cstdio>

#include "platform/hx_platform_info.h"

namespace {

const char kInitLabel[] = "CHxPerfProviderTarnellJobs::Initialize";

// Platform type bits: which tables this machine has.
constexpr unsigned int kPlatformHasInTables = 0x2;
constexpr unsigned int kPlatformHasOutTables = 0x4;

// The throttling managers log under the all-ones tag.
constexpr unsigned int kManagerLogTag = 0xFFFFFFFFu;

// Reads a number from section "Hxd"; false when absent.
bool ReadHxdNumber(const char* name, unsigned long* value) {
  HxPlatformInfo info;
  return info.getNumber("Hxd", name, value) != 0;
}

// Formats into a zeroed buffer, keeping at most 128 characters.
template <typename... Args>
std::string Format128(const char* format, Args... args) {
  char buffer[129] = {};
  snprintf(buffer, sizeof(buffer), format, args...);
  return buffer;
}

}  // namespace

CHxPerfProviderTarnellJobs::CHxPerfProviderTarnellJobs(HxEnv* env)
    : m_pCallback(nullptr),
      m_bInitialized(false),
      m_pLog(nullptr),
      m_ownLog(nullptr),
      m_bHasOutTable(false),
      m_bHasInTable(false),
      m_bOutManagerReady(false),
      m_bInManagerReady(false),
      m_outManager(env != nullptr ? env : HxEnv::Default()),
      m_inManager(env != nullptr ? env : HxEnv::Default()),
      env_(env != nullptr ? env : HxEnv::Default()) {
  m_pLog = &m_ownLog;
}

CHxPerfProviderTarnellJobs::~CHxPerfProviderTarnellJobs() { Uninitialize(); }

void CHxPerfProviderTarnellJobs::GetPerfProviderName(std::string& name) { name = "Tarnell Job"; }

void CHxPerfProviderTarnellJobs::GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) {
  types.clear();
  types.push_back(RSRC_AGENT_JOBS_STREAM_READER);
  types.push_back(RSRC_AGENT_JOBS_STREAM_WRITER);
  types.push_back(RSRC_AGENT_JOBS_STATS);
}

int32_t CHxPerfProviderTarnellJobs::Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) {
  if (m_bInitialized) {
    m_pLog->debugLvl(-1, static_cast<uint64_t>(-1), "%s: Already initialized", kInitLabel);
    return 0;
  }
  if (callback == nullptr) {
    m_pLog->debugLvl(-1, static_cast<uint64_t>(-1), "%s:[ERROR]Invalid Callback address",
                     kInitLabel);
    return -1;
  }
  const unsigned int platformType = HXPI_Base::getPlatformType();
  if (log != nullptr) m_pLog = log;
  m_pCallback = callback;
  m_bInitialized = true;

  m_bHasInTable = (platformType & kPlatformHasInTables) != 0;
  m_bHasOutTable = (platformType & kPlatformHasOutTables) != 0;
  m_bInManagerReady = false;
  m_bOutManagerReady = false;

  // The focus is copied: the managers set the process focus themselves.
  const std::string focus = HXPI_Focus::getFocus();
  bool tried = false;
  bool attached = false;
  if (m_bHasInTable) {
    tried = true;
    if (m_inManager.Initialize(focus.c_str(), kManagerLogTag, kTMKindInbound) != 0) {
      m_pLog->debugLvl(-1, static_cast<uint64_t>(-1), "%s:[ERROR]Initializing  ThrottlingManager-In",
                       kInitLabel);
    } else {
      m_bInManagerReady = true;
      attached = true;
    }
  }
  if (m_bHasOutTable) {
    tried = true;
    if (m_outManager.Initialize(focus.c_str(), kManagerLogTag, kTMKindOutbound) != 0) {
      m_pLog->debugLvl(-1, static_cast<uint64_t>(-1),
                       "%s:[ERROR]Initializing  ThrottlingManager-Out", kInitLabel);
    } else {
      m_bOutManagerReady = true;
      attached = true;
    }
  }
  // One attached table is enough for its agent types to report; failing the
  // call because the other table is missing would disable them all, since
  // the manager calls Initialize for the first due agent type only.
  return (tried && !attached) ? -1 : 0;
}

int32_t CHxPerfProviderTarnellJobs::Uninitialize() {
  if (m_bInManagerReady) {
    m_inManager.Uninitialize();
    m_bInManagerReady = false;
  }
  if (m_bOutManagerReady) {
    m_outManager.Uninitialize();
    m_bOutManagerReady = false;
  }
  return 0;
}

uint32_t CHxPerfProviderTarnellJobs::GetUpdateIntervalMinutes(ResourceAgentType type) {
  unsigned long value = 0;
  if (type == RSRC_AGENT_JOBS_STATS) {
    if (!ReadHxdNumber(JOBS_STATS_INTERVAL_REGKEY, &value)) return 10;
    return static_cast<uint32_t>(value / 60);
  }
  if (!ReadHxdNumber(JOBS_SUMMARY_INTERVAL_REGKEY, &value)) return 15;
  return static_cast<uint32_t>(value);
}

void CHxPerfProviderTarnellJobs::SetAgentProp(ResourceAgentType, ResourceAgentPropType,
                                              std::vector<std::string>&) {}

void CHxPerfProviderTarnellJobs::UpdateJobStats() {
  if (!m_bInManagerReady) return;
  // Option 1: reset the streams' current-interval statistics after copying,
  // so the next enumeration sees the next interval.
  m_inManager.EnumerateJobsInfo(nullptr, this, 1);
}

void CHxPerfProviderTarnellJobs::ReportSummary(CHxThrottlingManager& manager,
                                               ResourceAgentType type, const char* objectName,
                                               _PerfLogItems& items) {
  unsigned long long total = 0;
  std::vector<_TMAllJobStreamInfo> jobs;
  if (manager.GetDataSizeInfo(total, jobs) != 0) return;
  uint32_t streams = 0;
  for (const _TMAllJobStreamInfo& job : jobs) streams += job.ActiveStreamCount;
  items.rows.clear();
  items.rows.push_back({Format128("%llu", total),
                        Format128("%u", static_cast<unsigned int>(jobs.size())),
                        Format128("%u", streams)});
  if (m_pCallback != nullptr) m_pCallback->OnUpdateLog(type, objectName, items);
}

void CHxPerfProviderTarnellJobs::UpdatePerfCounters(ResourceAgentType type) {
  _PerfLogItems items;
  items.version = "1.0";
  items.columns = {"TotalBytesRecieved", "ActiveJobs", "ActiveStreams"};

  if (m_bInManagerReady && type == RSRC_AGENT_JOBS_STATS) UpdateJobStats();

  if (m_bInManagerReady && type == RSRC_AGENT_JOBS_STREAM_WRITER) {
    ReportSummary(m_inManager, RSRC_AGENT_JOBS_STREAM_WRITER, "JobsStreamWriter", items);
  }

  items.columns = {"TotalBytesSent", "ActiveJobs", "ActiveStreams"};
  if (m_bOutManagerReady && type == RSRC_AGENT_JOBS_STREAM_READER) {
    ReportSummary(m_outManager, RSRC_AGENT_JOBS_STREAM_READER, "JobsStreamReader", items);
  }
}
