// UNIX-domain stream sockets, for both ends of the shell.
#include "shell/shell.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "common/socket.h"

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

int socket_unix_listen(const char *path)
{
  sockaddr_un addr;
  int fd = socket_unix_open(path, &addr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0)
    return -1;
  unlink(addr.sun_path);
  return socket_bind_listen(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr, socket_unix_restrict);
}

int socket_unix_connect(const char *path)
{
  sockaddr_un addr;
  int fd = socket_unix_open(path, &addr, 0);
  if (fd < 0)
    return -1;
  if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
    const int error = errno;
    syslog(LOG_ERR, "connect socket error: %s", strerror(error));
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}
