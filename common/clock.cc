// SPDX-License-Identifier: MIT
#include "common/clock.h"

#include <time.h>

int64_t clock_now_ms()
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t clock_now_ns()
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t clock_earliest(int64_t a, int64_t b)
{
  if (a == 0)
    return b;
  if (b == 0)
    return a;
  return a < b ? a : b;
}

struct timeval *clock_timeout(int64_t deadline, struct timeval *tv)
{
  if (deadline == 0)
    return nullptr;
  int64_t left = deadline - clock_now_ms();
  if (left < 0)
    left = 0;
  tv->tv_sec = static_cast<time_t>(left / 1000);
  tv->tv_usec = static_cast<suseconds_t>(left % 1000) * 1000;
  return tv;
}
