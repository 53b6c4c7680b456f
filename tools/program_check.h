// What `hxctl run` must know about a program before preloading into it: where
// it is, its ABI, and whether the dynamic loader would honour LD_PRELOAD for
// it at all (not for statically linked, setuid/setgid or file-capability
// programs). A script is judged by its interpreter. The file is read
// defensively: any size or offset it claims is checked before use.
#pragma once

#include <string>

namespace hxctl {

struct ProgramInfo {
  std::string path;     // the file that will be executed
  int bits = 0;         // 32 (i386) or 64 (x86-64): the ABI the loader runs
  std::string judged;   // the ELF file the ABI was read from (the interpreter of a script)
};

enum class ProgramVerdict {
  kOk,
  kNotFound,    // no such program (on PATH)
  kRefused,     // exists but cannot be throttled or run; *reason says why
};

ProgramVerdict InspectProgram(const std::string& command, ProgramInfo* info, std::string* reason);

}  // namespace hxctl
