// SPDX-License-Identifier: MIT
// Threads: tcp_server_open and tcp_server_close run on the owner's thread;
// everything else here but tcp_server_send (and tcp_server_write, the same
// for whoever is served) runs on the server thread, which owns the sockets
// and calls the callbacks. Other threads (the meter link's) reach the client
// only through the pipe, by tcp_server_send, which touches nothing but the
// pipe's write end. fd_client and n_sessions are relaxed atomics stored by
// the server thread alone and loaded by the status report; a stale value
// only shows in the report.
//
// The thread may be cancelled only in select; nothing it does between two
// waits blocks: the listening socket, the client's socket and the pipe's
// write end are non-blocking, and the pipe's read end is read only once
// select found a record in it; each record (session, length, bytes) is
// written whole in one call, so the payload is always there behind its
// header. A client that cannot take a response at
// once is dropped, so one that stops reading can never hold up the server,
// and a newer connection is always served.
#include "tcp_server/tcp_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/record.h"
#include "common/thread.h"

namespace {

constexpr int chunk_size = 1500;
constexpr auto relaxed = std::memory_order_relaxed;
// What a client can make the server log: a burst, then a few a minute.
constexpr uint32_t kLogBurst = 40;
constexpr uint32_t kLogPerMinute = 20;

// The source port and address of `peer`; no address for a family other
// than AF_INET and AF_INET6.
struct peer_parts {
  uint32_t port = 0;
  const uint8_t *address = nullptr;
  size_t length = 0;
};

peer_parts parts_of(const sockaddr_storage &peer)
{
  peer_parts p;
  if (peer.ss_family == AF_INET) {
    const auto &in = reinterpret_cast<const sockaddr_in &>(peer);
    p.port = ntohs(in.sin_port);
    p.address = reinterpret_cast<const uint8_t *>(&in.sin_addr);
    p.length = sizeof in.sin_addr;
  } else if (peer.ss_family == AF_INET6) {
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(peer);
    p.port = ntohs(in6.sin6_port);
    p.address = reinterpret_cast<const uint8_t *>(&in6.sin6_addr);
    p.length = sizeof in6.sin6_addr;
  }
  return p;
}

// One record of the client at `peer`: its address family, port and address,
// then `session` and `why`. Returns the record's ticket.
uint64_t note_client(tcp_server *server, uint32_t kind, const sockaddr_storage &peer, uint32_t session,
                     uint32_t why)
{
  const peer_parts p = parts_of(peer);
  const uint32_t args[4] = {peer.ss_family, p.port, session, why};
  return trace_add(server->trace, kind, args, 4, p.address, p.length);
}

// A refusal is counted into the run of its host (the address; a flood comes
// from ever new source ports) while that run's record is recent, else it
// starts a run of its own in place of the oldest of the runs kept.
void note_refused(tcp_server *server, const sockaddr_storage &peer)
{
  const peer_parts p = parts_of(peer);
  if (!server->trace || !p.address) {
    note_client(server, TCP_SERVER_TRACE_REFUSED, peer, 0, 0);
    return;
  }
  tcp_server_refused_run *run = nullptr;
  for (tcp_server_refused_run &r : server->refused)
    if (r.ticket != 0 && r.family == peer.ss_family && memcmp(r.address, p.address, p.length) == 0)
      run = &r;
  if (run && trace_fold_recent(server->trace, run->ticket - 1, TCP_SERVER_REFUSED_SPAN))
    return;
  if (!run) {
    run = &server->refused[server->refused_next];
    server->refused_next = (server->refused_next + 1) % (sizeof server->refused / sizeof server->refused[0]);
    run->family = peer.ss_family;
    memset(run->address, 0, sizeof run->address);
    memcpy(run->address, p.address, p.length);
  }
  run->ticket = note_client(server, TCP_SERVER_TRACE_REFUSED, peer, 0, 0) + 1;
}

void client_gone(tcp_server *server, int fd, uint32_t why)
{
  note_client(server, TCP_SERVER_TRACE_GONE, server->peer, server->session, why);
  server->fd_client.store(-1, relaxed);
  socket_close(fd);
  if (tcp_server_event_fn fn = server->on_disconnect.load(std::memory_order_acquire))
    fn(server->disconnect_ctx.load(relaxed));
}

// Keepalive tuned so that a client that vanished without closing (a mobile
// link that dropped) is found gone within `seconds`: half of it silent, then
// four probes in the other half. The user time-out does the same while a
// response is still unacknowledged, when keepalive does not probe.
void alive_check(int fd, uint32_t seconds)
{
  const int on = 1;
  const int idle = static_cast<int>(seconds / 2);
  const int count = 4;
  const int interval = idle / count > 0 ? idle / count : 1;
  const unsigned user_timeout_ms = seconds * 1000u;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

// A new connection takes the client's place at once; the client it replaces
// is never read again, so it is closed. An accept that fails (descriptors
// ran out, logged and rested by socket_accept) brings no one, and the client
// being served stays served: nobody left, so nothing is reported. A
// connection from an address the policy does not allow is closed at once and
// never displaces the client being served either.
void tcp_server_socket_open(tcp_server *server)
{
  sockaddr_storage peer{};
  const int fd = socket_accept(server->fd_listen, &server->accept_backoff, __func__, &peer);
  if (fd < 0)
    return;
  char peer_text[ADDRESS_TEXT_SIZE];
  address_text(reinterpret_cast<const sockaddr *>(&peer), peer_text, sizeof peer_text);
  if (server->policy.allow.count > 0 &&
      !address_list_allows(&server->policy.allow, reinterpret_cast<const sockaddr *>(&peer))) {
    socket_close(fd);
    server->n_refused.fetch_add(1, relaxed);
    note_refused(server, peer);
    log_limited(&server->log, LOG_INFO, "client %s refused on TCP port %u", peer_text, server->port);
    return;
  }
  // Tuned before it is published, so that whoever sees the client sees it whole.
  if (server->policy.alive_check_s > 0)
    alive_check(fd, server->policy.alive_check_s);
  const int old = server->fd_client.exchange(fd, relaxed);
  if (old >= 0) {
    note_client(server, TCP_SERVER_TRACE_GONE, server->peer, server->session, TCP_SERVER_GONE_REPLACED);
    socket_close(old);
  }
  server->n_sessions.fetch_add(1, relaxed);
  server->client_heard = clock_now_ms();
  log_limited(&server->log, LOG_INFO, "client %s accepted on TCP port %u", peer_text, server->port);
  // Numbers wrap after four billion clients; 0 means "whoever is served".
  if (++server->session == 0)
    server->session = 1;
  server->peer = peer;
  note_client(server, TCP_SERVER_TRACE_ACCEPTED, peer, server->session, 0);
  if (tcp_server_event_fn fn = server->on_connect.load(std::memory_order_acquire))
    fn(server->connect_ctx.load(relaxed));
}

// A reset shows up as a failed recv and leaves the connection in place; only
// the end of stream that follows frees the slot.
void tcp_server_socket_exec(tcp_server *server)
{
  uint8_t buf[chunk_size];
  int fd = server->fd_client.load(relaxed);
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      log_limited(&server->log, LOG_ERR, "%s - socket recv error: %s", __func__, strerror(errno));
  } else if (n == 0) {
    client_gone(server, fd, TCP_SERVER_GONE_CLOSED);
  } else {
    server->client_heard = clock_now_ms();
    if (tcp_server_data_fn fn = server->on_data.load(std::memory_order_acquire))
      fn(server->data_ctx.load(relaxed), buf, static_cast<int>(n));
  }
}

// When the client being served has been silent too long, if the policy
// sets a limit; 0 for never.
int64_t idle_deadline(const tcp_server *server)
{
  if (server->policy.idle_timeout_s == 0 || server->fd_client.load(relaxed) < 0)
    return 0;
  return server->client_heard + static_cast<int64_t>(server->policy.idle_timeout_s) * 1000;
}

void drop_if_idle(tcp_server *server)
{
  const int64_t deadline = idle_deadline(server);
  if (deadline == 0 || deadline > clock_now_ms())
    return;
  char peer_text[ADDRESS_TEXT_SIZE];
  address_text(reinterpret_cast<const sockaddr *>(&server->peer), peer_text, sizeof peer_text);
  log_limited(&server->log, LOG_NOTICE, "client %s dropped on TCP port %u: silent for %u s", peer_text,
              server->port, server->policy.idle_timeout_s);
  client_gone(server, server->fd_client.load(relaxed), TCP_SERVER_GONE_SILENT);
}

// One record per pass. Data for a client that has since been replaced is
// not for the one served now. A client whose socket cannot take the data
// whole at once is not reading: it is dropped as gone, since half a response
// is of no use to it and waiting for it would hold up every other client.
// Other failed sends are logged and the connection stays until its end of
// stream (the process ignores SIGPIPE).
void tcp_server_pipe_exec(tcp_server *server)
{
  uint32_t header[2];
  ssize_t n = read(server->fd_pipe[0], header, sizeof header);
  if (n != static_cast<ssize_t>(sizeof header)) {
    if (n < 0)
      syslog(LOG_ERR, "%s - pipe read error: %s", __func__, strerror(errno));
    else
      syslog(LOG_NOTICE, "%s - pipe read error: %s", __func__, "closed");
    return;
  }
  uint8_t buf[TCP_SERVER_MAX_WRITE];
  const size_t length = header[1] < sizeof buf ? header[1] : sizeof buf;
  n = read(server->fd_pipe[0], buf, length);
  if (n != static_cast<ssize_t>(length))
    return;
  int fd = server->fd_client.load(relaxed);
  if (fd < 0) {
    log_limited(&server->log, LOG_WARNING, "%s - socket closed, data lost", __func__);
    return;
  }
  if (header[0] != 0 && header[0] != server->session) {
    log_limited(&server->log, LOG_NOTICE, "%s - response for a replaced client dropped", __func__);
    return;
  }
  const ssize_t sent = send(fd, buf, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent == static_cast<ssize_t>(length))
    return;
  const int error = sent < 0 ? errno : EAGAIN;
  log_limited(&server->log, LOG_ERR, "%s - socket send error: %s", __func__, strerror(error));
  if (error == EAGAIN || error == EWOULDBLOCK)
    client_gone(server, fd, TCP_SERVER_GONE_STUCK);
}

void *tcp_server_main(void *arg)
{
  tcp_server *server = static_cast<tcp_server *>(arg);
  thread_cancel_off();
  for (;;) {
    drop_if_idle(server);
    fd_set readable;
    FD_ZERO(&readable);
    const int64_t deadline = clock_earliest(
        socket_listen_watch(server->fd_listen, &server->accept_backoff, &readable), idle_deadline(server));
    socket_watch(server->fd_client.load(relaxed), &readable);
    socket_watch(server->fd_pipe[0], &readable);
    struct timeval tv;
    const int ready = thread_select(FD_SETSIZE, &readable, clock_timeout(deadline, &tv));
    if (ready < 0) {
      syslog(LOG_ERR, "%s - select error: %s", __func__, strerror(errno));
      sleep(1);
      continue;
    }
    // A connection accepted just now is not in the set: it was opened while
    // the old client still held its number, so it cannot look ready here.
    if (socket_ready(server->fd_listen, &readable))
      tcp_server_socket_open(server);
    if (socket_ready(server->fd_client.load(relaxed), &readable))
      tcp_server_socket_exec(server);
    if (socket_ready(server->fd_pipe[0], &readable))
      tcp_server_pipe_exec(server);
  }
  return nullptr;
}

}  // namespace

