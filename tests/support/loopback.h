// SPDX-License-Identifier: MIT
// A test's end of a connection to the code under test: TCP to a port on
// this machine, as the AMR side, or a UNIX socket, as the shell's client.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testnet {

using bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

/// Connects a TCP socket to 127.0.0.1:`port`. Returns the descriptor, or -1.
int loopback_connect(uint16_t port);

/// Connects a TCP socket from the loopback address `source` (any address
/// when nullptr) to `to`:`port`. Returns the descriptor, or -1.
int loopback_connect_from(const char *source, const char *to, uint16_t port);

/// The port a socket is bound to.
uint16_t port_of(int fd);

/// One connection, with a deadline on every wait. The socket is made at
/// construction, so that a test can take one before it uses up the
/// process's descriptors and connect it afterwards.
class client {
 public:
  enum kind { tcp, unix_socket };
  explicit client(kind k = tcp);
  explicit client(uint16_t port) : client(tcp) { connect_to(port); }
  explicit client(const std::string &path) : client(unix_socket) { connect_to(path); }
  ~client() { close_now(); }
  client(const client &) = delete;
  client &operator=(const client &) = delete;

  /// Connects to 127.0.0.1:`port`, or to the UNIX socket at `path`.
  /// Returns whether it connected.
  bool connect_to(uint16_t port);
  bool connect_to(const std::string &path);

  /// Sends all of `data`; a failed or short send fails the test.
  void send_bytes(const bytes &data);
  void send_text(const std::string &text);

  /// Reads until `n` bytes came, the peer closed or the deadline passed.
  bytes read(size_t n, milliseconds timeout = milliseconds(5000));

  /// Everything until the peer closes; empty, failing the test, when it
  /// keeps the connection open past the deadline.
  std::string read_to_end(milliseconds timeout = milliseconds(5000));

  /// Whether the peer closed its end in order before the deadline:
  /// readable, and nothing to read.
  bool sees_eof(milliseconds timeout = milliseconds(5000));

  /// Ends this side's stream; the peer reads end of file.
  void end_sending();

  /// Closes with a reset instead of the orderly end of stream.
  void reset();

  void close_now();
  int fd() const { return fd_; }

 private:
  bool wait_readable(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
};

}  // namespace testnet
