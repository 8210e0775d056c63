// SPDX-License-Identifier: MIT
// A channel joins one meter link to one TCP server: what the AMR client sends
// goes to the meter as a command, the client's leaving disconnects the meter,
// and each good response from the meter goes back to the client.
#pragma once

#include <cstdarg>

#include "common/say.h"
#include "daemon/settings.h"
#include "nbr14522/nbr14522.h"
#include "tcp_server/tcp_server.h"

struct mevrakt_channel {
  nbr14522_link *link;
  tcp_server *server;
  // The channel's last protocol events, written by the link and the server
  // threads, read by the shell's "trace" command.
  trace_ring trace;
  // The key that tells the link its line echoes, named in its warnings.
  char echo_key[40];
};

/// The daemon's two channels, either absent when it does not run, and when
/// the daemon started (Unix time).
struct mevrakt_channels {
  mevrakt_channel *channel[2];
  int64_t started;
};

enum channel_verdict {
  CHANNEL_DISABLED,  // the channel's ENABLED key is 0 or missing
  CHANNEL_REFUSED,   // a setting keeps it from opening
  CHANNEL_READY,     // it may open
};

/// What a channel's optional keys ask of its server and its link.
struct channel_plan {
  tcp_server_policy policy;
  bool codes[256];  // the command codes let through, when `filter`
  bool filter;
  bool echo;  // the line returns what is written
};

/// The rules channel_open applies before it opens anything, in its order:
/// enabled (a whole number), the port (a whole number, in range), each
/// optional key, and then that the channel does not take the device or the
/// TCP port of `before`, the channel opened before it, should that one pass
/// these rules. Says "disabled on %s" (notice) or the first fault (error)
/// through `sink`, syslog when nullptr, and fills `plan` for a channel that
/// may open. Opens nothing.
channel_verdict channel_plan_read(const channel_settings *cfg, channel_plan *plan, const say_sink *sink,
                                  const channel_settings *before = nullptr);

/// Whether `path` would open as a meter's line, told without opening it (an
/// open raises a serial port's modem lines): it exists, may be read and
/// written, and is a character device of a serial or pseudo-terminal driver
/// (not /dev/tty, a console or a terminal's master side). Says
/// "open(%s) error: %s" through `sink` when not.
bool channel_device_check(const char *path, const say_sink *sink);

/// The settings check of one channel: channel_plan_read, then the device
/// check, then "would run on %s, listening on TCP port %u" for a channel
/// that would open, and what a port below the system's unprivileged ones
/// needs. Returns the verdict; opens, locks and changes nothing, so a
/// running daemon's channels can be checked too. Whether the port is free
/// is not asked: the daemon that runs holds it.
channel_verdict channel_check(const channel_settings *cfg, const say_sink *sink,
                              const channel_settings *before = nullptr);

/// Opens the link on `cfg->device` and the server on `cfg->port` and wires
/// them together, by the rules of channel_plan_read with `before`. Returns
/// the running channel, or nullptr when the channel is disabled or a part of
/// it cannot be opened (logged, and for an enabled channel one more line
/// naming the channel, its device and its port; nothing left behind). The
/// device text must outlive the channel.
mevrakt_channel *channel_open(const channel_settings *cfg, const channel_settings *before = nullptr);

/// Stops and frees the channel; nullptr is accepted.
void channel_close(mevrakt_channel *channel);
