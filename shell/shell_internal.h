// SPDX-License-Identifier: MIT
// The shell server's request step, internal to this module: the shell thread
// runs it when the connection is readable, and the module's own tests and
// fuzz targets run it on a connection of their own, without the thread.
// Other modules use shell.h only.
#pragma once

#include "shell/shell.h"

/// Serves the connection of `caller`: receives what it has sent, adding to
/// what came before (`request`, `received`), until the request is whole (a
/// newline, 1500 bytes, or the end of the stream), answers it through the
/// command table (its last byte dropped), and closes the connection, leaving
/// `caller->fd` at -1. A receive that finds nothing more yet leaves the
/// connection for a later pass; a failed one closes it.
void shell_socket_exec(shell *sh, shell_caller *caller);
