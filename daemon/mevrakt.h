// A channel joins one meter link to one TCP server: what the AMR client sends
// goes to the meter as a command, the client's leaving disconnects the meter,
// and each good response from the meter goes back to the client.
#pragma once

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

/// The daemon's two channels, either absent when it does not run.
struct mevrakt_channels {
  mevrakt_channel *channel[2];
};

/// Opens the link on `prot->device` and the server on `prot->port` and wires
/// them together. Returns the running channel, or nullptr when the channel is
/// disabled or a part of it cannot be opened (logged; nothing left behind).
/// The device text must outlive the channel.
mevrakt_channel *mevrakt_open(const mevrakt_prot *prot);

/// Stops and frees the channel; nullptr is accepted.
void mevrakt_close(mevrakt_channel *channel);

/// Writes the status report of `channel` (a mevrakt_channel, or nullptr for a
/// disabled channel) to `fd`, ignoring `arguments`; a shell command handler.
/// Reads the other threads' status words without a lock, and writes as the
/// shell's other answers do (daemon/answer.h). Returns 0, or -1 when the
/// client did not take it all.
extern "C" MEVRAKT_EXPORT int mevrakt_status(void *channel, const char *arguments, int fd);
