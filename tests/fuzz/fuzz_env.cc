// SPDX-License-Identifier: MIT
// The process around every fuzz target. These definitions take the place of
// the C library's in the target's binary.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

// Formats each line as the real syslog would, so that a bad argument is
// still caught, and drops it: a fuzzer runs millions of inputs.
void drop(const char *format, va_list ap)
{
  char text[1024];
  vsnprintf(text, sizeof text, format, ap);
}

// A daemon ignores SIGPIPE, so a write to a closed line or a vanished client
// just fails; the targets close such peers on purpose.
const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

}  // namespace

extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void vsyslog(int, const char *format, va_list ap)
{
  drop(format, ap);
}
void syslog(int, const char *format, ...)
{
  va_list ap;
  va_start(ap, format);
  drop(format, ap);
  va_end(ap);
}
void __vsyslog_chk(int, int, const char *format, va_list ap)
{
  drop(format, ap);
}
void __syslog_chk(int, int, const char *format, ...)
{
  va_list ap;
  va_start(ap, format);
  drop(format, ap);
  va_end(ap);
}

// The link pauses 1 ms before every write to the meter, which would hold a
// fuzzer to a few hundred inputs a second. Pauses that short return at once;
// longer sleeps (the fuzzer's own, say) still sleep.
int nanosleep(const struct timespec *request, struct timespec *remaining)
{
  if (request && request->tv_sec == 0 && request->tv_nsec <= 1000000)
    return 0;
  const int error = clock_nanosleep(CLOCK_REALTIME, 0, request, remaining);
  if (error == 0)
    return 0;
  errno = error;
  return -1;
}
}
