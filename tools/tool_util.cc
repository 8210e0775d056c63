// SPDX-License-Identifier: MIT
#include "tools/tool_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include "mevrakt_version.h"

namespace {

int hex_digit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

void to_stderr(void *prog, int, const char *format, va_list args)
{
  fprintf(stderr, "%s: ", static_cast<const char *>(prog));
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

}  // namespace

say_sink tool_sink(const char *prog)
{
  return {to_stderr, const_cast<char *>(prog)};
}

int tool_bad_usage(const char *prog, const char *usage, const char *fmt, ...)
{
  fprintf(stderr, "%s: ", prog);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fprintf(stderr, "\n%sRun '%s --help' for details.\n", usage, prog);
  return 2;
}

int tool_option_end(int c, char **argv, const char *prog, const char *usage, const char *help)
{
  if (c == 'h') {
    printf("%s%s", usage, help);
    return 0;
  }
  if (c == 'V') {
    printf("%s (mevraKT) %s\n", prog, MEVRAKT_VERSION);
    return 0;
  }
  if (c == ':')
    return tool_bad_usage(prog, usage, "option '%s' needs a value", argv[optind - 1]);
  return tool_bad_usage(prog, usage, "unknown option '%s'", argv[optind - 1]);
}

bool tool_parse_uint(const char *text, uint64_t min, uint64_t max, uint64_t *out)
{
  if (!text || !*text)
    return false;
  uint64_t value = 0;
  for (const char *p = text; *p; p++) {
    if (*p < '0' || *p > '9')
      return false;
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10)
      return false;
    value = value * 10 + digit;
  }
  if (value < min || value > max)
    return false;
  *out = value;
  return true;
}

bool tool_parse_prob(const char *text, double *out)
{
  // Digits, at most one point, nothing else: strtod would also take "nan",
  // "1e-2" and leading blanks, which a probability has no use for.
  if (!text || !*text || strlen(text) > 20)
    return false;
  int points = 0;
  int digits = 0;
  for (const char *p = text; *p; p++) {
    if (*p == '.')
      points++;
    else if (*p >= '0' && *p <= '9')
      digits++;
    else
      return false;
  }
  if (points > 1 || digits == 0)
    return false;
  double value = strtod(text, nullptr);
  if (value < 0.0 || value > 1.0)
    return false;
  *out = value;
  return true;
}

int tool_parse_hex(const char *text, uint8_t *out, size_t max)
{
  size_t count = 0;
  int high = -1;
  for (const char *p = text; *p; p++) {
    if (*p == ' ' || *p == ':') {
      if (high >= 0)
        return -1;  // a separator inside a byte
      continue;
    }
    int digit = hex_digit(*p);
    if (digit < 0)
      return -1;
    if (high < 0) {
      high = digit;
      continue;
    }
    if (count == max)
      return -1;
    out[count++] = static_cast<uint8_t>(high << 4 | digit);
    high = -1;
  }
  return high < 0 ? static_cast<int>(count) : -1;
}

int tool_wait_fd(int fd, short events, int64_t deadline_ns)
{
  for (;;) {
    int64_t left = deadline_ns - clock_now_ns();
    if (left <= 0)
      return 0;
    struct pollfd p = {fd, events, 0};
    // Round up so a wait never wakes just before its deadline and spins.
    int n = poll(&p, 1, static_cast<int>((left + 999999) / 1000000));
    if (n > 0)
      return p.revents;
    if (n < 0 && errno != EINTR)
      return -1;
  }
}

bool tool_write_all(int fd, const uint8_t *data, size_t len, int64_t deadline_ns)
{
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      return false;
    if (n < 0 && errno == EAGAIN && tool_wait_fd(fd, POLLOUT, deadline_ns) <= 0)
      return false;
  }
  return true;
}
