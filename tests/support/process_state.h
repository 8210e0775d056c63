// SPDX-License-Identifier: MIT
// What a test can check of its own process: descriptors, threads and POSIX
// timers left behind, and waiting for a condition with a deadline.
#pragma once

#include <chrono>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>

namespace testproc {

using std::chrono::milliseconds;

int open_fds();
int threads();
int posix_timers();

/// The C library starts a helper thread at the first timer of a process, and
/// a sanitizer runtime may start one at the first thread; both stay. Taking a
/// footprint starts them first, so that they do not count as left behind.
struct footprint {
  footprint();
  int fds;
  int threads;
  int timers;
};

/// Waits until the process is back to `before`; adds a failure naming what
/// differs if it is not by the deadline. Threads that serve a timer's expiry
/// may take a moment to end.
bool back_to(const footprint &before, milliseconds timeout = milliseconds(3000));

/// Polls `pred` every `interval` until it holds or the deadline passes.
/// Returns whether it held.
template <typename Pred>
bool eventually(Pred pred, milliseconds timeout = milliseconds(5000), milliseconds interval = milliseconds(1))
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

/// Takes every free descriptor below FD_SETSIZE for its lifetime, with the
/// soft limit lowered to `limit` meanwhile: the next descriptor the process
/// opens is FD_SETSIZE or above, or there is none at all when `limit` is
/// FD_SETSIZE.
class descriptors_filled {
 public:
  explicit descriptors_filled(rlim_t limit);
  ~descriptors_filled();
  descriptors_filled(const descriptors_filled &) = delete;
  descriptors_filled &operator=(const descriptors_filled &) = delete;

 private:
  rlimit saved_{};
  std::vector<int> taken_;
};

/// Makes a write to a peer that has gone fail with EPIPE instead of ending
/// the process, as the daemon does from its start.
void ignore_sigpipe();

/// CPU time used by a thread so far, in milliseconds, or -1.
double thread_cpu_ms(pthread_t thread);

}  // namespace testproc
