// SPDX-License-Identifier: MIT
// Every socket helper of the programs: listening on TCP and UNIX-domain
// sockets, connecting to the shell's, accepting without spinning, watching
// descriptors with select, closing.
#pragma once

#include <cstdint>

#include <sys/select.h>
#include <sys/socket.h>

#include "common/log_limit.h"

/// Closes the socket `fd`. A failed close is logged at error priority with
/// the system error text; the descriptor is not to be used again either way.
void socket_close(int fd);

/// Binds `fd` to `addr` and listens with a backlog of 8. Returns `fd`, or -1
/// after logging "bind socket error: %s" or "listen on socket error: %s" and
/// closing it, errno telling why. `before_listen`, when given, runs between the two (e.g. to set
/// the socket file's mode before anyone can connect); it returns false after
/// logging to give up.
int socket_bind_listen(int fd, const sockaddr *addr, socklen_t length,
                       bool (*before_listen)(const sockaddr *addr) = nullptr);

/// What keeps a listening socket's accept failures from spinning: when the
/// process runs out of descriptors, the connection waiting in the backlog
/// keeps the socket readable, so the socket rests for a second instead of
/// being retried at once, and failures are logged at most once a minute.
struct socket_backoff {
  int64_t rest_until;  // monotonic ms; 0 while watched
  log_limit errors;
};

/// Sets up `backoff`; `where` names the socket in the summary of suppressed
/// lines.
void socket_backoff_init(socket_backoff *backoff, const char *where);

/// What socket_accept returns for a connection that select could never
/// watch; it is closed already.
constexpr int SOCKET_REFUSED = -2;
/// What socket_accept returns when nothing was waiting after all (the
/// connection was withdrawn before it was taken); nothing failed.
constexpr int SOCKET_NONE = -3;

/// Accepts one connection, non-blocking and closed on exec, and writes the
/// peer's address to `*peer` when given. Returns its descriptor; -1 after
/// logging "%s - accept error: %s" with `who` (the listener then rests if
/// descriptors or memory ran out); SOCKET_REFUSED, logged the same way as a
/// full descriptor table, when the descriptor is too high for select; or
/// SOCKET_NONE.
int socket_accept(int fd_listen, socket_backoff *backoff, const char *who, struct sockaddr_storage *peer = nullptr);

/// Adds the listening socket `fd_listen` to `set` unless it rests. Returns
/// the end of the rest (monotonic ms) while it rests, else 0.
int64_t socket_listen_watch(int fd_listen, socket_backoff *backoff, fd_set *set);

/// Opens a TCP socket listening at the low 16 bits of `port` (0: the system
/// chooses), backlog 8: on all IPv4 addresses, or on the address `at` when
/// given (its port is replaced). Returns the descriptor, owned by the caller,
/// or -1 after logging the failure, errno telling why.
int socket_tcp_listen(uint32_t port, const struct sockaddr_storage *at = nullptr);

/// Opens a UNIX-domain stream socket listening at `path` (its first 107
/// characters), backlog 8, after removing any file there. The socket file
/// gets mode 0660 whatever the caller's umask: only its owner and group may
/// ask. Returns the descriptor (non-blocking), owned by the caller, or -1
/// after logging the failure.
int socket_unix_listen(const char *path);

/// Connects a UNIX-domain stream socket to `path` (its first 107 characters).
/// With `timeout_ms` above 0, neither the connect (which waits while the
/// listener's backlog is full) nor a send waits longer than that. Returns
/// the descriptor, owned by the caller, or -1 after logging the failure,
/// with errno telling why (EAGAIN: the time ran out).
int socket_unix_connect(const char *path, int timeout_ms = 0);

/// Adds `fd` to `set` when select can watch it: a descriptor at or above
/// FD_SETSIZE would be written past the end of the set.
void socket_watch(int fd, fd_set *set);

/// Whether select reported `fd` ready in `set`.
bool socket_ready(int fd, const fd_set *set);
