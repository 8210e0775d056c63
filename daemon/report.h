// The shell's other answers beside the status report: a channel's flight
// recorder as text ("trace 1", "trace 2") and both channels' counters and
// state words in the Prometheus text exposition format ("metrics").
#pragma once

#include "daemon/mevrakt.h"

/// Writes the records of `channel`'s trace ring (a mevrakt_channel, or
/// nullptr for a disabled channel), oldest first, one line each: local time
/// to the millisecond, then what happened. Ignores `arguments`; a shell
/// command handler. Returns 0, or -1 when the client did not take it all.
int mevrakt_trace(void *channel, const char *arguments, int fd);

/// Writes the metrics of both channels of `channels` (a mevrakt_channels);
/// a disabled channel has mevrakt_service_running 0 and no other series.
/// Ignores `arguments`; a shell command handler. Returns as mevrakt_trace.
int mevrakt_metrics(void *channels, const char *arguments, int fd);

