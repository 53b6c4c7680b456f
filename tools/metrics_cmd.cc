// hxctl metrics: every existing throttle table of an instance in the metrics
// exposition format, read without side effects on the tables.
#include <cstdio>
#include <vector>

#include "tools/commands.h"
#include "tools/instance.h"
#include "tools/table_export.h"
#include "tools/table_session.h"

namespace hxctl {

int RunMetrics(const ParsedArgs& args) {
  ApplyRegistry(args.Value("registry"));
  const std::string focus = ApplyFocus(args.Value("focus"));
  std::string error;
  if (!InstanceExists(focus, &error)) return Fail("metrics", kExitNotFound, error);

  std::vector<TableFigures> tables;
  bool lookFailed = false;
  for (unsigned int kind = 1; kind <= 4; ++kind) {
    const TableKindInfo& info = TableKindOf(kind);
    if (!TableExists(focus, kind, &error)) {
      // An absent table is simply not shown; one that cannot be looked at is
      // reported.
      if (error.compare(0, 12, "table absent") != 0) {
        Fail("metrics", kExitFailure, error);
        lookFailed = true;
      }
      continue;
    }
    TableSession session;
    int status = kExitOk;
    if (!session.Open("metrics", focus, info.option, &status)) return status;
    TableSnapshot snap;
    unsigned long long total = 0;
    std::vector<_TMAllJobStreamInfo> sizes;
    if (!session.Snapshot(&snap) || session.manager().GetDataSizeInfo(total, sizes) != 0) {
      return Fail("metrics", kExitFailure,
                  std::string("cannot read the ") + info.title + " table (lock failed)");
    }
    tables.push_back(ComputeFigures(kind, snap, total));
  }
  if (tables.empty()) {
    if (lookFailed) return kExitFailure;
    return Fail("metrics", kExitNotFound,
                "table absent: instance '" + focus + "' has no throttle table");
  }
  const std::string text = RenderTablesMetrics(focus, tables);
  fwrite(text.data(), 1, text.size(), stdout);
  // A table that could not be looked at fails the command even though the
  // others are shown: a scheduled job must not publish the text as complete.
  return fflush(stdout) == 0 && !lookFailed ? kExitOk : kExitFailure;
}

}  // namespace hxctl
