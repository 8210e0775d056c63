// Threads: shell_open and shell_close run on the owner's thread; everything
// else here runs on the shell thread, which owns the sockets and calls the
// handlers. Nothing else crosses: the table and the path are only read. The
// thread is stopped by deferred cancellation, in select, accept, recv or a
// handler: it holds no lock or allocation across those points, and closes a
// socket only with cancellation held off, so that each descriptor is either
// still in the record for shell_close or already gone.
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/record.h"
#include "common/socket.h"
#include "shell/shell_internal.h"

namespace {

constexpr size_t request_size = 1500;
constexpr auto relaxed = std::memory_order_relaxed;

void shell_client_close(shell *sh)
{
  int fd = sh->fd_client.exchange(-1, relaxed);
  if (fd >= 0)
    socket_close_uncancelled(fd);
}

// The connection accepted takes the place of the one held, which will never
// be read again, so it is closed; a failed accept leaves no connection.
void shell_socket_open(shell *sh)
{
  const int fd = socket_accept(sh->fd_listen, __func__);
  if (fd == SOCKET_REFUSED)
    return;  // never became the connection: the one held stays
  const int old = sh->fd_client.exchange(fd, relaxed);
  if (old >= 0)
    socket_close_uncancelled(old);
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
  send(sh->fd_client.load(relaxed), reply, static_cast<size_t>(n), 0);
}

void *shell_main(void *arg)
{
  shell *sh = static_cast<shell *>(arg);
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    socket_watch(sh->fd_listen, &readable);
    socket_watch(sh->fd_client.load(relaxed), &readable);
    if (select(FD_SETSIZE, &readable, nullptr, nullptr, nullptr) < 0) {
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
  if (n < 0 && errno == EINTR)
    return;
  if (n < 0)
    syslog(LOG_ERR, "%s - socket recv error: %s", __func__, strerror(errno));
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
  if (sh->thread_ok) {
    pthread_cancel(sh->thread);
    pthread_join(sh->thread, nullptr);
    sh->thread_ok = 0;
  }
  int fd = sh->fd_client.exchange(-1, relaxed);
  if (fd >= 0)
    socket_close(fd);
  if (sh->fd_listen >= 0)
    socket_close(sh->fd_listen);
  sh->fd_listen = -1;
  unlink(sh->path);
  record_free(sh);
}
