#include "common/socket.h"

#include <cerrno>
#include <cstring>

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

int socket_bind_listen(int fd, const sockaddr *addr, socklen_t length, bool (*before_listen)(const sockaddr *))
{
  if (bind(fd, addr, length) < 0) {
    syslog(LOG_ERR, "bind socket error: %s", strerror(errno));
    close(fd);
    return -1;
  }
  if (before_listen && !before_listen(addr)) {
    close(fd);
    return -1;
  }
  if (listen(fd, 8) < 0) {
    syslog(LOG_ERR, "listen on socket error: %s", strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void socket_backoff_init(socket_backoff *backoff, const char *where)
{
  backoff->rest_until = 0;
  log_limit_init(&backoff->errors, where, kErrorBurst, kErrorsPerMinute);
}

int socket_accept(int fd_listen, socket_backoff *backoff, const char *who, sockaddr_storage *peer)
{
  socklen_t length = sizeof *peer;
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

void socket_watch(int fd, fd_set *set)
{
  if (fd >= 0 && fd < FD_SETSIZE)
    FD_SET(fd, set);
}

bool socket_ready(int fd, const fd_set *set)
{
  return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, set);
}
