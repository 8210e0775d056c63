// mevraktsh: the command line of the daemon's local shell. Its words form one
// request; the daemon's answer is printed. It logs under the system's
// defaults, and a reader of its output that goes away ends it by SIGPIPE as
// it would any filter.
#include "shell/shell.h"

int main(int argc, char **argv)
{
  return shell_exec(SHELL_SOCKET_PATH, argc, argv);
}
