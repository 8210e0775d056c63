// SPDX-License-Identifier: MIT
// What the tests read of a link or a TCP server: the snapshots the modules
// offer, as the status report and the metrics read them, never the records.
#pragma once

#include "nbr14522/nbr14522.h"
#include "tcp_server/tcp_server.h"

inline nbr14522_stats stats_of(const nbr14522_link *link)
{
  nbr14522_stats stats{};
  nbr14522_snapshot(link, &stats);
  return stats;
}

inline tcp_server_stats stats_of(const tcp_server *server)
{
  tcp_server_stats stats{};
  tcp_server_snapshot(server, &stats);
  return stats;
}
