// SPDX-License-Identifier: MIT
#include "common/thread.h"

void thread_cancel_off()
{
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

void thread_cancel_on()
{
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
}

int thread_select(int count, fd_set *readable, struct timeval *timeout)
{
  thread_cancel_on();
  const int ready = select(count, readable, nullptr, nullptr, timeout);
  thread_cancel_off();
  return ready;
}

void thread_stop(pthread_t thread, int *running)
{
  if (!*running)
    return;
  pthread_cancel(thread);
  pthread_join(thread, nullptr);
  *running = 0;
}
