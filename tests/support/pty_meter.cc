// SPDX-License-Identifier: MIT
#include "tests/support/pty_meter.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include "tools/tool_util.h"

namespace testmeter {

pty_meter::pty_meter()
{
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return;
  char name[128];
  if (grantpt(fd) < 0 || unlockpt(fd) < 0 || ptsname_r(fd, name, sizeof name) != 0) {
    ::close(fd);
    return;
  }
  // The master's own line discipline sees what the slave writes; keep it raw
  // so that bytes such as 0x0D or 0x11 reach the test untouched.
  struct termios tio;
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  fd_ = fd;
  path_ = name;
}

pty_meter::~pty_meter()
{
  close_master();
}

void pty_meter::close_master()
{
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

void pty_meter::send(const bytes &data)
{
  size_t done = 0;
  while (fd_ >= 0 && done < data.size()) {
    ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      struct pollfd p = {fd_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

void pty_meter::reply(const bytes &data)
{
  struct timespec turnaround = {0, 10000000};
  nanosleep(&turnaround, nullptr);
  send(data);
}

bytes pty_meter::read(size_t n, milliseconds timeout)
{
  bytes out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0 && out.size() < n) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
      continue;
    uint8_t buf[512];
    size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    ssize_t got = ::read(fd_, buf, want);
    if (got > 0)
      out.insert(out.end(), buf, buf + got);
    else if (got < 0 && errno != EAGAIN && errno != EINTR)
      break;  // EIO: nobody holds the slave open
  }
  return out;
}

bytes pty_meter::drain(milliseconds quiet)
{
  bytes out;
  for (;;) {
    bytes more = read(4096, quiet);
    if (more.empty())
      return out;
    out.insert(out.end(), more.begin(), more.end());
  }
}

bytes make_command(uint8_t code, uint8_t fill, size_t length)
{
  bytes frame(length, fill);
  if (length == 0)
    return frame;
  frame[0] = code;
  if (length >= 3)
    nbr14522_frame_seal(frame.data(), static_cast<int>(length));
  return frame;
}

bytes make_response(uint8_t code, uint8_t seed, bool good_crc, bool last)
{
  bytes frame(258);
  frame[0] = code;
  for (size_t i = 1; i < 256; i++)
    frame[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  if (nbr14522_is_composed(code)) {
    frame[NBR14522_RSP_FLAGS_BYTE] &= static_cast<uint8_t>(~NBR14522_RSP_LAST);
    if (last)
      frame[NBR14522_RSP_FLAGS_BYTE] |= NBR14522_RSP_LAST;
  }
  nbr14522_frame_seal(frame.data(), static_cast<int>(frame.size()));
  if (!good_crc) {
    frame[256] ^= 0x5A;
    frame[257] ^= 0x5A;
  }
  return frame;
}

bool crc_ok(const bytes &frame)
{
  return nbr14522_frame_ok(frame.data(), static_cast<int>(frame.size()));
}

}  // namespace testmeter
