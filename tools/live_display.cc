#include "tools/live_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace hxctl {

LiveDisplay::LiveDisplay(FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

void LiveDisplay::EraseBlock() {
  if (drawnLines_ == 0) return;
  // Cursor to the first line of the block, then erase to the end of screen.
  fprintf(out_, "\r\x1b[%zuA\x1b[J", drawnLines_);
  drawnLines_ = 0;
}

void LiveDisplay::DrawBlock() {
  // A line wider than the terminal would wrap and spoil the count of lines to
  // move up at the next redraw: cut it to the width.
  size_t width = 0;
  winsize ws;
  if (ioctl(fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) width = ws.ws_col - 1u;
  for (const std::string& line : block_) {
    fprintf(out_, "%s\x1b[K\n", (width && line.size() > width ? line.substr(0, width) : line).c_str());
  }
  drawnLines_ = block_.size();
}

void LiveDisplay::Show(const std::string& header, const std::vector<std::string>& block) {
  block_ = block;
  if (terminal_) {
    EraseBlock();
    DrawBlock();
  } else {
    if (!header.empty()) fprintf(out_, "%s\n", header.c_str());
    for (const std::string& line : block_) fprintf(out_, "%s\n", line.c_str());
  }
  fflush(out_);
}

void LiveDisplay::Event(const std::string& line) {
  if (terminal_) {
    EraseBlock();
    fprintf(out_, "%s\x1b[K\n", line.c_str());
    DrawBlock();
  } else {
    fprintf(out_, "%s\n", line.c_str());
  }
  fflush(out_);
}

void LiveDisplay::Finish() {
  drawnLines_ = 0;
  fflush(out_);
}

bool StdoutIsTerminal() {
  if (!isatty(STDOUT_FILENO)) return false;
  const char* term = getenv("TERM");
  return !(term && strcmp(term, "dumb") == 0);
}

}  // namespace hxctl
