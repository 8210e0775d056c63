// SPDX-License-Identifier: MIT
#include "common/trace.h"

#include <cstring>

#include <sched.h>
#include <time.h>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
// The payload words are stored with release and loaded with acquire order
// (no fences, which the thread sanitizer cannot follow): a reader that loads
// any word of a newer write then also sees that write's odd version when it
// loads the sequence word again, and drops its copy.
constexpr auto publish = std::memory_order_release;
constexpr auto take = std::memory_order_acquire;

// A sequence word: the ticket that owns the slot, plus one so that a slot
// never written (0) names no ticket, above a version that is odd while the
// slot is being written and grows by two at each write. Tickets run out
// after 2^40 events, versions of one record after 2^23 folds, when the run
// simply goes on in a new record.
constexpr int kVersionBits = 24;
constexpr uint64_t kVersionMask = (uint64_t{1} << kVersionBits) - 1;

// The payload words.
enum { kTime, kLast, kKindCount, kArgs01, kArgs23, kData0, kData1 };

static_assert((TRACE_CAPACITY & (TRACE_CAPACITY - 1)) == 0, "a power of two");
static_assert(TRACE_ARGS == 4 && TRACE_DATA_SIZE == 16, "the payload words hold four arguments and 16 bytes");

uint64_t seq_of(uint64_t ticket, uint64_t version)
{
  return (ticket + 1) << kVersionBits | version;
}

int64_t wall_ns()
{
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint64_t pair(uint32_t low, uint32_t high)
{
  return static_cast<uint64_t>(high) << 32 | low;
}

trace_slot &slot_of(trace_ring *ring, uint64_t ticket)
{
  return ring->slot[ticket & (TRACE_CAPACITY - 1)];
}

const trace_slot &slot_of(const trace_ring *ring, uint64_t ticket)
{
  return ring->slot[ticket & (TRACE_CAPACITY - 1)];
}

}  // namespace

uint64_t trace_add(trace_ring *ring, uint32_t kind, const uint32_t *args, int nargs, const uint8_t *data,
                   size_t length)
{
  if (!ring)
    return 0;
  const int64_t now = wall_ns();
  uint32_t arg[TRACE_ARGS] = {};
  for (int i = 0; i < nargs && i < TRACE_ARGS; i++)
    arg[i] = args[i];
  uint64_t bytes[2] = {};
  if (data)
    memcpy(bytes, data, length < sizeof bytes ? length : sizeof bytes);

  const uint64_t ticket = ring->head.fetch_add(1, relaxed);
  trace_slot &slot = slot_of(ring, ticket);
  const uint64_t mine = seq_of(ticket, 1);
  uint64_t seen = slot.seq.load(relaxed);
  if ((seen & 1) != 0 || seen >= mine || !slot.seq.compare_exchange_strong(seen, mine, relaxed)) {
    ring->dropped.fetch_add(1, relaxed);
    return ticket;
  }
  slot.word[kTime].store(static_cast<uint64_t>(now), publish);
  slot.word[kLast].store(static_cast<uint64_t>(now), publish);
  slot.word[kKindCount].store(pair(kind, 1), publish);
  slot.word[kArgs01].store(pair(arg[0], arg[1]), publish);
  slot.word[kArgs23].store(pair(arg[2], arg[3]), publish);
  slot.word[kData0].store(bytes[0], publish);
  slot.word[kData1].store(bytes[1], publish);
  slot.seq.store(seq_of(ticket, 2), publish);
  return ticket;
}

namespace {

// Counts one more event into the record of `ticket` if fewer than `within`
// events were recorded after it; with `within` 1, only while none was.
bool fold(trace_ring *ring, uint64_t ticket, uint64_t within)
{
  if (!ring)
    return false;
  const uint64_t head = ring->head.load(relaxed);
  if (head <= ticket || head - ticket > within)
    return false;
  trace_slot &slot = slot_of(ring, ticket);
  uint64_t seen = slot.seq.load(relaxed);
  if (seen >> kVersionBits != ticket + 1 || (seen & 1) != 0 || (seen & kVersionMask) + 2 > kVersionMask ||
      !slot.seq.compare_exchange_strong(seen, seen + 1, relaxed))
    return false;
  // Another writer may have claimed a ticket meanwhile: its event then
  // comes between, and a run that must be unbroken ends. The record is left
  // as it was.
  if (within == 1 && ring->head.load(relaxed) != ticket + 1) {
    slot.seq.store(seen, publish);
    return false;
  }
  const uint64_t kind_count = slot.word[kKindCount].load(relaxed);
  slot.word[kKindCount].store(pair(static_cast<uint32_t>(kind_count), static_cast<uint32_t>(kind_count >> 32) + 1),
                              publish);
  slot.word[kLast].store(static_cast<uint64_t>(wall_ns()), publish);
  slot.seq.store(seen + 2, publish);
  return true;
}

}  // namespace

bool trace_fold(trace_ring *ring, uint64_t ticket)
{
  return fold(ring, ticket, 1);
}

bool trace_fold_recent(trace_ring *ring, uint64_t ticket, uint32_t within)
{
  return fold(ring, ticket, within < TRACE_CAPACITY / 2 ? within : TRACE_CAPACITY / 2);
}

uint64_t trace_end(const trace_ring *ring)
{
  return ring->head.load(std::memory_order_acquire);
}

uint64_t trace_oldest(const trace_ring *ring)
{
  const uint64_t end = trace_end(ring);
  return end > TRACE_CAPACITY ? end - TRACE_CAPACITY : 0;
}

bool trace_get(const trace_ring *ring, uint64_t ticket, trace_record *out)
{
  const trace_slot &slot = slot_of(ring, ticket);
  // A slot being written is retried a few times: its writer is a few stores
  // from done, unless it was preempted, and then the record is passed over.
  for (int tries = 0; tries < 16; tries++) {
    const uint64_t before = slot.seq.load(take);
    if (before >> kVersionBits != ticket + 1)
      return false;
    if ((before & 1) != 0) {
      sched_yield();
      continue;
    }
    uint64_t word[7];
    for (int i = 0; i < 7; i++)
      word[i] = slot.word[i].load(take);
    if (slot.seq.load(relaxed) != before)
      continue;
    out->ticket = ticket;
    out->time_ns = static_cast<int64_t>(word[kTime]);
    out->last_ns = static_cast<int64_t>(word[kLast]);
    out->kind = static_cast<uint32_t>(word[kKindCount]);
    out->count = static_cast<uint32_t>(word[kKindCount] >> 32);
    out->arg[0] = static_cast<uint32_t>(word[kArgs01]);
    out->arg[1] = static_cast<uint32_t>(word[kArgs01] >> 32);
    out->arg[2] = static_cast<uint32_t>(word[kArgs23]);
    out->arg[3] = static_cast<uint32_t>(word[kArgs23] >> 32);
    memcpy(out->data, &word[kData0], 8);
    memcpy(out->data + 8, &word[kData1], 8);
    return true;
  }
  return false;
}
