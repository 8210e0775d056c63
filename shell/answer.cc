// SPDX-License-Identifier: MIT
#include "shell/answer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "common/clock.h"

namespace {

// The longest a client that does not read may keep the shell waiting.
constexpr int64_t kAnswerMs = 1000;

void answer_flush(answer *a)
{
  size_t done = 0;
  while (!a->failed && done < a->used) {
    const ssize_t n = write(a->fd, a->buf + done, a->used - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    const int64_t left = a->deadline - clock_now_ms();
    struct pollfd room = {a->fd, POLLOUT, 0};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && left > 0 &&
        poll(&room, 1, static_cast<int>(left)) > 0)
      continue;
    a->failed = true;
  }
  a->used = 0;
}

}  // namespace

void answer_start(answer *a, int fd)
{
  a->fd = fd;
  a->deadline = clock_now_ms() + kAnswerMs;
  a->failed = false;
  a->used = 0;
}

void answer_line(answer *a, const char *format, ...)
{
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0)
    return;
  const size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (a->used + length > sizeof a->buf)
    answer_flush(a);
  memcpy(a->buf + a->used, line, length);
  a->used += length;
}

int answer_end(answer *a)
{
  answer_flush(a);
  return a->failed ? -1 : 0;
}
