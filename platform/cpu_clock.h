// The processor time the calling thread has used, for reports that compare
// the threads of an installation.
#ifndef PLATFORM_CPU_CLOCK_H_
#define PLATFORM_CPU_CLOCK_H_

#include <time.h>

// Seconds of processor time used by the calling thread; 0 when unknown.
inline double ThreadCpuSeconds() {
  struct timespec used;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0) return 0;
  return static_cast<double>(used.tv_sec) + used.tv_nsec / 1e9;
}

#endif  // PLATFORM_CPU_CLOCK_H_
