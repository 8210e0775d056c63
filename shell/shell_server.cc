// Threads: shell_open and shell_close run on the owner's thread; everything
// else here runs on the shell thread, which owns the sockets and calls the
// handlers. Nothing else crosses: the table and the path are only read. The
// thread may be cancelled only in select: a handler is never stopped half way
// through its answer, and the sockets it uses are non-blocking, so nothing
// between two waits can hold up a close.
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

constexpr size_t request_size = 1500;
constexpr auto relaxed = std::memory_order_relaxed;
// What a local client can make the shell log: a burst, then a few a minute.
constexpr uint32_t kLogBurst = 20;
constexpr uint32_t kLogPerMinute = 10;

void shell_client_close(shell *sh)
{
  int fd = sh->fd_client.exchange(-1, relaxed);
  if (fd >= 0)
    socket_close(fd);
}

// The connection accepted takes the place of the one held, which will never
// be read again, so it is closed; a failed accept leaves no connection.
void shell_socket_open(shell *sh)
{
  const int fd = socket_accept(sh->fd_listen, &sh->accept_backoff, __func__);
  if (fd == SOCKET_REFUSED || fd == SOCKET_NONE)
    return;  // never became the connection: the one held stays
  const int old = sh->fd_client.exchange(fd, relaxed);
  if (old >= 0)
    socket_close(old);
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
  char reply[sizeof "shell: : command not found\n" + request_size];
  int n = snprintf(reply, sizeof reply, "shell: %s: command not found\n", request);
  send(sh->fd_client.load(relaxed), reply, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void *shell_main(void *arg)
{
  shell *sh = static_cast<shell *>(arg);
  thread_cancel_off();
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    const int64_t deadline = socket_listen_watch(sh->fd_listen, &sh->accept_backoff, &readable);
    socket_watch(sh->fd_client.load(relaxed), &readable);
    struct timeval tv;
    if (thread_select(FD_SETSIZE, &readable, clock_timeout(deadline, &tv)) < 0) {
      syslog(LOG_ERR, "%s - select error: %s", __func__, strerror(errno));
      sleep(1);
      continue;
    }
    // A connection accepted just now was opened while the one it replaces
    // still held its number, so it cannot look ready in this pass.
    if (socket_ready(sh->fd_listen, &readable))
      shell_socket_open(sh);
    if (socket_ready(sh->fd_client.load(relaxed), &readable))
      shell_socket_exec(sh);
  }
  return nullptr;
}

}  // namespace

// One request per connection: whatever the first receive brings, the
// connection is closed after it. A failed receive is logged once and ends the
// connection too, so that a socket stuck in error cannot log at every pass.
void shell_socket_exec(shell *sh)
{
  char request[request_size];
  ssize_t n = recv(sh->fd_client.load(relaxed), request, sizeof request, 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
    return;
  if (n < 0)
    log_limited(&sh->log, LOG_ERR, "%s - socket recv error: %s", __func__, strerror(errno));
  if (n > 0) {
    request[n - 1] = '\0';  // the client's newline
    shell_request_exec(sh, request);
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
  sh->thread_ok = 1;
  syslog(LOG_NOTICE, "shell started, listening on UNIX socket[%i] %s", sh->fd_listen, path);
  return sh;
}

void shell_close(shell *sh)
{
  if (!sh)
    return;
  thread_stop(sh->thread, &sh->thread_ok);
  int fd = sh->fd_client.exchange(-1, relaxed);
  if (fd >= 0)
    socket_close(fd);
  if (sh->fd_listen >= 0)
    socket_close(sh->fd_listen);
  sh->fd_listen = -1;
  unlink(sh->path);
  record_free(sh);
}
