// SPDX-License-Identifier: MIT
#include "tests/support/log_capture.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <syslog.h>

namespace {

std::mutex mu;
std::condition_variable changed;
std::vector<testlog::line> captured;

void record(int priority, const char *format, va_list ap)
{
  char text[4096];
  vsnprintf(text, sizeof text, format, ap);
  {
    std::lock_guard<std::mutex> lock(mu);
    captured.push_back({LOG_PRI(priority), text});
  }
  changed.notify_all();
}

int count_locked(const std::string &text, int priority)
{
  int n = 0;
  for (const testlog::line &l : captured)
    if (l.text == text && (priority < 0 || l.priority == priority))
      n++;
  return n;
}

}  // namespace

// These definitions take the place of the C library's for the whole test
// binary, including the fortified variants some toolchains call instead.
extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void vsyslog(int priority, const char *format, va_list ap)
{
  record(priority, format, ap);
}
void syslog(int priority, const char *format, ...)
{
  va_list ap;
  va_start(ap, format);
  record(priority, format, ap);
  va_end(ap);
}
void __vsyslog_chk(int priority, int, const char *format, va_list ap)
{
  record(priority, format, ap);
}
void __syslog_chk(int priority, int, const char *format, ...)
{
  va_list ap;
  va_start(ap, format);
  record(priority, format, ap);
  va_end(ap);
}
}

namespace testlog {

void clear()
{
  std::lock_guard<std::mutex> lock(mu);
  captured.clear();
}

std::vector<line> lines()
{
  std::lock_guard<std::mutex> lock(mu);
  return captured;
}

int count(const std::string &text, int priority)
{
  std::lock_guard<std::mutex> lock(mu);
  return count_locked(text, priority);
}

int count_prefix(const std::string &prefix)
{
  std::lock_guard<std::mutex> lock(mu);
  int n = 0;
  for (const line &l : captured)
    if (l.text.compare(0, prefix.size(), prefix) == 0)
      n++;
  return n;
}

bool wait_for(const std::string &text, int priority, int n, std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mu);
  return changed.wait_for(lock, timeout, [&] { return count_locked(text, priority) >= n; });
}

std::string dump()
{
  std::lock_guard<std::mutex> lock(mu);
  std::string out;
  for (const line &l : captured)
    out += "  <" + std::to_string(l.priority) + "> " + l.text + "\n";
  return out;
}

}  // namespace testlog
