// SPDX-License-Identifier: MIT
// AMR TCP server: listens on one port on all local addresses and serves one
// client at a time from a thread of its own. What the client sends goes to a
// data callback chunk by chunk, its leaving to a disconnect callback, and
// whatever other threads queue with tcp_server_write is sent back to it.
#pragma once

#include <atomic>
#include <cstdint>

#include <climits>

#include <pthread.h>

#include "common/address.h"
#include "common/export.h"
#include "common/log_limit.h"
#include "common/socket.h"
#include "common/trace.h"

using tcp_server_event_fn = int (*)(void *ctx);
using tcp_server_data_fn = int (*)(void *ctx, const uint8_t *data, int length);

// What the server records in its channel's trace ring, and the arguments
// each kind carries: the peer's address family (AF_INET, AF_INET6) and port,
// its address in the record's bytes, then as noted.
enum : uint32_t {
  TCP_SERVER_TRACE_FIRST = 0x200,
  TCP_SERVER_TRACE_ACCEPTED = TCP_SERVER_TRACE_FIRST,  // then the session
  // One record for a run of refusals from one host (whatever the source
  // port; the record keeps the first one's), counted as one run while fewer
  // than TCP_SERVER_REFUSED_SPAN other events come after the record.
  TCP_SERVER_TRACE_REFUSED,
  TCP_SERVER_TRACE_GONE,  // then the session and why (TCP_SERVER_GONE_*)
  TCP_SERVER_TRACE_END
};

// Why a client is no longer served.
enum : uint32_t {
  TCP_SERVER_GONE_CLOSED = 0,    // it closed its side
  TCP_SERVER_GONE_REPLACED = 1,  // a newer connection took its place
  TCP_SERVER_GONE_STUCK = 2,     // it did not take a response: dropped
  TCP_SERVER_GONE_SILENT = 3,    // it sent nothing for the policy's idle time-out
};

constexpr uint32_t TCP_SERVER_REFUSED_SPAN = 64;

/// A run of refused connections from one host being recorded.
struct tcp_server_refused_run {
  uint64_t ticket;  // its record's ticket plus one; 0 for none
  uint32_t family;  // AF_INET or AF_INET6
  uint8_t address[16];
};

/// The callbacks; each may be absent and their results are ignored. They run
/// on the server thread.
struct tcp_server_callbacks {
  tcp_server_event_fn on_connect;  // after each accepted connection
  void *connect_ctx;
  tcp_server_event_fn on_disconnect;  // after the client closed its side
  void *disconnect_ctx;
  tcp_server_data_fn on_data;  // each chunk as received, never joined or split
  void *data_ctx;
};

/// Who may connect and how long a client may stay silent or unreachable.
/// All zero: every IPv4 address, everyone, no checks, as tcp_server_open
/// without a policy.
struct tcp_server_policy {
  struct sockaddr_storage listen;  // the one address to listen on; AF_UNSPEC: every IPv4 address
  address_list allow;              // no entries: every host may connect
  uint32_t alive_check_s;          // TCP keepalive drops a vanished client within this; 0: off
  uint32_t idle_timeout_s;         // a client that sends nothing this long is dropped; 0: never
};

struct tcp_server {
  uint32_t port;  // as configured; the socket uses its low 16 bits
  int fd_listen;
  // The client being served, -1 for none. Only the server thread stores it;
  // the status report loads it from another thread.
  std::atomic<int> fd_client;
  int fd_pipe[2];  // outgoing data: read end, write end
  int pipe_created;
  pthread_t thread;
  int thread_created;
  // Set by tcp_server_set_callbacks while the thread may already run: each
  // context is stored before its function, which is published with release
  // order, so a thread that sees a function sees its context too.
  std::atomic<tcp_server_event_fn> on_connect;
  std::atomic<void *> connect_ctx;
  std::atomic<tcp_server_event_fn> on_disconnect;
  std::atomic<void *> disconnect_ctx;
  std::atomic<tcp_server_data_fn> on_data;
  std::atomic<void *> data_ctx;
  // Connections accepted so far; incremented by the server thread only.
  std::atomic<uint32_t> n_sessions;
  // The number of the client being served: a new one at every accept, never
  // 0. Server thread only (callbacks included).
  uint32_t session;
  // Connections turned away by the policy's address list; incremented by the
  // server thread only.
  std::atomic<uint32_t> n_refused;

