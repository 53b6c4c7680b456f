#include "providers/linux_provider_base.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <locale.h>

#include "platform/hx_platform_info.h"
#include "providers/perf_header_info.h"

namespace {
constexpr uint32_t kDefaultIntervalMinutes = 15;
}  // namespace

CHxLinuxPerfProviderBase::CHxLinuxPerfProviderBase(ResourceAgentType agentType,
                                                   const char* className,
                                                   const char* displayName, HxEnv* env)
    : m_ownLog(nullptr),
      m_pLog(&m_ownLog),
      agentType_(agentType),
      className_(className),
      displayName_(displayName),
      env_(env != nullptr ? env : HxEnv::Default()) {}

CHxLinuxPerfProviderBase::~CHxLinuxPerfProviderBase() = default;

void CHxLinuxPerfProviderBase::GetPerfProviderName(std::string& name) { name = displayName_; }

void CHxLinuxPerfProviderBase::GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) {
  types.clear();
  types.push_back(agentType_);
}

int32_t CHxLinuxPerfProviderBase::Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) {
  const std::string fn = std::string(className_) + "::Initialize";
  if (m_bInitialized) {
    m_pLog->debugLvl(-1, static_cast<uint64_t>(-1), "%s: Already initialized", fn.c_str());
    return 0;
  }
  if (callback == nullptr) {
    m_pLog->debugLvl(-1, static_cast<uint64_t>(-1), "%s:[ERROR]Invalid Callback address",
                     fn.c_str());
    return -1;
  }
  m_pCallback = callback;
  if (log != nullptr) m_pLog = log;
  m_bInitialized = true;
  return 0;
}

int32_t CHxLinuxPerfProviderBase::Uninitialize() { return 0; }

uint32_t CHxLinuxPerfProviderBase::GetUpdateIntervalMinutes(ResourceAgentType /*type*/) {
  HxPlatformInfo info;
  unsigned long minutes = 0;
  if (info.getNumber("Hxd", UPDATE_INTERVAL_REGKEY, &minutes) == 0) {
    return kDefaultIntervalMinutes;
  }
  return static_cast<uint32_t>(minutes);
}

void CHxLinuxPerfProviderBase::SetAgentProp(ResourceAgentType /*type*/,
                                            ResourceAgentPropType /*property*/,
                                            std::vector<std::string>& /*values*/) {}

bool CHxLinuxPerfProviderBase::RunCommand(const std::string& command, std::string* out) {
  std::string output;
  std::string error;
  const int rc = env_->RunCommand(hxprov::kCommandPrefix + command, &output, &error);
  if (rc != 0) return false;
  *out = std::move(output);
  return true;
}

bool CHxLinuxPerfProviderBase::Report(_PerfLogItems& items) {
  std::string objectName;
  if (!CPerfHeaderInfo::GetPerfHeader(agentType_, objectName, items.version, items.columns)) {
    return false;
  }
  if (items.rows.empty() || m_pCallback == nullptr) return false;
  m_pCallback->OnUpdateLog(agentType_, objectName.c_str(), items);
  return true;
}

namespace hxprov {

const char kCommandPrefix[] = "export LC_ALL=C; ";

namespace {
// The "C" locale, so that numbers are read and written with a decimal point
// whatever locale the host process has set.
locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}
}  // namespace

uint64_t ParseUnsigned64(const std::string& text) {
  // strtoull stops at the first character that is not a digit of the base and
  // gives 0 when there is none; overflow saturates, which is the sound answer
  // for a counter text that does not fit.
  return static_cast<uint64_t>(std::strtoull(text.c_str(), nullptr, 0));
}

uint32_t ParseUnsigned32(const std::string& text) {
  return static_cast<uint32_t>(ParseUnsigned64(text));
}

std::string FormatU64(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%" PRIu64, v);
  return buf;
}

std::string FormatTruncated(long double v) {
  if (std::isnan(v) || v < 1.0L) return "0";
  if (v >= 18446744073709551616.0L) return FormatU64(UINT64_MAX);
  return FormatU64(static_cast<uint64_t>(v));
}

std::string FormatDouble(double v) {
  // Room for every finite double in "%f" (DBL_MAX has 309 integer digits):
  // a shorter buffer would cut the digits and print a wrong number.
  char buf[512];
  const locale_t previous = uselocale(CLocale());
  std::snprintf(buf, sizeof(buf), "%f", v);
  uselocale(previous);
  return buf;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool IsDigits(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ParseDoubleWord(const std::string& word, double* value) {
  if (word.empty()) return false;
  char* end = nullptr;
  const double v = strtod_l(word.c_str(), &end, CLocale());
  if (end == word.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

}  // namespace hxprov

namespace hxprov {

double ParseLeadingDouble(const std::string& text) {
  return strtod_l(text.c_str(), nullptr, CLocale());
}

}  // namespace hxprov
