// hxctl table: show (and optionally dump) one throttle table of an instance.
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "tools/commands.h"
#include "tools/fs_util.h"
#include "tools/instance.h"
#include "tools/live_display.h"
#include "tools/table_export.h"
#include "tools/table_session.h"

namespace hxctl {
namespace {

volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

std::string TimeStamp() {
  char buf[32];
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  strftime(buf, sizeof(buf), "%H:%M:%S", &tm);
  return buf;
}

// The lines this process wrote to the debug log after offset, with the log
// line prefix ("date time pid tid level tag ") removed. A logged text may hold
// newlines; its continuation lines carry no prefix and follow their entry.
std::vector<std::string> OwnLogLinesSince(const std::string& path, size_t offset,
                                          unsigned int tag) {
  std::vector<std::string> out;
  std::string content;
  if (!ReadWholeFile(path, &content) || content.size() <= offset) return out;
  std::istringstream in(content.substr(offset));
  char wantTag[24];
  snprintf(wantTag, sizeof(wantTag), "0x%" PRIx32, static_cast<uint32_t>(tag));
  const std::string pid = std::to_string(static_cast<long long>(getpid()));
  bool keep = false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string date, time, linePid, tid, level, lineTag;
    bool isEntry = static_cast<bool>(fields >> date >> time >> linePid >> tid >> level >> lineTag) &&
                   date.size() == 10 && date[4] == '-' && time.size() == 8 && time[2] == ':';
    if (isEntry) {
      keep = linePid == pid && lineTag == wantTag;
      if (keep) {
        std::string text;
        std::getline(fields, text);
        if (!text.empty() && text[0] == ' ') text.erase(0, 1);
        out.push_back(text);
      }
    } else if (keep) {
      out.push_back(line);
    }
  }
  return out;
}

int Dump(TableSession& session) {
  std::string path = EvDebug::LogFilePath();
  std::string before;
  ReadWholeFile(path, &before);
  if (!session.manager().Lock()) {
    return Fail("table", kExitFailure, "cannot take the table lock for the dump");
  }
  session.manager().DumpAll(true);
  session.manager().Unlock();
  std::vector<std::string> lines = OwnLogLinesSince(path, before.size(), session.logTag());
  printf("\nDiagnostic dump (written to %s):\n", path.empty() ? "(no debug log)" : path.c_str());
  for (const std::string& l : lines) printf("%s\n", l.c_str());
  if (lines.empty()) printf("(the debug log could not be read back)\n");
  return kExitOk;
}

}  // namespace

int RunTable(const ParsedArgs& args) {
  if (args.Has("json") && (args.Has("watch") || args.Has("dump") || args.Has("plain"))) {
    return Fail("table", kExitUsage, "--json cannot be combined with --watch, --plain or --dump");
  }
  ApplyRegistry(args.Value("registry"));
  TableSession session;
  int status = kExitOk;
  if (!session.Open("table", args.Value("focus"), args.Value("kind"), &status)) return status;

  TableSnapshot snap;
  if (args.Has("json")) {
    unsigned long long total = 0;
    std::vector<_TMAllJobStreamInfo> sizes;
    if (!session.Snapshot(&snap) || session.manager().GetDataSizeInfo(total, sizes) != 0) {
      return Fail("table", kExitFailure, "cannot read the table (lock failed)");
    }
    const std::string json =
        RenderTableJson(session.focus(), ComputeFigures(session.kind(), snap, total));
    fwrite(json.data(), 1, json.size(), stdout);
    return fflush(stdout) == 0 ? kExitOk : kExitFailure;
  }
  if (!args.Has("watch")) {
    if (!session.Snapshot(&snap)) return Fail("table", kExitFailure, "cannot read the table (lock failed)");
    for (const std::string& line : RenderTable(session.focus(), session.kind(), snap)) {
      printf("%s\n", line.c_str());
    }
    fflush(stdout);
    return args.Has("dump") ? Dump(session) : kExitOk;
  }

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  LiveDisplay display(stdout, StdoutIsTerminal() && !args.Has("plain"));
  while (!g_interrupted) {
    if (!session.Snapshot(&snap)) return Fail("table", kExitFailure, "cannot read the table (lock failed)");
    std::vector<std::string> lines = RenderTable(session.focus(), session.kind(), snap);
    if (display.terminal()) lines.insert(lines.begin(), TimeStamp() + "  (Ctrl-C to stop)");
    display.Show("--- " + TimeStamp() + " ---", lines);
    for (int i = 0; i < 10 && !g_interrupted; ++i) usleep(100000);
  }
  display.Finish();
  return args.Has("dump") ? Dump(session) : kExitOk;
}

}  // namespace hxctl
