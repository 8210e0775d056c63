// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>

#include <dlfcn.h>
#include <fcntl.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "serial/serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty_meter.h"

// A pty keeps 8 data bits and no parity whatever it is asked for, and qemu's
// user-mode emulation passes on no speed above 460800, so the character format
// and the speeds are checked on the way in: this binary's tcsetattr notes the
// control flags it was given, then hands the call to the C library.
// It can also refuse the attributes, as some drivers do.
namespace {
tcflag_t applied_cflag;
int applied_count;
bool refuse_attributes;
}

extern "C" int tcsetattr(int fd, int when, const struct termios *tio)
{
  using real_fn = int (*)(int, int, const struct termios *);
  static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "tcsetattr"));
  applied_cflag = tio->c_cflag;
  applied_count++;
  if (refuse_attributes) {
    errno = EINVAL;
    return -1;
  }
  return real(fd, when, tio);
}

namespace {

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    testlog::clear();
    ASSERT_TRUE(meter.ok());
  }
  void TearDown() override
  {
    if (fd >= 0)
      close(fd);
  }

  // Opens the pty's slave as the serial line and reads back what was applied.
  struct termios open_with(unsigned baud, int data_bits, const char *parity, int stop_bits)
  {
    if (fd >= 0)
      close(fd);
    fd = serial_open(meter.path().c_str(), baud, data_bits, parity, stop_bits);
    struct termios tio {};
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    return tio;
  }

  testmeter::pty_meter meter;
  int fd = -1;
};

TEST_F(SerialTest, RawModeAtTheMeterSettings)
{
  struct termios tio = open_with(9600, 8, "N", 1);
  EXPECT_EQ(tio.c_iflag, tcflag_t(IGNBRK | IGNPAR));
  EXPECT_EQ(tio.c_oflag, 0u);
  EXPECT_EQ(tio.c_lflag, 0u);
  EXPECT_EQ(tio.c_cflag & CBAUD, tcflag_t(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(tio.c_cflag & (CSTOPB | PARENB | PARODD), 0u);
  EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  // Only that a pty has no modem lines.
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();
}

TEST_F(SerialTest, SpeedsOutsideTheTableFallBackTo9600)
{
  EXPECT_EQ(open_with(115200, 8, "N", 1).c_cflag & CBAUD, tcflag_t(B115200));
  EXPECT_EQ(open_with(300, 8, "N", 1).c_cflag & CBAUD, tcflag_t(B300));
  open_with(4000000, 8, "N", 1);
  EXPECT_EQ(applied_cflag & CBAUD, tcflag_t(B4000000));
  EXPECT_EQ(open_with(1800, 8, "N", 1).c_cflag & CBAUD, tcflag_t(B9600));
  EXPECT_EQ(open_with(0, 8, "N", 1).c_cflag & CBAUD, tcflag_t(B9600));
}

TEST_F(SerialTest, CharacterFormat)
{
  open_with(9600, 7, "E", 2);
  EXPECT_EQ(applied_cflag & CSIZE, tcflag_t(CS7));
  EXPECT_EQ(applied_cflag & (CSTOPB | PARENB | PARODD), tcflag_t(CSTOPB | PARENB));

  open_with(9600, 8, "Odd", 1);
  EXPECT_EQ(applied_cflag & (PARENB | PARODD), tcflag_t(PARENB | PARODD));

  // Only an upper-case first letter selects a parity; other sizes mean 8 bits.
  for (const char *parity : {"o", "e", "N", "", "X"}) {
    open_with(9600, 8, parity, 1);
    EXPECT_EQ(applied_cflag & (PARENB | PARODD), 0u) << parity;
  }
  for (int bits : {5, 6, 8, 9}) {
    open_with(9600, bits, "N", 3);
    EXPECT_EQ(applied_cflag & CSIZE, tcflag_t(CS8)) << bits;
    EXPECT_EQ(applied_cflag & CSTOPB, 0u);
  }
  EXPECT_EQ(applied_cflag & (CREAD | HUPCL | CLOCAL), tcflag_t(CREAD | HUPCL | CLOCAL));
}

TEST_F(SerialTest, OpenFailureIsLogged)
{
  EXPECT_EQ(serial_open("/nonexistent/ttyS9", 9600, 8, "N", 1), -1);
  EXPECT_EQ(testlog::count("open(/nonexistent/ttyS9) error: No such file or directory", LOG_ERR), 1)
      << testlog::dump();
}

TEST_F(SerialTest, DeviceRefusingAttributesIsStillReturned)
{
  refuse_attributes = true;
  fd = serial_open(meter.path().c_str(), 9600, 8, "N", 1);
  refuse_attributes = false;
  EXPECT_GE(fd, 0);
  EXPECT_EQ(testlog::count("tcsetattr(" + meter.path() + ") error: Invalid argument", LOG_ERR), 1)
      << testlog::dump();
}

// What is not a terminal is no meter's line (/dev/zero would read as an
// endless stream of bytes), and a line that another program holds is not
// touched: neither gets past the open, and each says why in one line.
TEST_F(SerialTest, OnlyAFreeTerminalIsTaken)
{
  for (const char *path : {"/dev/null", "/dev/zero"}) {
    EXPECT_EQ(serial_open(path, 9600, 8, "N", 1), -1);
    EXPECT_EQ(testlog::count(std::string("open(") + path + ") error: not a serial line", LOG_ERR), 1);
  }
  open_with(9600, 8, "N", 1);
  const int applied = applied_count;
  EXPECT_EQ(serial_open(meter.path().c_str(), 9600, 8, "N", 1), -1);
  EXPECT_EQ(applied_count, applied);
  EXPECT_EQ(testlog::count("open(" + meter.path() + ") error: in use by another program", LOG_ERR), 1);
  EXPECT_EQ(testlog::lines().size(), 4u) << testlog::dump();  // with the pty's one notice
}

// A pty has no modem lines: once said at its open, as a notice, the requests
// for them pass in silence, where each failed as an error at every open and
// close (a busy demo's log began with four of them).
TEST_F(SerialTest, ModemLinesMissingOnAPtyAreSaidOnceAtOpen)
{
  open_with(9600, 8, "N", 1);
  for (int on : {0, 1}) {
    serial_set_rts(fd, on);
    serial_set_dtr(fd, on);
  }
  const std::string notice = "no modem lines on " + meter.path() + ": RTS and DTR left as they are";
  EXPECT_EQ(testlog::count(notice, LOG_NOTICE), 1);
  EXPECT_EQ(testlog::lines().size(), 1u) << testlog::dump();

  // A line opened again and again (one that comes and goes) says so at
  // every open: with a limit, only what the limit lets through.
  testlog::clear();
  log_limit limit;
  log_limit_init(&limit, meter.path().c_str(), 1, 1);
  const say_sink sink = say_limited(&limit);
  for (int open = 0; open < 20; open++) {
    close(fd);
    fd = serial_open(meter.path().c_str(), 9600, 8, "N", 1, &sink);
  }
  EXPECT_EQ(testlog::count(notice, LOG_NOTICE), 1) << testlog::dump();
  EXPECT_EQ(limit.suppressed.load(), 19u);
}

}  // namespace
