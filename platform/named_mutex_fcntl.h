// The file-lock variant of CNamedMutex: an fcntl write lock on [0, kSlotBase)
// of the lock file, taken for the process by one of its threads at a time,
// and a held marker in the file's header that tells the next holder when the
// previous one died inside. Internal to the platform library.
#pragma once

#include "platform/named_mutex.h"
#include "platform/named_mutex_registry.h"

namespace hxp {

// As CNamedMutex::lock for s: 0, -2 when the time ran out, -1 on another
// failure; error is set on failure.
int FileLockTake(State* s, long timeoutMs, bool wait, CError& error) EXCLUDES(s->mu);
// As CNamedMutex::unlock for s.
int FileLockRelease(State* s, CError& error) EXCLUDES(s->mu);
// Clears the repair mark: 0, EPERM when the calling thread does not hold the
// lock, or the errno of the write.
int FileLockMarkRepaired(State* s) EXCLUDES(s->mu);

}  // namespace hxp
