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

// Whether transfers on fd in direction d are paced (fd is an IPv4/IPv6 stream
// socket, the direction is asked for, and its table is usable).
bool Tracks(int fd, Direction d);

// Nanoseconds to wait before the next piece on fd may go (0: now). Registers
// the stream and refreshes its rate when due. 0 for a descriptor not tracked.
int64_t WaitNs(int fd, Direction d);
// The largest piece of want to hand the kernel now.
size_t PieceLimit(int fd, Direction d, size_t want);
// Charges bytes moved on fd.
void Charge(int fd, Direction d, size_t bytes);

// The descriptor is about to be closed or replaced: unregister its streams
// and forget what is known of it.
void ForgetFd(int fd);

// Unregisters every stream of this process and detaches (at exit).
void EngineShutdown();
// The same before an exec replaces the process image (which would otherwise
// strand its streams and its count in the table); a failed exec starts
// afresh on the next transfer.
void EngineBeforeExec();

// Monotonic clock, nanoseconds.
int64_t NowNs();

}  // namespace hxrun
