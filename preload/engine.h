// The preloaded library's state: which descriptors are network stream sockets,
// the table stream each one has per direction, its pacer, and the throttle
// managers it registers with. One process-wide instance; every member
// function is thread-safe (one internal mutex, never held while sleeping and
// always taken before the table lock).
//
// Streams register on their first paced transfer, report their bytes and ask
// for their rate at most every 100 ms or every MiB, and unregister when their
// descriptor is closed or replaced and at exit. A forked child forgets its
// parent's streams and managers (they stay the parent's) and registers its
// own. Nothing here throws or exits: when a table cannot be attached the
// process runs unthrottled after one line on standard error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hxrun {

enum Direction { kOutbound = 0, kInbound = 1 };

// Process-wide start: reads the settings from the environment, installs the
// fork handler. Called from the library's constructor; harmless to repeat.
void EngineStart();

// Whether the next piece of a transfer on fd in direction d may go, for a
// caller with rest bytes still to move: -1 when fd is not paced (not an
// IPv4/IPv6 stream socket, the direction is not asked for, or its table is
// unusable), else the nanoseconds to wait (0: go now, with *piece set to the
// largest part of rest worth handing the kernel at once). Registers the
// stream and refreshes its rate when due.
//
// What is known of a descriptor is checked against the descriptor itself
// (its device and inode) at least every 100 ms, and whenever recheck is set,
// so a number closed where this library could not see it (io_uring, a raw
// system call) and reused is soon taken for what it now is. Callers recheck
// before they sleep: a file or pipe on the number of a dead stream never
// waits for that stream's pace.
int64_t Admit(int fd, Direction d, size_t rest, bool recheck, size_t* piece);
// Charges bytes moved on fd.
void Charge(int fd, Direction d, size_t bytes);

// The descriptor is about to be closed or replaced: unregister its streams
// and forget what is known of it. ForgetRange does so for first..last.
void ForgetFd(int fd);
void ForgetRange(unsigned int first, unsigned int last);

// Unregisters every stream of this process and detaches (at exit).
void EngineShutdown();
// The same before an exec replaces the process image (which would otherwise
// strand its streams and its count in the table); a failed exec starts
// afresh on the next transfer.
void EngineBeforeExec();

// Monotonic clock, nanoseconds.
int64_t NowNs();

}  // namespace hxrun
