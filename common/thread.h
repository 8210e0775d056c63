// SPDX-License-Identifier: MIT
// The daemon's worker threads run until they are cancelled, and may be
// cancelled only where they wait for input: everything else they do (a
// handler's formatted write, a syslog call, a callback into another module)
// runs with cancellation off, so that a thread is never stopped while it
// holds a stdio stream, a library lock or half of an update. Whatever they do
// between waits must therefore never block for long: sockets and pipes are
// written without blocking.
#pragma once

#include <pthread.h>
#include <sys/select.h>

/// Turns cancellation off for the calling thread; the first thing each
/// worker thread does, and what it does again after each wait.
void thread_cancel_off();

/// Turns cancellation on for the calling thread, just before it waits in a
/// call that may block for good (select, sigwaitinfo, tcdrain).
void thread_cancel_on();

/// select() on `readable` with cancellation on for the time of the call
/// only. `timeout` may be nullptr (wait until something is ready).
int thread_select(int count, fd_set *readable, struct timeval *timeout);

/// Cancels the thread and waits for its end if `*running` is set, then
/// clears it. Any thread but the one stopped.
void thread_stop(pthread_t thread, int *running);
