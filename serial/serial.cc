// SPDX-License-Identifier: MIT
#include "serial/serial.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct baud_code {
  unsigned baud;
  speed_t code;
};

// 9600 is absent on purpose: it is what every unlisted speed falls back to.
constexpr std::array<baud_code, 22> baud_table{{
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},       {4800, B4800},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

speed_t speed_code(unsigned baud)
{
  for (const baud_code &entry : baud_table)
    if (entry.baud == baud)
      return entry.code;
  return B9600;
}

// The lines found without modem lines at their open (a pseudo-terminal,
// some USB adapters), one bit a descriptor: requests for RTS and DTR on them
// are passed over, the open having said so once, rather than failing twice
// at every open and again at every close. Each open sets its descriptor's
// bit anew; links on several threads open and drive their lines at once.
std::atomic<uint32_t> without_modem_lines[FD_SETSIZE / 32];

void mark_modem_lines(int fd, bool missing)
{
  if (fd < 0 || fd >= FD_SETSIZE)
    return;
  const uint32_t bit = 1u << (fd % 32);
  if (missing)
    without_modem_lines[fd / 32].fetch_or(bit, std::memory_order_relaxed);
  else
    without_modem_lines[fd / 32].fetch_and(~bit, std::memory_order_relaxed);
}

bool has_modem_lines(int fd)
{
  return fd < 0 || fd >= FD_SETSIZE ||
         !(without_modem_lines[fd / 32].load(std::memory_order_relaxed) & (1u << (fd % 32)));
}

void modem_line(int fd, int bit, int on, const say_sink *sink)
{
  if (has_modem_lines(fd) && ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) < 0)
    say(sink, LOG_ERR, "ioctl(TIOCMBIx) error: %s", strerror(errno));
}

}  // namespace

int serial_open(const char *path, unsigned baud, int data_bits, const char *parity, int stop_bits,
                const say_sink *sink)
{
  auto failed = [sink, path](const char *error) { say(sink, LOG_ERR, "open(%s) error: %s", path, error); };
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    failed(strerror(errno));
    return -1;
  }
  // Anything but a terminal (a file, /dev/zero) would be read as a meter that
  // never stops talking.
  if (!isatty(fd)) {
    failed("not a serial line");
    close(fd);
    return -1;
  }
  // The line is ours alone before anything about it changes: a second
  // gateway, or a terminal program that takes the same lock, is turned away
  // instead of breaking into a live meter's conversation. TIOCEXCL also
  // keeps out programs that do not lock, unless they run as root.
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
    failed(errno == EWOULDBLOCK ? "in use by another program" : strerror(errno));
    close(fd);
    return -1;
  }
  ioctl(fd, TIOCEXCL);

  // Control characters are kept as the driver had them; if even those cannot
  // be read, start from all-zero rather than from whatever the stack held.
  struct termios tio;
  if (tcgetattr(fd, &tio) < 0)
    memset(&tio, 0, sizeof tio);

  tcflag_t cflag = speed_code(baud);
  cflag |= data_bits == 7 ? CS7 : CS8;
  if (stop_bits == 2)
    cflag |= CSTOPB;
  const char p = parity ? parity[0] : '\0';
  if (p == 'O')
    cflag |= PARENB | PARODD;
  else if (p == 'E')
    cflag |= PARENB;
  cflag |= CREAD | HUPCL | CLOCAL;

  tio.c_iflag = IGNBRK | IGNPAR;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag = cflag;
  if (tcsetattr(fd, TCSANOW, &tio) < 0)
    say(sink, LOG_ERR, "tcsetattr(%s) error: %s", path, strerror(errno));
  // Until now the line had the driver's settings, echo included on a UART
  // opened for the first time since boot: what the meter sent meanwhile was
  // taken in, and echoed back to it, by rules that no longer hold.
  tcflush(fd, TCIOFLUSH);
  // A driver without modem lines refuses their requests as it refuses any
  // request it does not know; anything else is a failure of the line.
  int bits;
  const bool missing = ioctl(fd, TIOCMGET, &bits) < 0 && (errno == ENOTTY || errno == EINVAL);
  mark_modem_lines(fd, missing);
  if (missing)
    say(sink, LOG_NOTICE, "no modem lines on %s: RTS and DTR left as they are", path);
  return fd;
}

void serial_set_rts(int fd, int on, const say_sink *sink)
{
  modem_line(fd, TIOCM_RTS, on, sink);
}

void serial_set_dtr(int fd, int on, const say_sink *sink)
{
  modem_line(fd, TIOCM_DTR, on, sink);
}
