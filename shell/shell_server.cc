// SPDX-License-Identifier: MIT
// Threads: shell_open and shell_close run on the owner's thread; everything
// else here runs on the shell thread, which owns the sockets and the
// requests being read, and calls the handlers. Nothing else crosses: the
// table and the path are only read. The thread may be cancelled only in
// select: a handler is never stopped half way through its answer, and the
// sockets it uses are non-blocking, so nothing between two waits can hold up
// a close.
//
// Requests are read from up to SHELL_CALLERS connections at once, each with
// a second of its own to send its request, and each is answered as soon as
// it is whole. A connection that sends nothing, or a byte now and then,
// holds up no one but itself: mevraktsh sends its request right after
// connecting, so it is answered in the pass that takes it, however many
// others wait for their time to run out. Only the answers take turns, each
// written at once: a connection's send buffer holds any answer, so a client
// that does not read keeps no one waiting either.
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/record.h"
#include "common/socket.h"
#include "common/thread.h"
#include "shell/shell_internal.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
// What a local client can make the shell log: a burst, then a few a minute.
constexpr uint32_t kLogBurst = 20;
constexpr uint32_t kLogPerMinute = 10;
// How long a connection has to send its whole request. mevraktsh sends it
// in one call right after connecting, so it is there at once even on a
// loaded board; a second is far beyond that.
constexpr int64_t kRequestMs = 1000;
// Room for the longest answer (a full trace) in a connection's send buffer;
// the system may give less, and the answer then waits for room, briefly.
constexpr int kAnswerRoom = 256 * 1024;

// The connection taken last among those still held, for a look from
// another thread.
void shell_client_note(shell *sh)
{
  const shell_caller *last = nullptr;
  for (const shell_caller &c : sh->callers)
    if (c.fd >= 0 && (!last || c.due > last->due))
      last = &c;
  sh->fd_client.store(last ? last->fd : -1, relaxed);
}

void shell_client_close(shell *sh, shell_caller *caller)
{
  if (caller->fd >= 0)
    socket_close(caller->fd);
  caller->fd = -1;
  caller->received = 0;
  shell_client_note(sh);
}

// Takes the next connection and serves what it has sent already: usually
// its whole request, which came with the connection. With every place
// taken, the connection held longest makes room: it has had the most time
// to send its request, and a flood of connections must not keep out the
// caller that sends one.
void shell_socket_open(shell *sh)
{
  const int fd = socket_accept(sh->fd_listen, &sh->accept_backoff, __func__);
  if (fd < 0)
    return;
  shell_caller *place = nullptr;
  for (shell_caller &c : sh->callers)
    if (!place || c.fd < 0 || (place->fd >= 0 && c.due < place->due))
      place = &c;
  if (place->fd >= 0) {
    log_limited(&sh->log, LOG_NOTICE, "%s - %d connections without a whole request, the oldest closed", __func__,
                SHELL_CALLERS);
    shell_client_close(sh, place);
  }
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kAnswerRoom, sizeof kAnswerRoom);
  place->fd = fd;
  place->received = 0;
  place->due = clock_now_ms() + kRequestMs;
  sh->fd_client.store(fd, relaxed);
  shell_socket_exec(sh, place);
}

// A connection that has not sent its whole request in time (one that sends
// nothing, or a byte now and then) would keep its place for good.
void shell_socket_expire(shell *sh)
{
  const int64_t now = clock_now_ms();
  for (shell_caller &c : sh->callers) {
    if (c.fd < 0 || now < c.due)
      continue;
    log_limited(&sh->log, LOG_NOTICE, "%s - no whole request within %lld ms, connection closed", __func__,
                static_cast<long long>(kRequestMs));
    shell_client_close(sh, &c);
  }
}

