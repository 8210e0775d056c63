// The shell server's request step, internal to this module: the shell thread
// runs it when the connection is readable, and the module's own tests and
// fuzz targets run it on a connection of their own, without the thread.
// Other modules use shell.h only.
#pragma once

#include "shell/shell.h"

/// Serves the connection in `fd_client`: receives one request (at most 1500
/// bytes, its last byte dropped), answers it through the command table, and
/// closes the connection, leaving `fd_client` at -1. A receive that finds
/// nothing yet (or is interrupted) leaves the connection for the next pass.
void shell_socket_exec(shell *sh);
