#include "daemon/mevrakt.h"

#include <syslog.h>

#include "common/record.h"

namespace {

int on_client_data(void *link, const uint8_t *data, int length)
{
  return nbr14522_write(static_cast<nbr14522_link *>(link), data, length);
}

int on_client_gone(void *link)
{
  return nbr14522_disconnect(static_cast<nbr14522_link *>(link));
}

const char *connected_text(bool connected)
{
  return connected ? "connected" : "disconnected";
}

}  // namespace

mevrakt_channel *mevrakt_open(const mevrakt_prot *prot)
{
  if (!prot->enabled) {
    syslog(LOG_NOTICE, "disabled on %s", prot->device);
    return nullptr;
  }
  auto *channel = record_alloc<mevrakt_channel>();
  if (!channel) {
    syslog(LOG_ERR, "%s - not enough memory", "mevrakt_open");
    return nullptr;
  }
  channel->link = nbr14522_open(prot->device);
  if (!channel->link) {
    mevrakt_close(channel);
    return nullptr;
  }
  channel->server = tcp_server_open(prot->port);
  if (!channel->server) {
    mevrakt_close(channel);
    return nullptr;
  }

  const nbr14522_rsp_cb to_client = {tcp_server_write, channel->server};
  nbr14522_set_rsp_handler(channel->link, &to_client);
  const tcp_server_callbacks from_client = {nullptr, nullptr, on_client_gone, channel->link,
                                            on_client_data, channel->link};
  tcp_server_set_callbacks(channel->server, &from_client);

  syslog(LOG_NOTICE, "running on %s, listening on TCP port %u", prot->device, prot->port);
  return channel;
}

void mevrakt_close(mevrakt_channel *channel)
{
  if (!channel)
    return;
  // The link thread hands responses to the server: stop it before the server
  // goes, so that none can reach a freed server. The server then goes first,
  // so that no client data reaches a link being released.
  nbr14522_stop(channel->link);
  tcp_server_close(channel->server);
  nbr14522_close(channel->link);
  record_free(channel);
}

extern "C" int mevrakt_status(void *context, const char *, int fd)
{
  const auto *channel = static_cast<const mevrakt_channel *>(context);
  if (!channel)
    return dprintf(fd, "Service is disabled.\n\n");

  constexpr auto relaxed = std::memory_order_relaxed;
  const tcp_server *server = channel->server;
  const nbr14522_link *link = channel->link;
  dprintf(fd, "Service               : running\n");
  dprintf(fd, "AMR System            : %s\n", connected_text(server->fd_client.load(relaxed) >= 0));
  dprintf(fd, "Meter                 : %s\n\n", connected_text(link->connected.load(relaxed) != 0));
  dprintf(fd, "TCP sessions          : %u\n", server->n_sessions.load(relaxed));
  dprintf(fd, "Meter connected       : %u\n", link->n_connected.load(relaxed));
  dprintf(fd, "Meter disconnected    : %u\n", link->n_disconnected.load(relaxed));
  dprintf(fd, "Meter connection lost : %u\n", link->n_conn_lost.load(relaxed));
  dprintf(fd, "Commands OK           : %u\n", link->n_cmd_ok.load(relaxed));
  dprintf(fd, "Commands failed       : %u\n", link->n_cmd_failed.load(relaxed));
  dprintf(fd, "Responses OK          : %u\n", link->n_rsp_ok.load(relaxed));
  return dprintf(fd, "Responses failed      : %u\n", link->n_rsp_failed.load(relaxed));
}