tcp_server *tcp_server_open(uint32_t port, const tcp_server_policy *policy, trace_ring *trace)
{
  tcp_server *server = record_alloc<tcp_server>();
  if (!server) {
    syslog(LOG_ERR, "%s - not enough memory", __func__);
    return nullptr;
  }
  server->port = port;
  if (policy)
    server->policy = *policy;
  server->trace = trace;
  server->fd_client.store(-1, relaxed);
  server->fd_pipe[0] = server->fd_pipe[1] = -1;
  char where[32];
  snprintf(where, sizeof where, "TCP port %u", port);
  log_limit_init(&server->log, where, kLogBurst, kLogPerMinute);
  socket_backoff_init(&server->accept_backoff, where);
  server->fd_listen = socket_tcp_listen(port, &server->policy.listen);
  if (server->fd_listen < 0) {
    const int error = errno;  // the channel says it again, with its own name
    tcp_server_close(server);
    errno = error;
    return nullptr;
  }
  // The link thread writes responses into the pipe: it must never wait for
  // the server thread there.
  if (pipe2(server->fd_pipe, O_CLOEXEC) < 0 || fcntl(server->fd_pipe[1], F_SETFL, O_NONBLOCK) < 0) {
    const int error = errno;
    syslog(LOG_ERR, "%s - cannot create pipe", __func__);
    tcp_server_close(server);
    errno = error;
    return nullptr;
  }
  server->pipe_created = 1;
  if (const int error = pthread_create(&server->thread, nullptr, tcp_server_main, server)) {
    syslog(LOG_ERR, "%s - cannot create thread", __func__);
    tcp_server_close(server);
    errno = error;
    return nullptr;
  }
  server->thread_created = 1;
  return server;
}

