// SPDX-License-Identifier: MIT
// Where a helper that can fail says why: the daemon logs it, a command-line
// tool prints it on standard error, through the same code and in the same
// words.
#pragma once

#include <cstdarg>

#include "common/log_limit.h"

/// A sink: `say` gets a syslog priority and a printf format with its
/// arguments, and `context`.
struct say_sink {
  void (*say)(void *context, int priority, const char *format, va_list args);
  void *context;
};

/// Says one line through `sink`; to syslog when `sink` is nullptr.
void say(const say_sink *sink, int priority, const char *format, ...) __attribute__((format(printf, 3, 4)));

/// A sink that logs through `limit` (see log_limit.h), which must outlive it.
say_sink say_limited(log_limit *limit);
