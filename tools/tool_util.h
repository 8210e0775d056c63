// Helpers shared by the field tools (the meter simulator and the reader):
// strict argument parsing, NBR 14522 frame constants and CRC, a raw serial
// line, and the monotonic clock. Errors go to stderr, never to syslog: these
// are command-line programs run by people and scripts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nbr14522/frame.h"

constexpr size_t TOOL_CMD_LEN = NBR14522_CMD_SIZE;
constexpr size_t TOOL_RSP_LEN = NBR14522_RSP_SIZE;

/// Whether `byte` is one of the four single-byte control codes.
bool tool_is_control(uint8_t byte);

/// Monotonic time in nanoseconds.
int64_t tool_now_ns();

/// Writes "PROG: <message>", the usage text and a pointer to --help to
/// stderr. Returns 2, the exit status for bad arguments.
__attribute__((format(printf, 3, 4))) int tool_bad_usage(const char *prog, const char *usage, const char *fmt, ...);

/// Handles the getopt_long results every tool shares: 'h' prints usage and
/// help and returns 0; 'V' prints "PROG (mevraKT) VERSION", the build's
/// version, and returns 0; ':' (missing value) and anything else (unknown
/// option) return tool_bad_usage's 2. `argv` and optind name the option.
int tool_option_end(int c, char **argv, const char *prog, const char *usage, const char *help);

/// Parses a whole decimal number within [min, max]. Returns false on an empty
/// text, a sign, trailing characters or a value out of range.
bool tool_parse_uint(const char *text, uint64_t min, uint64_t max, uint64_t *out);

/// Parses a whole decimal fraction (e.g. "0.05", "1") within [0, 1].
bool tool_parse_prob(const char *text, double *out);

/// Parses hex bytes ("0a1B", spaces and colons between bytes allowed) into
/// `out`. Returns the count, or -1 on a bad digit, an odd digit count or more
/// than `max` bytes.
int tool_parse_hex(const char *text, uint8_t *out, size_t max);

/// Writes the CRC of the first `len` - 2 bytes into the last two, low first.
void tool_frame_seal(uint8_t *frame, size_t len);

/// Whether the CRC over the whole frame, its CRC bytes included, is 0.
bool tool_frame_ok(const uint8_t *frame, size_t len);

/// Opens `path` as a raw 9600 8N1 line, non-blocking, not as controlling
/// terminal, and drops whatever was waiting in its buffers. Returns the
/// descriptor (owned by the caller), or -1 with the reason in `err`.
int tool_serial_open(const char *path, char *err, size_t errlen);

/// Waits for `fd` to report `events` until the absolute monotonic `deadline_ns`.
/// Returns the revents (0 on time-out), or -1 on a poll error other than EINTR.
int tool_wait_fd(int fd, short events, int64_t deadline_ns);

/// Writes all `len` bytes to a non-blocking `fd` before `deadline_ns`.
/// Returns false on an error or when the deadline passed first.
bool tool_write_all(int fd, const uint8_t *data, size_t len, int64_t deadline_ns);
