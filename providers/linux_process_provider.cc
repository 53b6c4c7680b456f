#include "providers/linux_process_provider.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/hx_process.h"
#include "providers/provider_utils.h"

namespace {
const char kClassName[] = "CHxPerfProviderLinuxProcess";

const char kExeLinksCommand[] =
    "ls -l /proc/*/exe | awk '{ if ($11 && match($9, /^\\/proc\\/([0-9]*)/,a)) print a[1], $11 }'";
const char kProcessorsCommand[] = "getconf _NPROCESSORS_ONLN";

// The pgrep command for names: each name is one quoted shell word (a name is
// data, never shell syntax), joined by \| so that pgrep receives
// "a|b|c", a regular expression matching any of them.
std::string BuildPgrepCommand(const std::vector<std::string>& names) {
  std::string command = "pgrep ";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) command += "\\|";
    command += HxShellQuote(names[i]);
  }
  return command;
}

// Parses a whole word as a decimal id; false when it is not one.
bool ParseId(const std::string& word, long* id) {
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(word.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  *id = v;
  return true;
}

// A run of decimal digits as a number (saturated at 2^64-1).
uint64_t DecimalWord(const std::string& word) {
  return static_cast<uint64_t>(std::strtoull(word.c_str(), nullptr, 10));
}

// Reads the next whitespace-separated word of text at *pos.
bool NextWord(const std::string& text, size_t* pos, std::string* word) {
  size_t i = *pos;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r')) {
    ++i;
  }
  const size_t start = i;
  while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\n' &&
         text[i] != '\r') {
    ++i;
  }
  *pos = i;
  if (i == start) return false;
  *word = text.substr(start, i - start);
  return true;
}
}  // namespace

CHxPerfProviderLinuxProcess::CHxPerfProviderLinuxProcess(HxEnv* env)
    : CHxLinuxPerfProviderBase(RSRC_AGENT_PROCESS, kClassName,
                               "Linux System perf counters process", env) {}

int32_t CHxPerfProviderLinuxProcess::Initialize(EvDebug* log, iCHxPerfUpdateCallback* callback) {
  if (m_bInitialized || callback == nullptr) {
    return CHxLinuxPerfProviderBase::Initialize(log, callback);
  }
  const int32_t rc = CHxLinuxPerfProviderBase::Initialize(log, callback);
  if (rc != 0) return rc;
  std::vector<std::string> names;
  if (GetMonitorProcessNames(names)) {
    SetAgentProp(RSRC_AGENT_PROCESS, RSRC_PROP_PROCESS_NAMES, names);
    m_pLog->debugLvl(1, 1, "%s: Added these many process:[%" PRIu64 "]",
                     "CHxPerfProviderLinuxProcess::Initialize",
                     static_cast<uint64_t>(names.size()));
  }
  return 0;
}

void CHxPerfProviderLinuxProcess::SetAgentProp(ResourceAgentType type,
                                               ResourceAgentPropType property,
                                               std::vector<std::string>& values) {
  if (type != RSRC_AGENT_PROCESS) return;
  if (property == RSRC_PROP_PROCESS_NAMES) {
    std::vector<std::string> copy(values);
    hx::MutexLock hold(&m_lock);
    m_processNames.swap(copy);
    m_bNamesChanged = true;
  } else if (property == RSRC_PROP_PROCESS_PATHS) {
    std::vector<std::string> copy(values);
    hx::MutexLock hold(&m_lock);
    m_processPaths.swap(copy);
  }
}

std::string CHxPerfProviderLinuxProcess::GatherIds() {
  std::string pgrepCommand;
  std::vector<std::string> paths;
  {
    hx::MutexLock hold(&m_lock);
    if (m_bNamesChanged) {
      m_pgrepCommand = BuildPgrepCommand(m_processNames);
      m_bNamesChanged = false;
    }
    if (!m_processNames.empty()) pgrepCommand = m_pgrepCommand;
    paths = m_processPaths;
  }

  std::string ids = getProcesslist(env());
  std::string out;
  if (!pgrepCommand.empty() && RunCommand(pgrepCommand, &out)) {
    ids += " ";
    ids += out;
  }

  if (!paths.empty() && RunCommand(kExeLinksCommand, &out)) {
    // Lines of "<id> <executable link target>".
    for (const std::string& line : hxprov::SplitLines(out)) {
      const std::vector<std::string> words = hxprov::SplitWords(line);
      if (words.empty()) continue;
      long id = 0;
      if (!ParseId(words[0], &id)) break;  // no number: the list ends
      if (id <= 0 || words.size() < 2) continue;
      const std::string& target = words[1];
      for (const std::string& prefix : paths) {
        if (target.compare(0, prefix.size(), prefix) == 0) {
          ids += " ";
          ids += words[0];
        }
      }
    }
  }
  return ids;
}

