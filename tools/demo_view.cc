#include "tools/demo_view.h"

#include <cmath>

#include "tools/text_table.h"

namespace hxctl {

std::vector<std::string> RenderDemoTable(const std::string& title, const std::vector<DemoRow>& rows,
                                         const std::vector<std::string>& footer) {
  TextTable t;
  t.AddColumn("JOB", TextTable::kLeft);
  t.AddColumn("TABLE", TextTable::kLeft);
  t.AddColumn("LIMIT", TextTable::kRight);
  t.AddColumn("STREAMS", TextTable::kRight);
  t.AddColumn("MBPH/STREAM", TextTable::kRight);
  t.AddColumn("MOVED", TextTable::kRight);
  t.AddColumn("MBPH NOW", TextTable::kRight);
  t.AddColumn("STATE", TextTable::kLeft);
  for (const DemoRow& r : rows) {
    t.AddRow({FormatU64(r.jobId), r.table, r.limitMbph ? FormatU64(r.limitMbph) : "none",
              FormatU64(r.streams), r.allottedKnown ? FormatMbph(r.allottedMbph, true) : "-",
              FormatBytes(r.bytes),
              r.actualKnown ? FormatU64(static_cast<uint64_t>(std::llround(r.actualMbph))) : "-",
              r.state});
  }
  std::vector<std::string> lines;
  lines.push_back(title);
  for (std::string& l : t.Render()) lines.push_back(std::move(l));
  for (const std::string& f : footer) lines.push_back(f);
  return lines;
}

}  // namespace hxctl
