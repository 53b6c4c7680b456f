// Behaviour shared by the operating-system perf providers (system, network,
// disk, process): the core state, Initialize/Uninitialize, the configured
// update interval, running shell commands through the HxEnv seam, reporting
// rows, and the number reading and printing rules for command outputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev_debug.h"
#include "platform/hx_env.h"
#include "platform/hx_export.h"
#include "providers/perf_provider.h"

// Serves exactly one agent type. Initialize, UpdatePerfCounters and
// Uninitialize run on the monitor thread only; this base holds no lock.
class HX_EXPORT CHxLinuxPerfProviderBase : public iCHxPerfProvider {
 public:
  // className qualifies log messages ("<className>::Initialize"); displayName
  // is what GetPerfProviderName returns. env must outlive the provider.
  CHxLinuxPerfProviderBase(ResourceAgentType agentType, const char* className,
                           const char* displayName, HxEnv* env);
  ~CHxLinuxPerfProviderBase() override;

  CHxLinuxPerfProviderBase(const CHxLinuxPerfProviderBase&) = delete;
  CHxLinuxPerfProviderBase& operator=(const CHxLinuxPerfProviderBase&) = delete;

  void GetPerfProviderName(std::string& name) override;
  void GetSupprotedAgentTypes(std::vector<ResourceAgentType>& types) override;
  // 0 and nothing changed when already initialised; -1 (logged to the
  // provider's own log) for a null callback; else stores callback and log.
  int32_t Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) override;
  // Always 0; keeps the provider initialised.
  int32_t Uninitialize() override;
  // "Hxd"/"SysRsrcMonMinutes", 15 when absent; the type is not consulted.
  uint32_t GetUpdateIntervalMinutes(ResourceAgentType type) override;
  // Ignored; the process provider overrides it.
  void SetAgentProp(ResourceAgentType type, ResourceAgentPropType property,
                    std::vector<std::string>& values) override;

 protected:
  // Runs hxprov::kCommandPrefix + command: every stage of a pipeline runs in
  // the "C" locale, so numbers never carry decimal commas or local digits.
  // True, with the command's standard output in *out, when it exited 0.
  bool RunCommand(const std::string& command, std::string* out);

  // Fills version and columns for this provider's agent type and, when rows
  // is not empty, hands the items to the callback. False when nothing was
  // handed over (no rows, no callback, no header).
  bool Report(_PerfLogItems& items);

  const char* className() const { return className_; }
  ResourceAgentType agentType() const { return agentType_; }
  HxEnv* env() const { return env_; }

  iCHxPerfUpdateCallback* m_pCallback = nullptr;  // not owned
  bool m_bInitialized = false;
  EvDebug m_ownLog;
  EvDebug* m_pLog;  // m_ownLog, or the caller's log (not owned)

 private:
  const ResourceAgentType agentType_;
  const char* const className_;
  const char* const displayName_;
  HxEnv* const env_;
};

// Number reading and printing rules shared by the providers.
namespace hxprov {

// Put in front of every command line a provider runs: exports LC_ALL=C to the
// whole command line, not to its first command only.
HX_EXPORT extern const char kCommandPrefix[];

// The leading number of text as strtoull with base 0 reads it (blanks
// skipped, optional sign, 0x/0 prefixes; no digits gives 0; a minus sign
// gives the two's-complement wrap), in 64 bits.
HX_EXPORT uint64_t ParseUnsigned64(const std::string& text);
// Same, in 32 bits: the value is taken modulo 2^32 (so "-1" gives 4294967295).
HX_EXPORT uint32_t ParseUnsigned32(const std::string& text);

// Decimal text of v; identical digits in every ABI.
HX_EXPORT std::string FormatU64(uint64_t v);
// v truncated toward zero to an unsigned 64-bit integer and printed in
// decimal. NaN and negative values print 0, values beyond 2^64-1 print
// 18446744073709551615 (the conversion is otherwise undefined).
HX_EXPORT std::string FormatTruncated(long double v);
// The leading number of text as atof reads it, with a decimal point whatever
// the process locale (no number gives 0.0).
HX_EXPORT double ParseLeadingDouble(const std::string& text);
// v with "%f" (six decimals, decimal point whatever the process locale).
HX_EXPORT std::string FormatDouble(double v);

// Splits text into lines at '\n' (a trailing newline adds no empty line).
HX_EXPORT std::vector<std::string> SplitLines(const std::string& text);
// Splits a line into words separated by blanks and tabs.
HX_EXPORT std::vector<std::string> SplitWords(const std::string& line);
// True when word is a run of decimal digits and nothing else.
HX_EXPORT bool IsDigits(const std::string& word);
// Parses word entirely as a double (strtod rules in the "C" locale: "2e+06", "83505.9");
// false when it is empty or has trailing characters.
HX_EXPORT bool ParseDoubleWord(const std::string& word, double* value);

}  // namespace hxprov