void shell_request_exec(shell *sh, shell_caller *caller)
{
  const char *request = caller->request;
  if (!sh->commands || !*request)
    return;
  for (const shell_cmd *cmd = sh->commands; cmd->name; cmd++) {
    size_t length = strlen(cmd->name);
    if (strncmp(request, cmd->name, length) != 0)
      continue;
    const char *args = request + length;
    if (cmd->handler)
      cmd->handler(cmd->ctx, args + strspn(args, " \t\n\v\f\r"), caller->fd);
    return;
  }
  // Always long enough: the request is shorter than its buffer. A client that
  // has left makes the send fail, and nothing more is owed to it.
  char reply[sizeof "shell: : command not found\n" + sizeof caller->request];
  int n = snprintf(reply, sizeof reply, "shell: %s: command not found\n", request);
  send(caller->fd, reply, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Every held connection and the listening socket are watched together,
// until the first time for a request runs out.
void *shell_main(void *arg)
{
  shell *sh = static_cast<shell *>(arg);
  thread_cancel_off();
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    int64_t deadline = socket_listen_watch(sh->fd_listen, &sh->accept_backoff, &readable);
    for (const shell_caller &c : sh->callers) {
      if (c.fd < 0)
        continue;
      socket_watch(c.fd, &readable);
      deadline = clock_earliest(deadline, c.due);
    }
    struct timeval tv;
    if (thread_select(FD_SETSIZE, &readable, clock_timeout(deadline, &tv)) < 0) {
      syslog(LOG_ERR, "%s - select error: %s", __func__, strerror(errno));
      sleep(1);
      continue;
    }
    for (shell_caller &c : sh->callers)
      if (socket_ready(c.fd, &readable))
        shell_socket_exec(sh, &c);
    shell_socket_expire(sh);
    if (socket_ready(sh->fd_listen, &readable))
      shell_socket_open(sh);
  }
  return nullptr;
}

}  // namespace

// The request is whole at its newline, at 1500 bytes, or at the end of the
// client's stream; whatever came by then is the request, its last byte (the
// newline) dropped, and the connection is closed after it. A failed receive
// is logged once and ends the connection too, so that a socket stuck in
// error cannot log at every pass.
void shell_socket_exec(shell *sh, shell_caller *caller)
{
  for (;;) {
    const ssize_t n =
        recv(caller->fd, caller->request + caller->received, sizeof caller->request - caller->received, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;  // the rest in a later pass, or never: see shell_socket_expire
    if (n < 0) {
      log_limited(&sh->log, LOG_ERR, "%s - socket recv error: %s", __func__, strerror(errno));
      shell_client_close(sh, caller);
      return;
    }
    if (n == 0)
      break;
    const bool newline = memchr(caller->request + caller->received, '\n', static_cast<size_t>(n)) != nullptr;
    caller->received += static_cast<size_t>(n);
    if (newline || caller->received == sizeof caller->request)
      break;
  }
  if (caller->received > 0) {
    caller->request[caller->received - 1] = '\0';
    shell_request_exec(sh, caller);
  }
  shell_client_close(sh, caller);
}

shell *shell_open(const char *path, const shell_cmd *commands)
{
  shell *sh = record_alloc<shell>();
  if (!sh) {
    syslog(LOG_ERR, "%s - not enough memory", __func__);
    return nullptr;
  }
  sh->path = path;
  log_limit_init(&sh->log, "the shell", kLogBurst, kLogPerMinute);
  socket_backoff_init(&sh->accept_backoff, "the shell");
  sh->fd_listen = socket_unix_listen(path);
  sh->fd_client.store(-1, relaxed);
  for (shell_caller &c : sh->callers)
    c.fd = -1;
  if (sh->fd_listen < 0) {
    shell_close(sh);
    return nullptr;
  }
  sh->commands = commands;
  if (pthread_create(&sh->thread, nullptr, shell_main, sh) != 0) {
    syslog(LOG_ERR, "%s - cannot create thread", __func__);
    shell_close(sh);
    return nullptr;
  }
  sh->thread_created = 1;
  syslog(LOG_NOTICE, "shell started, listening on UNIX socket[%i] %s", sh->fd_listen, path);
  return sh;
}

void shell_close(shell *sh)
{
  if (!sh)
    return;
  thread_stop(sh->thread, &sh->thread_created);
  for (shell_caller &c : sh->callers)
    shell_client_close(sh, &c);
  if (sh->fd_listen >= 0)
    socket_close(sh->fd_listen);
  sh->fd_listen = -1;
  unlink(sh->path);
  record_free(sh);
}
