// SPDX-License-Identifier: MIT
// A bound on the log lines that a peer can make the daemon write. Boards log
// to small flash or RAM, and a broken or hostile peer (a TCP client sending
// junk, a noisy meter line) must not be able to fill it.
//
// Each limit is a token bucket of whole lines: a burst, then a steady number
// a minute. A line that finds no token is not written but counted; the next
// line that passes first writes one line saying how many were suppressed
// (that line takes a token too, so a flood writes no more than the rate).
// Ordinary traffic stays well within the burst and logs exactly as before.
#pragma once

#include <atomic>
#include <cstdint>

struct log_limit {
  char where[48];       // names the limited source in the summary line
  uint32_t burst;       // lines that may pass at once
  uint32_t per_minute;  // lines that may pass a minute after the burst
  int64_t credit;       // in 1/60000 of a line, so refills stay integral
  int64_t last_ms;      // monotonic time of the last refill
  std::atomic<uint32_t> suppressed;
  // Held while one thread updates the bucket. Another thread that finds it
  // held does not wait: its line is counted as suppressed instead, so that no
  // thread ever blocks on logging.
  std::atomic_flag busy;
};

/// Sets up `limit` with a full bucket; `where` (e.g. "/dev/ttyS1" or "TCP
/// port 4001") names the source in the summary line. Call before any thread
/// uses it.
void log_limit_init(log_limit *limit, const char *where, uint32_t burst, uint32_t per_minute);

/// Whether a line may be written now: takes a token if there is one, after
/// writing the pending summary line, if any, as "%u messages suppressed on
/// %s" at warning priority. Any thread; never blocks.
bool log_limit_pass(log_limit *limit);

/// syslog(priority, format, ...) when log_limit_pass lets the line through.
/// Any thread; never blocks on the limit.
void log_limited(log_limit *limit, int priority, const char *format, ...) __attribute__((format(printf, 3, 4)));
