// The shell client, run once per mevraktsh: one request out, the answer
// printed as it comes, no threads.
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <syslog.h>

#include "common/socket.h"

namespace {

constexpr size_t request_size = 1400;  // the terminator included

}  // namespace

int shell_exec(const char *path, int argc, const char *const *argv)
{
  if (!argv || !path)
    return -1;
  int words = 0;
  while (words < 3 && words + 1 < argc && argv[words + 1])
    words++;
  if (words == 0) {
    syslog(LOG_ERR, "%s - missing command", __func__);
    return -1;
  }
  int fd = socket_unix_connect(path);
  if (fd < 0) {
    puts("Error: service not running!\n");
    return -1;
  }
  char buf[request_size + 1];
  int n = snprintf(buf, request_size, "%s%s%s%s%s\n", argv[1], words > 1 ? " " : "", words > 1 ? argv[2] : "",
                   words > 2 ? " " : "", words > 2 ? argv[3] : "");
  // A request cut short could still match a command by its prefix, and run
  // something other than what was asked: refuse it whole instead.
  if (n < 0 || n >= static_cast<int>(request_size)) {
    syslog(LOG_ERR, "%s - request too long", __func__);
    socket_close(fd);
    return -1;
  }
  // A server that has gone fails the send rather than raising SIGPIPE.
  if (send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
    syslog(LOG_ERR, "%s - socket send error: %s", __func__, strerror(errno));
    socket_close(fd);
    return -1;
  }
  for (;;) {
    ssize_t got = recv(fd, buf, request_size, 0);
    if (got < 0) {
      syslog(LOG_ERR, "%s - socket recv error: %s", __func__, strerror(errno));
      socket_close(fd);
      return -1;
    }
    if (got == 0) {
      socket_close(fd);
      return 0;
    }
    buf[got] = '\0';
    fputs(buf, stdout);
  }
}
