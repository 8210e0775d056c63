// SPDX-License-Identifier: MIT
// A flight recorder: the last few hundred events of one channel in a fixed
// ring, written by several threads at once without a lock and read by
// another without holding any writer up.
//
// Writers claim a ticket with one fetch_add; ticket t goes to slot t modulo
// the capacity. Each slot carries a sequence word naming the ticket that owns
// it and a version, odd while the slot is being written: a writer takes the
// slot with one compare-and-swap from an even version of an older ticket,
// stores the payload words and publishes an even version. A writer that finds
// the slot busy or already taken by a newer ticket (it was overtaken by a
// whole lap of the ring) drops its event and counts it, rather than wait.
// A reader copies a slot's words between two loads of its sequence word and
// keeps the copy only if the word was even, named the ticket it wanted, and
// did not change: it sees whole records only, oldest first, and a record
// overwritten meanwhile is skipped.
//
// Every word is an atomic, so that the sanitizers see no race; on the
// writer's path an event costs a clock read, a fetch_add, a compare-and-swap
// and eight release stores (plain stores on x86-64, a barrier before each on
// ARM): no system call, no lock, no allocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

/// Slots per ring. A power of two, so that the slot is the ticket's low bits.
constexpr uint32_t TRACE_CAPACITY = 512;
/// Payload bytes per record: an IPv6 address, or the first bytes of a frame.
constexpr size_t TRACE_DATA_SIZE = 16;
constexpr int TRACE_ARGS = 4;

/// One event as a reader gets it. The kinds and the meaning of the arguments
/// belong to the writers; writers that share a ring use kinds of their own.
struct trace_record {
  uint64_t ticket;
  int64_t time_ns;  // wall clock (CLOCK_REALTIME) at the event, or at the first of a run
  int64_t last_ns;  // at the last event of a run; time_ns for a single event
  uint32_t kind;
  uint32_t count;  // events in the run, 1 for a single event
  uint32_t arg[TRACE_ARGS];
  uint8_t data[TRACE_DATA_SIZE];
};

// One cache line: two threads writing neighbouring slots do not share one.
struct alignas(64) trace_slot {
  std::atomic<uint64_t> seq;
  std::atomic<uint64_t> word[7];
};

/// Zero-filled, it is an empty ring: embed it in a record from record_alloc.
struct trace_ring {
  std::atomic<uint64_t> head;     // next ticket
  std::atomic<uint32_t> dropped;  // events lost to a busy slot
  trace_slot slot[TRACE_CAPACITY];
};

/// Records one event of `kind` now, with `args` (up to TRACE_ARGS, the rest
/// 0) and up to TRACE_DATA_SIZE bytes of `data`. Returns its ticket, for
/// trace_fold. Any thread; never waits. Does nothing and returns 0 without a
/// ring.
uint64_t trace_add(trace_ring *ring, uint32_t kind, const uint32_t *args = nullptr, int nargs = 0,
                   const uint8_t *data = nullptr, size_t length = 0);

/// Counts one more event into the record of `ticket`, as the last of its
/// run, if no event has been recorded since and the record is still whole.
/// Returns whether it did; if not, the caller records the event anew. Only
/// the thread that added the record may fold into it. Never waits.
bool trace_fold(trace_ring *ring, uint64_t ticket);

/// As trace_fold, but other writers' events may have been recorded since:
/// the record keeps its place (that of the run's first event) as long as
/// fewer than `within` events came after it, `within` being at most
/// TRACE_CAPACITY / 2 so that the record is never about to be overwritten.
/// For a run that other events interleave, such as refused connections
/// beside the meter's ENQs. Only the thread that added the record may fold
/// into it. Never waits.
bool trace_fold_recent(trace_ring *ring, uint64_t ticket, uint32_t within);

/// The ticket the next event will get: the records still in the ring are
/// those from trace_oldest on, up to but not including it.
uint64_t trace_end(const trace_ring *ring);
uint64_t trace_oldest(const trace_ring *ring);

/// Copies the record of `ticket` into `*out` if it is still in the ring and
/// whole. Any thread; never holds up a writer.
bool trace_get(const trace_ring *ring, uint64_t ticket, trace_record *out);
