// SPDX-License-Identifier: MIT
// How the shell's handlers write their answers: formatted line by line into
// a buffer on the stack (no stdio stream, nothing allocated, nothing a
// cancelled or concurrent thread could leave half used) and written in
// chunks to the client's non-blocking socket, waiting for room when it is
// full, but never beyond a bound for the whole answer: the shell thread must
// not be held up by a client that does not read.
#pragma once

#include <cstddef>
#include <cstdint>

struct answer {
  int fd;
  int64_t deadline;  // monotonic ms
  bool failed;
  size_t used;
  char buf[4096];
};

/// Starts an answer to `fd`.
void answer_start(answer *a, int fd);

/// Adds one formatted line (at most 255 characters; longer is cut short),
/// writing out what is buffered when the buffer is full.
void answer_line(answer *a, const char *format, ...) __attribute__((format(printf, 2, 3)));

/// Writes out what is left. Returns 0, or -1 when the client did not take
/// it all within the bound.
int answer_end(answer *a);
