// SPDX-License-Identifier: MIT
// The meter's end of a pseudo-terminal. The code under test opens path() as
// its serial line; the test plays the meter on the master side, byte by byte,
// with deadlines on everything it waits for.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "nbr14522/frame.h"

namespace testmeter {

using bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr uint8_t ENQ = NBR14522_ENQ;
constexpr uint8_t ACK = NBR14522_ACK;
constexpr uint8_t WAIT = NBR14522_WAIT;
constexpr uint8_t NAK = NBR14522_NAK;

class pty_meter {
 public:
  pty_meter();
  ~pty_meter();
  pty_meter(const pty_meter &) = delete;
  pty_meter &operator=(const pty_meter &) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string &path() const { return path_; }

  void send(const bytes &data);
  void send_byte(uint8_t byte) { send(bytes{byte}); }

  /// Sends as a meter answers what it has just read: after a turnaround of
  /// 10 ms, as a real meter takes a moment before it answers.
  void reply(const bytes &data);
  void reply_byte(uint8_t byte) { reply(bytes{byte}); }

  /// Reads until `n` bytes came or the deadline passed; returns what came.
  bytes read(size_t n, milliseconds timeout = milliseconds(3000));

  /// Collects whatever the line sends until it stays quiet for `quiet`.
  bytes drain(milliseconds quiet = milliseconds(100));

  /// Unplugs the line: the slave side then reads end of file or EIO.
  void close_master();

 private:
  int fd_ = -1;
  std::string path_;
};

/// A command frame of `length` bytes: the code, `fill` bytes, and, when the
/// frame has room for it, the CRC in its last two bytes.
bytes make_command(uint8_t code, uint8_t fill = 0, size_t length = 66);

/// A 258-byte response echoing `code`, with content drawn from `seed`, and
/// a good CRC unless `good_crc` is false. For a composed command's code, the
/// last frame of its answer unless `last` is false.
bytes make_response(uint8_t code, uint8_t seed = 0, bool good_crc = true, bool last = true);

/// Whether the CRC over the whole frame is 0.
bool crc_ok(const bytes &frame);

}  // namespace testmeter
