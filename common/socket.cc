#include "common/socket.h"

#include <cerrno>
#include <cstring>

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

void socket_close(int fd)
{
  if (close(fd) < 0)
    syslog(LOG_ERR, "close socket error: %s", strerror(errno));
}

void socket_close_uncancelled(int fd)
{
  int state;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
  socket_close(fd);
  pthread_setcancelstate(state, nullptr);
}

int socket_bind_listen(int fd, const sockaddr *addr, socklen_t length)
{
  if (bind(fd, addr, length) < 0) {
    syslog(LOG_ERR, "bind socket error: %s", strerror(errno));
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

int socket_accept(int fd_listen, const char *who)
{
  const int fd = accept(fd_listen, nullptr, nullptr);
  if (fd < 0) {
    syslog(LOG_ERR, "%s - accept error: %s", who, strerror(errno));
    return -1;
  }
  if (fd >= FD_SETSIZE) {
    socket_close_uncancelled(fd);
    syslog(LOG_ERR, "%s - accept error: %s", who, strerror(EMFILE));
    return SOCKET_REFUSED;
  }
  return fd;
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
