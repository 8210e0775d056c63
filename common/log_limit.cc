// SPDX-License-Identifier: MIT
#include "common/log_limit.h"

#include <cstdarg>
#include <cstdio>

#include <syslog.h>

#include "common/clock.h"

namespace {

// Credit is kept in 1/60000 of a line: a minute of 60000 ms then refills
// exactly `per_minute` lines, with no rounding to drift.
constexpr int64_t kLine = 60000;

}  // namespace

void log_limit_init(log_limit *limit, const char *where, uint32_t burst, uint32_t per_minute)
{
  snprintf(limit->where, sizeof limit->where, "%s", where ? where : "");
  limit->burst = burst;
  limit->per_minute = per_minute;
  limit->credit = static_cast<int64_t>(burst) * kLine;
  limit->last_ms = clock_now_ms();
  limit->suppressed.store(0, std::memory_order_relaxed);
  limit->busy.clear(std::memory_order_release);
}

bool log_limit_pass(log_limit *limit)
{
  if (limit->busy.test_and_set(std::memory_order_acquire)) {
    limit->suppressed.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  const int64_t now = clock_now_ms();
  const int64_t full = static_cast<int64_t>(limit->burst) * kLine;
  if (now > limit->last_ms) {
    const int64_t gained = (now - limit->last_ms) * limit->per_minute;
    limit->credit = limit->credit + gained > full ? full : limit->credit + gained;
    limit->last_ms = now;
  }
  const uint32_t suppressed = limit->suppressed.load(std::memory_order_relaxed);
  if (suppressed != 0 && limit->credit >= kLine) {
    limit->credit -= kLine;
    limit->suppressed.fetch_sub(suppressed, std::memory_order_relaxed);
    syslog(LOG_WARNING, "%u messages suppressed on %s", suppressed, limit->where);
  }
  const bool pass = limit->credit >= kLine;
  if (pass)
    limit->credit -= kLine;
  else
    limit->suppressed.fetch_add(1, std::memory_order_relaxed);
  limit->busy.clear(std::memory_order_release);
  return pass;
}

void log_limited(log_limit *limit, int priority, const char *format, ...)
{
  if (!log_limit_pass(limit))
    return;
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}
