// SPDX-License-Identifier: MIT
// Monotonic time in milliseconds and deadlines for select: the threads wait
// without a time-out unless something of theirs falls due, and then only
// until it does.
#pragma once

#include <cstdint>

#include <sys/time.h>

/// Monotonic clock, in milliseconds.
int64_t clock_now_ms();

/// Monotonic clock, in nanoseconds: for the field tools' timing.
int64_t clock_now_ns();

/// The earlier of two deadlines (monotonic ms), 0 standing for none.
int64_t clock_earliest(int64_t a, int64_t b);

/// The select time-out that ends at `deadline`, written to `*tv` (0 when it
/// has passed), or nullptr when there is no deadline (0).
struct timeval *clock_timeout(int64_t deadline, struct timeval *tv);
