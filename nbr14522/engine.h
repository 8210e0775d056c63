// SPDX-License-Identifier: MIT
// The link engine's per-input steps, internal to this module: the link
// thread runs them after select, and the module's own tests and fuzz targets
// drive a link through them on one thread, deterministically, without
// starting the thread. Other modules use nbr14522.h only.
//
// Each step runs on the one thread that drives the link, and reads with
// blocking calls: call it only once its descriptor is readable.
#pragma once

#include "nbr14522/nbr14522.h"

/// Reads what the line has for the engine (one byte when no response is
/// being collected, else the rest of the response at most) and acts on it.
void nbr14522_com_exec(nbr14522_link *link);

/// Reads one event record from the event channel and carries it out. Its
/// payload must already be in the channel, or its writer gone.
void nbr14522_pipe_exec(nbr14522_link *link);

/// Drops the meter: a pending command and the timers go if it was connected,
/// and a break is held on the line either way.
void nbr14522_disconnect_exec(nbr14522_link *link);

/// When the link next has something to do without input (a held piece of a
/// command to send on, a lost line to open again), as monotonic ms; 0 for
/// never.
int64_t nbr14522_due(const nbr14522_link *link);

/// Does what has fallen due by now (see nbr14522_due).
void nbr14522_due_exec(nbr14522_link *link);

/// The rules the engine keeps, checked on a link's state: returns nullptr
/// while they all hold, else the first one broken, in words. Builds with
/// MEVRAKT_CHECK_RULES check them after every event and stop at the first
/// broken; the fuzz targets check them after every step.
const char *nbr14522_rules_broken(const nbr14522_link *link);

/// Opens the link's serial line at 9600 8N1 into `fd_com`, clears RTS and
/// asserts DTR. Open failures are logged, through `limit` when given.
/// Returns whether the line is open.
bool nbr14522_line_open(nbr14522_link *link, log_limit *limit);
