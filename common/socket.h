// Socket helpers shared by the daemon's servers and the shell client.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>

/// Closes the socket `fd`. A failed close is logged at error priority with
/// the system error text; the descriptor is not to be used again either way.
void socket_close(int fd);

/// socket_close with cancellation held off, for a thread that may be
/// cancelled: the descriptor is then either still recorded for the closer or
/// already gone, never closed twice or leaked.
void socket_close_uncancelled(int fd);

/// Binds `fd` to `addr` and listens with a backlog of 8. Returns `fd`, or -1
/// after logging "bind socket error: %s" or "listen on socket error: %s" and
/// closing it.
int socket_bind_listen(int fd, const sockaddr *addr, socklen_t length);

/// What socket_accept returns for a connection that select could never
/// watch; it is closed already.
constexpr int SOCKET_REFUSED = -2;

/// Accepts one connection on `fd_listen`. Returns its descriptor; -1 after
/// logging "%s - accept error: %s" with `who`; or SOCKET_REFUSED, logged the
/// same way as a full descriptor table, when the descriptor is too high for
/// select. Call with cancellation enabled only where the thread may be
/// cancelled.
int socket_accept(int fd_listen, const char *who);

/// Adds `fd` to `set` when select can watch it: a descriptor at or above
/// FD_SETSIZE would be written past the end of the set.
void socket_watch(int fd, fd_set *set);

/// Whether select reported `fd` ready in `set`.
bool socket_ready(int fd, const fd_set *set);