void tcp_server_close(tcp_server *server)
{
  if (!server)
    return;
  thread_stop(server->thread, &server->thread_created);
  for (int &fd : server->fd_pipe) {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
  server->pipe_created = 0;
  int fd = server->fd_client.load(relaxed);
  if (fd >= 0) {
    socket_close(fd);
    server->fd_client.store(-1, relaxed);
  }
  if (server->fd_listen >= 0)
    socket_close(server->fd_listen);
  record_free(server);
}

void tcp_server_set_callbacks(tcp_server *server, const tcp_server_callbacks *callbacks)
{
  if (!server || !callbacks)
    return;
  constexpr auto release = std::memory_order_release;
  server->connect_ctx.store(callbacks->connect_ctx, relaxed);
  server->on_connect.store(callbacks->on_connect, release);
  server->disconnect_ctx.store(callbacks->disconnect_ctx, relaxed);
  server->on_disconnect.store(callbacks->on_disconnect, release);
  server->data_ctx.store(callbacks->data_ctx, relaxed);
  server->on_data.store(callbacks->on_data, release);
}

// Its log lines carry the name the pipe's writer has always had.
constexpr char kWriteTag[] = "tcp_server_write";

int tcp_server_send(tcp_server *server, uint32_t session, const uint8_t *data, int length)
{
  if (!server || length < 0)
    return -1;
  if (server->fd_pipe[1] < 0) {
    syslog(LOG_WARNING, "%s - pipe write error: %s", kWriteTag, "closed");
    return -1;
  }
  if (length > TCP_SERVER_MAX_WRITE || (length > 0 && !data)) {
    log_limited(&server->log, LOG_ERR, "%s - pipe write error: %s", kWriteTag, strerror(EMSGSIZE));
    return -1;
  }
  uint8_t record[8 + TCP_SERVER_MAX_WRITE];
  const uint32_t header[2] = {session, static_cast<uint32_t>(length)};
  memcpy(record, header, sizeof header);
  if (length > 0)
    memcpy(record + sizeof header, data, static_cast<size_t>(length));
  const size_t size = sizeof header + static_cast<size_t>(length);
  if (write(server->fd_pipe[1], record, size) != static_cast<ssize_t>(size)) {
    log_limited(&server->log, LOG_ERR, "%s - pipe write error: %s", kWriteTag, strerror(errno));
    return -1;
  }
  return length;
}

extern "C" int tcp_server_write(void *server, const uint8_t *data, int length)
{
  return tcp_server_send(static_cast<tcp_server *>(server), 0, data, length);
}

void tcp_server_snapshot(const tcp_server *server, tcp_server_stats *out)
{
  out->client_connected = server->fd_client.load(std::memory_order_relaxed) >= 0;
  out->n_sessions = server->n_sessions.load(std::memory_order_relaxed);
  out->n_refused = server->n_refused.load(std::memory_order_relaxed);
}

uint32_t tcp_server_session(const tcp_server *server)
{
  return server->session;
}
