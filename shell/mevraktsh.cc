// SPDX-License-Identifier: MIT
// mevraktsh: the command line of the daemon's local shell. Its words form one
// request; the daemon's answer is printed. It logs under the system's
// defaults, and a reader of its output that goes away ends it by SIGPIPE as
// it would any filter.
//
// A first word of exactly -h, --help, -V or --version is answered here,
// without touching the socket; every other word goes to the daemon as it is.
#include <cstdio>
#include <cstring>

#include "mevrakt_version.h"
#include "shell/shell.h"

namespace {

const char HELP[] =
    "usage: mevraktsh COMMAND [ARGUMENT [ARGUMENT]]\n"
    "\n"
    "Sends COMMAND and up to two ARGUMENTs, joined by blanks, as one request to\n"
    "the running mevraktd through /var/run/mevraKT.socket, and prints its answer.\n"
    "\n"
    "  status 1, status 2   a channel's status report\n"
    "  trace 1, trace 2     a channel's last protocol events\n"
    "  metrics              both channels' counters, in Prometheus' text format\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "Exit status: 0 after the daemon's whole answer; 255 without a command, or\n"
    "when the daemon cannot be reached (\"Error: service not running!\").\n";

}  // namespace

int main(int argc, char **argv)
{
  if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    fputs(HELP, stdout);
    return 0;
  }
  if (argc > 1 && (strcmp(argv[1], "-V") == 0 || strcmp(argv[1], "--version") == 0)) {
    puts("mevraktsh (mevraKT) " MEVRAKT_VERSION);
    return 0;
  }
  return shell_client_exec(SHELL_SOCKET_PATH, argc, argv);
}
