// LiveDisplay: shows a block of lines that changes over time, plus event lines
// that stay. On a terminal the block is redrawn in place (ANSI cursor-up and
// erase), its lines cut to the terminal's width, and events scroll above it. Elsewhere (pipe, file, TERM=dumb) nothing
// but plain lines is written: each shown block is printed in full under a
// header line, and events are printed as they come.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace hxctl {

class LiveDisplay {
 public:
  // terminal: redraw in place. Use StdoutIsTerminal() to decide.
  LiveDisplay(FILE* out, bool terminal);

  bool terminal() const { return terminal_; }

  // Replaces the block. header is printed above the block in plain mode only
  // (e.g. a time stamp); on a terminal the block is drawn as given.
  void Show(const std::string& header, const std::vector<std::string>& block);
  // A line that stays in the output.
  void Event(const std::string& line);
  // Leaves the last block on screen and moves below it.
  void Finish();

 private:
  void EraseBlock();
  void DrawBlock();

  FILE* out_;
  bool terminal_;
  std::vector<std::string> block_;
  size_t drawnLines_ = 0;
};

// True when standard output is a terminal that understands ANSI sequences
// (TERM is not "dumb").
bool StdoutIsTerminal();

}  // namespace hxctl
