#include "tools/tool_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "mevrakt_version.h"
#include "nbr14522/crc16.h"

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

uint16_t frame_crc(const uint8_t *data, size_t len)
{
  uint16_t crc;
  crc16_init(&crc);
  crc16_update(&crc, data, static_cast<int>(len));
  return crc;
}

}  // namespace

bool tool_is_control(uint8_t byte)
{
  return byte == NBR14522_ENQ || byte == NBR14522_ACK || byte == NBR14522_WAIT || byte == NBR14522_NAK;
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

int64_t tool_now_ns()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
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

void tool_frame_seal(uint8_t *frame, size_t len)
{
  uint16_t crc = frame_crc(frame, len - 2);
  frame[len - 2] = static_cast<uint8_t>(crc & 0xFF);
  frame[len - 1] = static_cast<uint8_t>(crc >> 8);
}

bool tool_frame_ok(const uint8_t *frame, size_t len)
{
  return len >= 3 && frame_crc(frame, len) == 0;
}

int tool_serial_open(const char *path, char *err, size_t errlen)
{
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    snprintf(err, errlen, "cannot open %s: %s", path, strerror(errno));
    return -1;
  }
  struct termios tio;
  if (tcgetattr(fd, &tio) < 0) {
    snprintf(err, errlen, "%s is not a serial line: %s", path, strerror(errno));
    close(fd);
    return -1;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag |= IGNBRK;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd, TCSANOW, &tio) < 0) {
    snprintf(err, errlen, "cannot set 9600 8N1 raw on %s: %s", path, strerror(errno));
    close(fd);
    return -1;
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

int tool_wait_fd(int fd, short events, int64_t deadline_ns)
{
  for (;;) {
    int64_t left = deadline_ns - tool_now_ns();
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
