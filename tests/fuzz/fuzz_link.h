// SPDX-License-Identifier: MIT
// A meter link driven step by step on the fuzz target's own thread, without
// the link thread: the line is a socket pair whose other end plays the meter,
// the event channel a pipe, and the timers notify nobody (SIGEV_NONE), so an
// expiry reaches the link only when the target queues it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "nbr14522/nbr14522.h"

struct fuzz_link {
  nbr14522_link *link;
  int meter;                       // the meter's end of the line; -1 once unplugged
  std::array<uint32_t, 8> counts;  // the counters at the last check
  uint32_t responses;              // response handler calls
  // The link's own record of what it did, read for the commands it wrote.
  trace_ring *trace;
  uint64_t trace_seen;
  // The command last written to the meter, as it was when it went out.
  uint8_t written[NBR14522_CMD_SIZE];
  int written_len;
};

/// Builds the link as nbr14522_open would, up to the thread, and holds the
/// break as the thread does first. Returns false if a resource is missing.
bool fuzz_link_open(fuzz_link *f);

/// Releases the link with nbr14522_close, and the meter's end.
void fuzz_link_close(fuzz_link *f);

/// The meter sends `data`; the link reads the line until it is empty.
void fuzz_link_send(fuzz_link *f, const uint8_t *data, size_t size);

/// The meter sends its last `size` bytes and closes its end before the link
/// has read them: the line reads end of file once they are taken.
void fuzz_link_unplug(fuzz_link *f, const uint8_t *last, size_t size);

/// Has the link read what the line holds, a byte or a chunk at a time as its
/// thread would, and once more end of file if the line is unplugged.
void fuzz_link_read_line(fuzz_link *f);

/// Has the link take every event in its channel, one record at a time. Every
/// record must be whole, or the channel's write end closed, or this blocks.
void fuzz_link_read_events(fuzz_link *f);

/// Queues the expiry of the ENQ timer (event 2) or of the response timer
/// (event 3). With `run_out`, an armed timer first runs out, as if its time
/// had passed; otherwise the expiry is a stale one.
void fuzz_link_expire(fuzz_link *f, uint32_t event, bool run_out);

/// Time passes: the pieces of a command held so far go on as a command of
/// their own, and a send asked for goes out once the line is read empty.
void fuzz_link_hold_expire(fuzz_link *f);

/// Checks the link's invariants after a step; aborts when one is broken.
void fuzz_link_check(fuzz_link *f);
