// SPDX-License-Identifier: MIT
// Helpers shared by the field tools (the meter simulator and the reader):
// strict argument parsing, where errors are said, and waiting on a
// descriptor. The protocol's facts come from nbr14522/frame.h, the clock from
// common/clock.h, and a serial line opens as the daemon opens it, with the
// same settings and lock (serial/serial.h). Errors go to stderr, never to
// syslog: these are command-line programs run by people and scripts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/clock.h"
#include "common/say.h"
#include "nbr14522/frame.h"

/// Writes "PROG: <message>", the usage text and a pointer to --help to
/// stderr. Returns 2, the exit status for bad arguments.
__attribute__((format(printf, 3, 4))) int tool_bad_usage(const char *prog, const char *usage, const char *fmt, ...);

/// Handles the getopt_long results every tool shares: 'h' prints usage and
/// help and returns 0; 'V' prints "PROG (mevraKT) VERSION", the build's
/// version, and returns 0; ':' (missing value) and anything else (unknown
/// option) return tool_bad_usage's 2. `argv` and optind name the option.
int tool_option_end(int c, char **argv, const char *prog, const char *usage, const char *help);

/// A sink that says each line on stderr as "PROG: <line>"; `prog` must
/// outlive it.
say_sink tool_sink(const char *prog);

/// Parses a whole decimal number within [min, max]. Returns false on an empty
/// text, a sign, trailing characters or a value out of range.
bool tool_parse_uint(const char *text, uint64_t min, uint64_t max, uint64_t *out);

/// Parses a whole decimal fraction (e.g. "0.05", "1") within [0, 1].
bool tool_parse_prob(const char *text, double *out);

/// Parses hex bytes ("0a1B", spaces and colons between bytes allowed) into
/// `out`. Returns the count, or -1 on a bad digit, an odd digit count or more
/// than `max` bytes.
int tool_parse_hex(const char *text, uint8_t *out, size_t max);

/// Waits for `fd` to report `events` until the absolute monotonic `deadline_ns`.
/// Returns the revents (0 on time-out), or -1 on a poll error other than EINTR.
int tool_wait_fd(int fd, short events, int64_t deadline_ns);

/// Writes all `len` bytes to a non-blocking `fd` before `deadline_ns`.
/// Returns false on an error or when the deadline passed first.
bool tool_write_all(int fd, const uint8_t *data, size_t len, int64_t deadline_ns);
