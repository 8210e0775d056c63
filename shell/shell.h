// SPDX-License-Identifier: MIT
// Local shell: named commands on a UNIX-domain stream socket, one request
// line per connection. The server side runs inside the daemon on a thread of
// its own and answers through a table of command handlers; the client side is
// the whole of mevraktsh.
#pragma once

#include <atomic>

#include <pthread.h>

#include "common/log_limit.h"
#include "common/socket.h"

/// Where the daemon's shell listens and mevraktsh connects.
constexpr const char *SHELL_SOCKET_PATH = "/var/run/mevraKT.socket";

/// Runs one command: writes its answer for `args` (the request after the
/// command's name and the white space that follows it) to `fd`, the client's
/// connection. The result is ignored.
using shell_handler_fn = int (*)(void *ctx, const char *args, int fd);

/// One command. A table is an array of these ended by an entry whose name is
/// absent; the first entry whose name starts the request serves it.
struct shell_cmd {
  const char *name;          // compared with as many characters of the request
  shell_handler_fn handler;  // absent: the connection is closed with no reply
  void *ctx;
};

/// How many connections the shell reads requests from at once. A caller
/// beyond them takes the place of the one held longest.
constexpr int SHELL_CALLERS = 32;

/// A connection whose request is being read; shell thread only.
struct shell_caller {
  int fd;  // -1: a free place
  // The request as far as it came, and when its time to send the rest is
  // up (monotonic ms).
  char request[1500];
  size_t received;
  int64_t due;
};

struct shell {
  const char *path;  // borrowed
  int fd_listen;
  // The connection taken last and still held, -1 for none. Only the shell
  // thread stores it; atomic so that another thread may look.
  std::atomic<int> fd_client;
  pthread_t thread;
  int thread_created;
  const shell_cmd *commands;  // borrowed; may be absent
  shell_caller callers[SHELL_CALLERS];
  // Failed receives and accepts are rate-limited; a listening socket that
  // runs out of descriptors rests instead of spinning.
  log_limit log;
  socket_backoff accept_backoff;
};

/// Listens at `path` and starts the shell thread serving `commands`. Both are
/// borrowed and must outlive the server. Handlers run on the shell thread
/// with cancellation off and must not block: the connection they write to is
/// non-blocking, and an answer longer than its socket buffer is cut short
/// unless its handler waits for room, briefly and with a bound.
/// The process must ignore SIGPIPE, or a handler writing to a client that has
/// left ends it. Returns
/// the running server, owned by the caller until shell_close, or nullptr
/// (logged) with nothing left behind.
shell *shell_open(const char *path, const shell_cmd *commands);

/// Stops the shell thread and waits for its end, closes the sockets, removes
/// the file at `path` and frees the server. Does nothing without a server.
/// Any thread but the shell's own.
void shell_close(shell *shell);

/// What became of a shell client's request; the value is mevraktsh's exit
/// status.
enum shell_client_status {
  SHELL_CLIENT_ANSWERED = 0,     // the whole answer was printed
  SHELL_CLIENT_NOT_RUNNING = 1,  // no daemon listens at the path
  SHELL_CLIENT_USAGE = 2,        // no command word, or a request too long
  SHELL_CLIENT_REFUSED = 3,      // the socket's rights keep this user out
  SHELL_CLIENT_TIMEOUT = 4,      // no whole answer in time
  SHELL_CLIENT_CUT_SHORT = 5,    // the daemon ended the connection before its answer was whole
};

/// How long the shell client waits for the daemon by default, in ms: a
/// daemon answers at once, and one that does not, stopped or stuck, must
/// not hold up the scripts that ask it.
constexpr int SHELL_CLIENT_TIMEOUT_MS = 5000;

/// The shell client: sends argv[1] to argv[3] (fewer if absent), joined by
/// single blanks and ended by a newline, as one request to the server at
/// `path`, and prints the answer on standard output until the server closes,
/// all within `timeout_ms`. A request that would not fit in 1400 bytes is
/// refused, not cut short; an answer that does not end with a newline was
/// cut short. Returns SHELL_CLIENT_ANSWERED after a whole answer; else the
/// failure is logged and said on standard error as "mevraktsh: ..." (but for
/// a missing command word), and when no daemon runs, "Error: service not
/// running!" and a blank line also go to standard output.
shell_client_status shell_client_exec(const char *path, int argc, const char *const *argv,
                                      int timeout_ms = SHELL_CLIENT_TIMEOUT_MS);
