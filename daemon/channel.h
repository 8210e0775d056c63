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
};

/// The daemon's two channels, either absent when it does not run, and when
/// the daemon started (Unix time).
struct mevrakt_channels {
  mevrakt_channel *channel[2];
  int64_t started;
};

enum mevrakt_verdict {
  MEVRAKT_DISABLED,  // the channel's ENABLED key is 0 or missing
  MEVRAKT_REFUSED,   // a setting keeps it from opening
  MEVRAKT_READY,     // it may open
};

/// What a channel's optional keys ask of its server and its link.
struct mevrakt_plan {
  tcp_server_policy policy;
  bool codes[256];  // the command codes let through, when `filter`
  bool filter;
};

/// The rules mevrakt_open applies before it opens anything, in its order:
/// enabled, the port range, then each optional key. Says "disabled on %s"
/// (notice) or the first fault (error) through `sink`, syslog when nullptr,
/// and fills `plan` for a channel that may open. Opens nothing.
mevrakt_verdict mevrakt_plan_read(const mevrakt_prot *prot, mevrakt_plan *plan, const say_sink *sink);

/// Whether `path` would open as a meter's line, told without opening it (an
/// open raises a serial port's modem lines): it exists, may be read and
/// written, and is a character device of one of the kernel's terminal
/// drivers. Says "open(%s) error: %s" through `sink` when not.
bool mevrakt_device_check(const char *path, const say_sink *sink);

/// The settings check of one channel: mevrakt_plan_read, then the device
/// check, then "would run on %s, listening on TCP port %u" for a channel
/// that would open. Returns the verdict; opens, locks and changes nothing,
/// so a running daemon's channels can be checked too. Whether the port is
/// free is not asked: the daemon that runs holds it.
mevrakt_verdict mevrakt_check(const mevrakt_prot *prot, const say_sink *sink);

/// Opens the link on `prot->device` and the server on `prot->port` and wires
/// them together. Returns the running channel, or nullptr when the channel is
/// disabled or a part of it cannot be opened (logged; nothing left behind).
/// The device text must outlive the channel.
mevrakt_channel *mevrakt_open(const mevrakt_prot *prot);

/// Stops and frees the channel; nullptr is accepted.
void mevrakt_close(mevrakt_channel *channel);
