// The two CPU instructions the locks use, with portable fall-backs: a pause
// inside a spin loop, and a cycle counter read without a system call.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace hxp {

// Tells the CPU that the caller spins: frees resources for the sibling
// hardware thread and eases the bus. A compiler barrier where no such hint
// exists.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield" ::: "memory");
#else
  __asm__ __volatile__("" ::: "memory");
#endif
}

// A counter that grows at a steady, unknown rate, read by one instruction;
// 0 where there is none, so that callers measuring its rate against a clock
// never get one and keep using the clock.
inline uint64_t CpuTicks() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#elif defined(__aarch64__)
  uint64_t ticks;
  __asm__ __volatile__("mrs %0, cntvct_el0" : "=r"(ticks));
  return ticks;
#else
  return 0;
#endif
}

}  // namespace hxp
