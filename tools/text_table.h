// A column-aligned text table: a header line, a rule and one line per row.
// Cells are plain text; widths adapt to the widest cell of each column.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hxctl {

class TextTable {
 public:
  enum Align { kLeft, kRight };

  void AddColumn(const std::string& title, Align align);
  // A row with fewer cells than columns is padded with empty cells; surplus
  // cells are dropped.
  void AddRow(std::vector<std::string> cells);
  size_t RowCount() const { return rows_.size(); }

  // Header, rule, rows; no trailing blanks on any line.
  std::vector<std::string> Render() const;

 private:
  std::vector<std::string> titles_;
  std::vector<Align> aligns_;
  std::vector<std::vector<std::string>> rows_;
};

// Printing helpers that give the same text in 32- and 64-bit builds.
std::string FormatU64(uint64_t v);
// Bytes with a binary unit: "0 B", "512 B", "1.5 KiB", "12.0 MiB", "3.25 GiB".
std::string FormatBytes(uint64_t bytes);
// A rate in MBPH, or "unlimited" for 0 when zeroMeansUnlimited.
std::string FormatMbph(uint32_t mbph, bool zeroMeansUnlimited);

}  // namespace hxctl
