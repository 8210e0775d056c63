#include "common/socket.h"

#include <cerrno>
#include <cstring>

#include <syslog.h>
#include <unistd.h>

void socket_close(int fd)
{
  if (close(fd) < 0)
    syslog(LOG_ERR, "close socket error: %s", strerror(errno));
}
