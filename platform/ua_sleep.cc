#include "platform/ua_sleep.h"

#include <errno.h>
#include <time.h>

void UASLEEP_InTeRnAl(unsigned long milliseconds, const char* /*file*/, int /*line*/) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000L);
  // Sleeps the whole time even when signals interrupt it.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
