// SPDX-License-Identifier: MIT
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
// The tag of the client's log lines, which operators know it by.
constexpr char kLogTag[] = "shell_exec";

}  // namespace

int shell_client_exec(const char *path, int argc, const char *const *argv)
{
  if (!argv || !path)
    return -1;
  int words = 0;
  while (words < 3 && words + 1 < argc && argv[words + 1])
    words++;
  if (words == 0) {
    syslog(LOG_ERR, "%s - missing command", kLogTag);
    return -1;
  }
  int fd = socket_unix_connect(path);
  if (fd < 0) {
    const int error = errno;
    puts("Error: service not running!\n");
    fflush(stdout);
    fprintf(stderr, "mevraktsh: cannot reach the daemon at %s: %s\n", path, strerror(error));
    return -1;
  }
  char buf[request_size + 1];
  int n = snprintf(buf, request_size, "%s%s%s%s%s\n", argv[1], words > 1 ? " " : "", words > 1 ? argv[2] : "",
                   words > 2 ? " " : "", words > 2 ? argv[3] : "");
  // A request cut short could still match a command by its prefix, and run
  // something other than what was asked: refuse it whole instead.
  if (n < 0 || n >= static_cast<int>(request_size)) {
    syslog(LOG_ERR, "%s - request too long", kLogTag);
    fprintf(stderr, "mevraktsh: request too long (at most %zu characters with the blanks between words)\n",
            request_size - 2);
    socket_close(fd);
    return -1;
  }
  // A server that has gone fails the send rather than raising SIGPIPE.
  const ssize_t sent = send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
  if (sent != n) {
    const int error = sent < 0 ? errno : EMSGSIZE;
    syslog(LOG_ERR, "%s - socket send error: %s", kLogTag, strerror(error));
    fprintf(stderr, "mevraktsh: request not sent to the daemon: %s\n", strerror(error));
    socket_close(fd);
    return -1;
  }
  bool answered = false;
  for (;;) {
    ssize_t got = recv(fd, buf, request_size, 0);
    if (got < 0) {
      const int error = errno;
      syslog(LOG_ERR, "%s - socket recv error: %s", kLogTag, strerror(error));
      fflush(stdout);
      fprintf(stderr, "mevraktsh: %s: %s\n",
              answered ? "answer from the daemon cut short" : "no answer from the daemon", strerror(error));
      socket_close(fd);
      return -1;
    }
    if (got == 0) {
      socket_close(fd);
      return 0;
    }
    answered = true;
    buf[got] = '\0';
    fputs(buf, stdout);
  }
}
