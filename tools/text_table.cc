#include "tools/text_table.h"

#include <cinttypes>
#include <cstdio>

namespace hxctl {

void TextTable::AddColumn(const std::string& title, Align align) {
  titles_.push_back(title);
  aligns_.push_back(align);
}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(titles_.size());
  rows_.push_back(std::move(cells));
}

std::vector<std::string> TextTable::Render() const {
  std::vector<size_t> width(titles_.size());
  for (size_t c = 0; c < titles_.size(); ++c) {
    width[c] = titles_[c].size();
    for (const auto& row : rows_) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) out += "  ";
      std::string pad(width[c] - cells[c].size(), ' ');
      out += aligns_[c] == kRight ? pad + cells[c] : cells[c] + pad;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  };
  std::vector<std::string> lines;
  lines.push_back(line(titles_));
  size_t total = 0;
  for (size_t c = 0; c < width.size(); ++c) total += width[c] + (c > 0 ? 2 : 0);
  lines.push_back(std::string(total, '-'));
  for (const auto& row : rows_) lines.push_back(line(row));
  return lines;
}

std::string FormatU64(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%" PRIu64, v);
  return buf;
}

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return FormatU64(bytes) + " B";
  double v = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (v >= 1024.0 && unit < 4) {
    v /= 1024.0;
    ++unit;
  }
  char buf[48];
  snprintf(buf, sizeof(buf), v < 10.0 ? "%.2f %s" : "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string FormatMbph(uint32_t mbph, bool zeroMeansUnlimited) {
  if (mbph == 0 && zeroMeansUnlimited) return "unlimited";
  return FormatU64(mbph);
}

}  // namespace hxctl
