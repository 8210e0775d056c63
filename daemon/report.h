// SPDX-License-Identifier: MIT
// Every answer the daemon's shell gives, and its format: a channel's status
// report ("status 1", "status 2"), its flight recorder as text ("trace 1",
// "trace 2"), and both channels' counters and state words for Prometheus
// ("metrics"). They read the channels only through the snapshots that the
// link and the server offer, and write as the shell's handlers do
// (shell/answer.h).
#pragma once

#include "common/export.h"
#include "daemon/channel.h"

/// Writes the status report of `channel` (a mevrakt_channel, or nullptr for a
/// disabled channel) to `fd`, ignoring `arguments`; a shell command handler.
/// Returns 0, or -1 when the client did not take it all.
extern "C" MEVRAKT_EXPORT int mevrakt_status(void *channel, const char *arguments, int fd);

/// Writes the records of `channel`'s trace ring (a mevrakt_channel, or
/// nullptr for a disabled channel), oldest first, one line each: local time
/// to the millisecond, then what happened. Ignores `arguments`; a shell
/// command handler. Returns 0, or -1 when the client did not take it all.
int mevrakt_trace(void *channel, const char *arguments, int fd);

/// Writes the metrics of both channels of `channels` (a mevrakt_channels);
/// a disabled channel has mevrakt_service_running 0 and no other series. In
/// the Prometheus text format (0.0.4), or in OpenMetrics when `arguments` is
/// "openmetrics". A shell command handler. Returns as mevrakt_trace.
int mevrakt_metrics(void *channels, const char *arguments, int fd);
