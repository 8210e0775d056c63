// SPDX-License-Identifier: MIT
#include "tests/support/process_state.h"

#include <algorithm>
#include <fstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/select.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace testproc {

namespace {

int dir_entries(const char *path)
{
  int n = 0;
  if (DIR *dir = opendir(path)) {
    while (const dirent *e = readdir(dir))
      if (e->d_name[0] != '.')
        n++;
    closedir(dir);
  }
  return n;
}

void start_runtime_threads()
{
  // A joined thread can stay listed in /proc/self/task for a moment after
  // the join returns (under qemu user emulation, until the emulator's own
  // thread behind it has ended); it must not count as part of the footprint.
  pid_t tid = -1;
  std::thread([&tid] { tid = gettid(); }).join();
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (access(task.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(1));

  struct sigevent ev = {};
  ev.sigev_notify = SIGEV_THREAD;
  ev.sigev_notify_function = [](union sigval) {};
  timer_t timer;
  if (timer_create(CLOCK_MONOTONIC, &ev, &timer) == 0)
    timer_delete(timer);
}

}  // namespace

int open_fds()
{
  return dir_entries("/proc/self/fd");
}

int threads()
{
  return dir_entries("/proc/self/task");
}

int posix_timers()
{
  std::ifstream in("/proc/self/timers");
  std::string line;
  int n = 0;
  while (std::getline(in, line))
    if (line.compare(0, 3, "ID:") == 0)
      n++;
  return n;
}

footprint::footprint()
{
  start_runtime_threads();
  fds = open_fds();
  threads = testproc::threads();
  timers = posix_timers();
}

bool back_to(const footprint &before, milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int fds = open_fds(), tasks = threads(), timers = posix_timers();
    if (fds == before.fds && tasks == before.threads && timers == before.timers)
      return true;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "fds " << before.fds << " -> " << fds << ", threads " << before.threads << " -> " << tasks
                    << ", timers " << before.timers << " -> " << timers;
      return false;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
}

descriptors_filled::descriptors_filled(rlim_t limit)
{
  getrlimit(RLIMIT_NOFILE, &saved_);
  rlimit lowered = saved_;
  lowered.rlim_cur = std::min(saved_.rlim_cur, limit);
  setrlimit(RLIMIT_NOFILE, &lowered);
  for (;;) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      break;
    if (fd >= FD_SETSIZE) {
      close(fd);
      break;
    }
    taken_.push_back(fd);
  }
}

descriptors_filled::~descriptors_filled()
{
  for (int fd : taken_)
    close(fd);
  setrlimit(RLIMIT_NOFILE, &saved_);
}

void ignore_sigpipe()
{
  signal(SIGPIPE, SIG_IGN);
}

double thread_cpu_ms(pthread_t thread)
{
  clockid_t clock;
  struct timespec ts;
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0)
    return -1;
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace testproc