bool CHxPerfProviderLinuxProcess::ReportProcess(long id) {
  char command[4096];
  std::snprintf(command, sizeof(command), "ps hww -p %ld -o %%cpu,fname,pid,nlwp,vsz,args", id);
  std::string out;
  if (!RunCommand(command, &out)) return false;  // e.g. the process has ended

  // "%cpu fname pid nlwp vsz args...": the arguments are the rest of the
  // first line, blanks and commas kept.
  const std::vector<std::string> lines = hxprov::SplitLines(out);
  const std::string line = lines.empty() ? std::string() : lines[0];
  size_t pos = 0;
  std::string cpuWord, name, pidWord, threadsWord, vszWord;
  double cpuUsage = 0;
  if (!NextWord(line, &pos, &cpuWord) || !hxprov::ParseDoubleWord(cpuWord, &cpuUsage) ||
      !NextWord(line, &pos, &name) || !NextWord(line, &pos, &pidWord) ||
      !NextWord(line, &pos, &threadsWord) || !NextWord(line, &pos, &vszWord) ||
      !hxprov::IsDigits(pidWord) || !hxprov::IsDigits(threadsWord) ||
      !hxprov::IsDigits(vszWord)) {
    return false;  // not a process line: better no row than a wrong one
  }
  const std::string arguments = line.substr(pos);
  // ps prints decimal: a leading zero does not make a number octal.
  const uint64_t pid = DecimalWord(pidWord);
  const uint64_t threadCount = DecimalWord(threadsWord);
  if (pid == 0 || !std::isfinite(cpuUsage)) return false;  // no process prints these
  // 64-bit: virtual sizes pass 4 GiB routinely. Saturated, never wrapped.
  const uint64_t vsz = DecimalWord(vszWord);
  const uint64_t memoryBytes = vsz > (UINT64_MAX >> 10) ? UINT64_MAX : vsz << 10;

  uint64_t processors = 1;
  if (RunCommand(kProcessorsCommand, &out)) processors = hxprov::ParseUnsigned64(out);
  if (processors == 0) processors = 1;
  cpuUsage /= static_cast<double>(processors);

  uint64_t handleCount = 0;
  std::snprintf(command, sizeof(command), "ls -1 /proc/%" PRIu64 "/fd | wc -l", pid);
  if (RunCommand(command, &out)) handleCount = hxprov::ParseUnsigned64(out);

  // Accumulated kilobytes read and written. iotop prints its column header
  // among the lines that survive the sed, so the sizes are the first line
  // holding two numbers.
  uint64_t readSize = 0;
  uint64_t writeSize = 0;
  std::snprintf(command, sizeof(command),
                "iotop -bakn1 -p %" PRIu64 " | sed 1,2d  |awk '{print $4,$6}'", pid);
  if (RunCommand(command, &out)) {
    for (const std::string& ioLine : hxprov::SplitLines(out)) {
      const std::vector<std::string> words = hxprov::SplitWords(ioLine);
      double r = 0, w = 0;
      if (words.size() >= 2 && hxprov::ParseDoubleWord(words[0], &r) &&
          hxprov::ParseDoubleWord(words[1], &w)) {
        readSize = hxprov::ParseUnsigned64(words[0]);
        writeSize = hxprov::ParseUnsigned64(words[1]);
        break;
      }
    }
  }
  const uint64_t writeCount = 0;
  const uint64_t readCount = 0;

  _PerfLogItems items;
  items.rows.push_back({
      hxprov::FormatDouble(cpuUsage),
      name,
      hxprov::FormatU64(pid),
      hxprov::FormatU64(threadCount),
      hxprov::FormatU64(handleCount),
      hxprov::FormatU64(memoryBytes),
      "",  // NonPagedPoolMemoryKB: no such pool on this system
      "",  // PagedPoolMemoryKB: no such pool on this system
      hxprov::FormatU64(writeCount),
      hxprov::FormatU64(writeSize),
      hxprov::FormatU64(readCount),
      hxprov::FormatU64(readSize),
      arguments,
  });
  Report(items);
  return true;
}

void CHxPerfProviderLinuxProcess::UpdatePerfCounters(ResourceAgentType type) {
  if (type != RSRC_AGENT_PROCESS) return;
  const std::string ids = GatherIds();
  size_t pos = 0;
  std::string word;
  while (NextWord(ids, &pos, &word)) {
    long id = 0;
    if (!ParseId(word, &id)) break;  // the first non-integer ends the list
    if (id <= 0) continue;           // no process; "ps -p -1" would misread it
    ReportProcess(id);
  }
}
