// SPDX-License-Identifier: MIT
// The shell client, run once per mevraktsh: one request out, the answer
// printed as it comes, no threads.
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include "common/clock.h"
#include "common/socket.h"

namespace {

constexpr size_t request_size = 1400;  // the terminator included
// The tag of the client's log lines, which operators know it by.
constexpr char kLogTag[] = "shell_exec";

// Ends a request that failed after connecting, closing the socket.
shell_client_status shell_client_fail(int fd, shell_client_status status)
{
  fflush(stdout);
  socket_close(fd);
  return status;
}

}  // namespace

shell_client_status shell_client_exec(const char *path, int argc, const char *const *argv, int timeout_ms)
{
  if (!argv || !path)
    return SHELL_CLIENT_USAGE;
  int words = 0;
  while (words < 3 && words + 1 < argc && argv[words + 1])
    words++;
  if (words == 0) {
    syslog(LOG_ERR, "%s - missing command", kLogTag);
    return SHELL_CLIENT_USAGE;
  }
  const int64_t deadline = clock_now_ms() + timeout_ms;
  int fd = socket_unix_connect(path, timeout_ms);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) {
      fprintf(stderr, "mevraktsh: the daemon refuses this user at %s: %s (ask as root, or in its group)\n", path,
              strerror(error));
      return SHELL_CLIENT_REFUSED;
    }
    // A full backlog that the time did not empty: a daemon stopped or stuck.
    if (error == EAGAIN) {
      fprintf(stderr, "mevraktsh: no answer from the daemon within %g s\n", timeout_ms / 1000.0);
      return SHELL_CLIENT_TIMEOUT;
    }
    puts("Error: service not running!\n");
    fflush(stdout);
    fprintf(stderr, "mevraktsh: cannot reach the daemon at %s: %s\n", path, strerror(error));
    return SHELL_CLIENT_NOT_RUNNING;
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
    return shell_client_fail(fd, SHELL_CLIENT_USAGE);
  }
  // A server that has gone fails the send rather than raising SIGPIPE.
  const ssize_t sent = send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
  if (sent != n) {
    const int error = sent < 0 ? errno : EMSGSIZE;
    syslog(LOG_ERR, "%s - socket send error: %s", kLogTag, strerror(error));
    fprintf(stderr, "mevraktsh: request not sent to the daemon: %s\n", strerror(error));
    return shell_client_fail(fd, error == EAGAIN ? SHELL_CLIENT_TIMEOUT : SHELL_CLIENT_CUT_SHORT);
  }
  char last = '\n';  // of the answer so far; an empty answer is whole
  bool answered = false;
  for (;;) {
    const int64_t left = deadline - clock_now_ms();
    pollfd ready = {fd, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) == 0) {
      syslog(LOG_ERR, "%s - no answer within %g s", kLogTag, timeout_ms / 1000.0);
      fflush(stdout);
      fprintf(stderr, "mevraktsh: no %sanswer from the daemon within %g s\n", answered ? "whole " : "",
              timeout_ms / 1000.0);
      return shell_client_fail(fd, SHELL_CLIENT_TIMEOUT);
    }
    ssize_t got = recv(fd, buf, request_size, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (got < 0) {
      const int error = errno;
      syslog(LOG_ERR, "%s - socket recv error: %s", kLogTag, strerror(error));
      fflush(stdout);
      fprintf(stderr, "mevraktsh: %s: %s\n",
              answered ? "answer from the daemon cut short" : "no answer from the daemon", strerror(error));
      return shell_client_fail(fd, SHELL_CLIENT_CUT_SHORT);
    }
    if (got == 0)
      break;
    answered = true;
    last = buf[got - 1];
    buf[got] = '\0';
    fputs(buf, stdout);
  }
  // Every answer ends with a newline: one that does not was cut short by a
  // daemon that gave up on it.
  if (last != '\n') {
    fflush(stdout);
    fprintf(stderr, "mevraktsh: answer from the daemon cut short\n");
    return shell_client_fail(fd, SHELL_CLIENT_CUT_SHORT);
  }
  socket_close(fd);
  return SHELL_CLIENT_ANSWERED;
}