  tcp_server_policy policy;
  // The channel's flight recorder, or nullptr; set before the thread
  // starts. Server thread only: the address of the client served (for its
  // records and the log) and when it last sent something (monotonic ms).
  trace_ring *trace;
  sockaddr_storage peer;
  int64_t client_heard;
  // The last few hosts refused, each with its run, so that a flood from
  // one host, or a few in turn, takes one record each and leaves the rest
  // of the ring to the channel's reads. Server thread only.
  tcp_server_refused_run refused[4];
  uint32_t refused_next;  // the run a new host replaces

  // What a client can make the server log (failed receives and sends, data
  // for no one) is rate-limited, and so are failed accepts, which also rest
  // the listening socket when descriptors run out.
  log_limit log;
  socket_backoff accept_backoff;
};

/// Listens on `port` and starts the server thread, serving clients as
/// `policy` says (copied; nullptr: every address, everyone, no checks) and
/// recording their comings and goings in `trace` (if given; borrowed, it
/// must outlive the server). Returns the running server, owned by the caller
/// until tcp_server_close, or nullptr after logging the failure, errno
/// telling why.
tcp_server *tcp_server_open(uint32_t port, const tcp_server_policy *policy = nullptr, trace_ring *trace = nullptr);

/// Stops the server thread, waits for its end, closes the pipe and the
/// sockets and frees the server. Does nothing without a server. No other
/// thread may call tcp_server_write on it once this has begun.
void tcp_server_close(tcp_server *server);

/// Copies all six callback fields into the server when both are given. Any
/// thread, once: the server thread picks them up safely even while running;
/// a client that connects before they are set is served without them.
void tcp_server_set_callbacks(tcp_server *server, const tcp_server_callbacks *callbacks);

/// Queues `length` bytes of `data` for the client being served when the
/// server thread takes them, as one record in the server's pipe, written
/// without blocking (a full pipe fails the write); the server thread sends
/// them, or drops them when no client is connected. A client that cannot
/// take them at once is dropped as gone. `server` is the tcp_server, typed as a callback context so
/// that the function can serve as a response handler as it is. Any thread may
/// call it. Returns `length`, or -1: silently without a server or for a
/// negative length, else after logging (more than TCP_SERVER_MAX_WRITE bytes,
/// a full or closed pipe). Writes never interleave with other writers'.
extern "C" MEVRAKT_EXPORT int tcp_server_write(void *server, const uint8_t *data, int length);

/// As tcp_server_write, for the client of session `session` only: if another
/// client is served by the time the server thread takes the data, it is
/// dropped. Session 0 stands for whoever is served then.
int tcp_server_send(tcp_server *server, uint32_t session, const uint8_t *data, int length);

/// What a server shows of itself, as one call read it.
struct tcp_server_stats {
  bool client_connected;  // a client is served now
  uint32_t n_sessions;    // connections accepted
  uint32_t n_refused;     // connections turned away by the address list
};

/// Fills `*out` with the server's state and counters. Any thread.
void tcp_server_snapshot(const tcp_server *server, tcp_server_stats *out);

/// The number of the client being served (see `session`). Server thread
/// only: from a callback.
uint32_t tcp_server_session(const tcp_server *server);

/// The most one write may queue: a record (session, length, bytes) must fit
/// in one atomic pipe write.
constexpr int TCP_SERVER_MAX_WRITE = PIPE_BUF - 8;
