// SPDX-License-Identifier: MIT
// mevraktsh: the command line of the daemon's local shell. Its words form one
// request; the daemon's answer is printed. It logs under the system's
// defaults, and a reader of its output that goes away ends it by SIGPIPE as
// it would any filter.
//
// A first word of exactly -h, --help, -V or --version is answered here,
// without touching the socket; -t or --timeout with its number of seconds
// may come first; every other word goes to the daemon as it is.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mevrakt_version.h"
#include "shell/shell.h"

namespace {

const char HELP[] =
    "usage: mevraktsh [-t SECONDS] COMMAND [ARGUMENT [ARGUMENT]]\n"
    "\n"
    "Sends COMMAND and up to two ARGUMENTs, joined by blanks, as one request to\n"
    "the running mevraktd through /var/run/mevraKT.socket, and prints its answer.\n"
    "\n"
    "  status 1, status 2   a channel's status report\n"
    "  trace 1, trace 2     a channel's last protocol events\n"
    "  metrics              both channels' counters, in Prometheus' text format\n"
    "  -t, --timeout SECONDS  give up after SECONDS (1 to 3600; default 5)\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "Exit status: 0 after the daemon's whole answer; 1 when no daemon runs\n"
    "(\"Error: service not running!\"); 2 without a command, for a bad timeout or\n"
    "a request too long; 3 when the daemon refuses this user; 4 when it did not\n"
    "answer in time; 5 when it cut its answer short.\n";

bool is(const char *word, const char *brief, const char *full)
{
  return strcmp(word, brief) == 0 || strcmp(word, full) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc > 1 && is(argv[1], "-h", "--help")) {
    fputs(HELP, stdout);
    return 0;
  }
  if (argc > 1 && is(argv[1], "-V", "--version")) {
    puts("mevraktsh (mevraKT) " MEVRAKT_VERSION);
    return 0;
  }
  int timeout_ms = SHELL_CLIENT_TIMEOUT_MS;
  if (argc > 1 && is(argv[1], "-t", "--timeout")) {
    char *end = nullptr;
    const long seconds = argc > 2 ? strtol(argv[2], &end, 10) : 0;
    if (!end || end == argv[2] || *end || seconds < 1 || seconds > 3600) {
      fprintf(stderr, "mevraktsh: %s takes a whole number of seconds from 1 to 3600\n", argv[1]);
      return SHELL_CLIENT_USAGE;
    }
    timeout_ms = static_cast<int>(seconds * 1000);
    argv += 2;
    argc -= 2;
  }
  return shell_client_exec(SHELL_SOCKET_PATH, argc, argv, timeout_ms);
}
