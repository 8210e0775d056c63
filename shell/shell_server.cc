// SPDX-License-Identifier: MIT
// Threads: shell_open and shell_close run on the owner's thread; everything
// else here runs on the shell thread, which owns the sockets and the request
// being read, and calls the handlers. Nothing else crosses: the table and
// the path are only read. The thread may be cancelled only in select: a
// handler is never stopped half way through its answer, and the sockets it
// uses are non-blocking, so nothing between two waits can hold up a close.
//
// Callers are served in turn, one connection at a time, each whole: its
// request read and answered before the next is taken from the backlog, where
// the others wait. A connection that has not sent its request within a
// second is closed, so none can hold up those behind it for longer than
// that, plus the bounded wait of an answer to a client that does not read.
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
// loaded board; a second is far beyond that, and no longer than an answer
// may keep the shell waiting for a client that does not read.
constexpr int64_t kRequestMs = 1000;

void shell_client_close(shell *sh)
{
  int fd = sh->fd_client.exchange(-1, relaxed);
  if (fd >= 0)
    socket_close(fd);
  sh->received = 0;
}

// Takes the next connection and serves what it has sent already: usually
// its whole request, which came before the connection's turn. Connections
// are taken only while none is held, so the others wait in the backlog.
void shell_socket_open(shell *sh)
{
  const int fd = socket_accept(sh->fd_listen, &sh->accept_backoff, __func__);
  if (fd < 0)
    return;
  sh->received = 0;
  sh->request_due = clock_now_ms() + kRequestMs;
  sh->fd_client.store(fd, relaxed);
  shell_socket_exec(sh);
}

// A connection that has not sent its whole request in time (one that sends
// nothing, or a byte now and then) would hold up every caller behind it.
void shell_socket_expire(shell *sh)
{
  if (sh->fd_client.load(relaxed) < 0 || clock_now_ms() < sh->request_due)
    return;
  log_limited(&sh->log, LOG_NOTICE, "%s - no whole request within %lld ms, connection closed", __func__,
              static_cast<long long>(kRequestMs));
  shell_client_close(sh);
}

void shell_request_exec(shell *sh, const char *request)
{
  if (!sh->commands || !*request)
    return;
  for (const shell_cmd *cmd = sh->commands; cmd->name; cmd++) {
    size_t length = strlen(cmd->name);
    if (strncmp(request, cmd->name, length) != 0)
      continue;
    const char *args = request + length;
    if (cmd->handler)
      cmd->handler(cmd->ctx, args + strspn(args, " \t\n\v\f\r"), sh->fd_client.load(relaxed));
    return;
  }
  // Always long enough: the request is shorter than its buffer. A client that
  // has left makes the send fail, and nothing more is owed to it.
  char reply[sizeof "shell: : command not found\n" + sizeof sh->request];
  int n = snprintf(reply, sizeof reply, "shell: %s: command not found\n", request);
  send(sh->fd_client.load(relaxed), reply, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// One connection at a time, each served whole: while one is held, only it
// is watched, until its request is answered or its time is up.
void *shell_main(void *arg)
{
  shell *sh = static_cast<shell *>(arg);
  thread_cancel_off();
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    const int held = sh->fd_client.load(relaxed);
    int64_t deadline;
    if (held >= 0) {
      socket_watch(held, &readable);
      deadline = sh->request_due;
    } else {
      deadline = socket_listen_watch(sh->fd_listen, &sh->accept_backoff, &readable);
    }
    struct timeval tv;
    if (thread_select(FD_SETSIZE, &readable, clock_timeout(deadline, &tv)) < 0) {
      syslog(LOG_ERR, "%s - select error: %s", __func__, strerror(errno));
      sleep(1);
      continue;
    }
    if (held >= 0) {
      if (socket_ready(held, &readable))
        shell_socket_exec(sh);
      shell_socket_expire(sh);
    } else if (socket_ready(sh->fd_listen, &readable)) {
      shell_socket_open(sh);
    }
  }
  return nullptr;
}

}  // namespace

// The request is whole at its newline, at 1500 bytes, or at the end of the
// client's stream; whatever came by then is the request, its last byte (the
// newline) dropped, and the connection is closed after it. A failed receive
// is logged once and ends the connection too, so that a socket stuck in
// error cannot log at every pass.
void shell_socket_exec(shell *sh)
{
  const int fd = sh->fd_client.load(relaxed);
  for (;;) {
    const ssize_t n = recv(fd, sh->request + sh->received, sizeof sh->request - sh->received, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;  // the rest in a later pass, or never: see shell_socket_expire
    if (n < 0) {
      log_limited(&sh->log, LOG_ERR, "%s - socket recv error: %s", __func__, strerror(errno));
      shell_client_close(sh);
      return;
    }
    if (n == 0)
      break;
    const bool newline = memchr(sh->request + sh->received, '\n', static_cast<size_t>(n)) != nullptr;
    sh->received += static_cast<size_t>(n);
    if (newline || sh->received == sizeof sh->request)
      break;
  }
  if (sh->received > 0) {
    sh->request[sh->received - 1] = '\0';
    shell_request_exec(sh, sh->request);
  }
  shell_client_close(sh);
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
  int fd = sh->fd_client.exchange(-1, relaxed);
  if (fd >= 0)
    socket_close(fd);
  if (sh->fd_listen >= 0)
    socket_close(sh->fd_listen);
  sh->fd_listen = -1;
  unlink(sh->path);
  record_free(sh);
}
