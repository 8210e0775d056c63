// SPDX-License-Identifier: MIT
#include "common/socket.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "common/clock.h"

namespace {

// How long a listener rests after running out of descriptors, and how many
// of its failures are logged: one, then one a minute.
constexpr int64_t kRestMs = 1000;
constexpr uint32_t kErrorBurst = 1;
constexpr uint32_t kErrorsPerMinute = 1;

bool out_of_resources(int error)
{
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

void socket_close(int fd)
{
  if (close(fd) < 0)
    syslog(LOG_ERR, "close socket error: %s", strerror(errno));
}

namespace {

// Closes `fd` after a failure, keeping the failure's errno for the caller.
int socket_give_up(int fd)
{
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

}  // namespace

int socket_bind_listen(int fd, const sockaddr *addr, socklen_t length, bool (*before_listen)(const sockaddr *))
{
  if (bind(fd, addr, length) < 0) {
    syslog(LOG_ERR, "bind socket error: %s", strerror(errno));
    return socket_give_up(fd);
  }
  if (before_listen && !before_listen(addr))
    return socket_give_up(fd);
  if (listen(fd, 8) < 0) {
    syslog(LOG_ERR, "listen on socket error: %s", strerror(errno));
    return socket_give_up(fd);
  }
  return fd;
}

void socket_backoff_init(socket_backoff *backoff, const char *where)
{
  backoff->rest_until = 0;
  log_limit_init(&backoff->errors, where, kErrorBurst, kErrorsPerMinute);
}

int socket_accept(int fd_listen, socket_backoff *backoff, const char *who, struct sockaddr_storage *peer)
{
  socklen_t length = sizeof *peer;
  if (peer)
    peer->ss_family = AF_UNSPEC;
  const int fd = accept4(fd_listen, reinterpret_cast<sockaddr *>(peer), peer ? &length : nullptr,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
      return SOCKET_NONE;
    if (out_of_resources(error))
      backoff->rest_until = clock_now_ms() + kRestMs;
    log_limited(&backoff->errors, LOG_ERR, "%s - accept error: %s", who, strerror(error));
    return -1;
  }
  if (fd >= FD_SETSIZE) {
    socket_close(fd);
    log_limited(&backoff->errors, LOG_ERR, "%s - accept error: %s", who, strerror(EMFILE));
    return SOCKET_REFUSED;
  }
  return fd;
}

int64_t socket_listen_watch(int fd_listen, socket_backoff *backoff, fd_set *set)
{
  if (backoff->rest_until != 0 && backoff->rest_until > clock_now_ms())
    return backoff->rest_until;
  backoff->rest_until = 0;
  socket_watch(fd_listen, set);
  return 0;
}

// FD_SET and FD_ISSET convert the descriptor as each C library pleases
// (musl divides it by an unsigned size, glibc's checked form takes a long),
// and no one cast suits both; it is in range before they see it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
void socket_watch(int fd, fd_set *set)
{
  if (fd >= 0 && fd < FD_SETSIZE)
    FD_SET(fd, set);
}

bool socket_ready(int fd, const fd_set *set)
{
  return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, set);
}
#pragma GCC diagnostic pop

namespace {

// Fills `addr` with the first 107 characters of `path`, which keeps its
// terminator, and makes the socket. Returns it, or -1 after logging.
int socket_unix_open(const char *path, sockaddr_un *addr, int flags)
{
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  strncpy(addr->sun_path, path, sizeof addr->sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | flags, 0);
  if (fd < 0)
    syslog(LOG_ERR, "create socket error: %s", strerror(errno));
  return fd;
}

// The socket file's mode comes from the umask at bind; it is set before
// listening, so no connection can come in while it is still too open.
bool socket_unix_restrict(const sockaddr *addr)
{
  const char *path = reinterpret_cast<const sockaddr_un *>(addr)->sun_path;
  if (chmod(path, 0660) == 0)
    return true;
  syslog(LOG_ERR, "chmod(%s) error: %s", path, strerror(errno));
  return false;
}

}  // namespace

int socket_tcp_listen(uint32_t port, const struct sockaddr_storage *at)
{
  const int family = at && at->ss_family == AF_INET6 ? AF_INET6 : AF_INET;
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    syslog(LOG_ERR, "create socket error: %s", strerror(errno));
    return -1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
    syslog(LOG_ERR, "setsockopt(SO_REUSEADDR) error: %s", strerror(errno));

  sockaddr_storage addr{};
  socklen_t length = sizeof(sockaddr_in);
  if (at && at->ss_family != AF_UNSPEC) {
    addr = *at;
    if (family == AF_INET6)
      length = sizeof(sockaddr_in6);
  } else {
    auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
  }
  const uint16_t number = htons(static_cast<uint16_t>(port));
  if (family == AF_INET6)
    reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port = number;
  else
    reinterpret_cast<sockaddr_in *>(&addr)->sin_port = number;
  return socket_bind_listen(fd, reinterpret_cast<const sockaddr *>(&addr), length);
}

int socket_unix_listen(const char *path)
{
  sockaddr_un addr;
  int fd = socket_unix_open(path, &addr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0)
    return -1;
  unlink(addr.sun_path);
  return socket_bind_listen(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr, socket_unix_restrict);
}

int socket_unix_connect(const char *path, int timeout_ms)
{
  sockaddr_un addr;
  int fd = socket_unix_open(path, &addr, SOCK_CLOEXEC);
  if (fd < 0)
    return -1;
  const timeval limit = {timeout_ms / 1000, timeout_ms % 1000 * 1000};
  if (timeout_ms > 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
    const int error = errno;
    syslog(LOG_ERR, "connect socket error: %s", strerror(error));
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}
