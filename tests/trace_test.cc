// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "common/record.h"
#include "common/trace.h"

namespace {

struct ring_deleter {
  void operator()(trace_ring *ring) const { record_free(ring); }
};
using ring_ptr = std::unique_ptr<trace_ring, ring_deleter>;

ring_ptr new_ring()
{
  return ring_ptr(record_alloc<trace_ring>());
}

// A record whose every field follows from `seq`, so a reader can tell a
// whole one from a mixture of two.
uint64_t add_checked(trace_ring *ring, uint32_t kind, uint32_t seq)
{
  const uint32_t args[] = {seq, ~seq, seq * 2654435761u, kind};
  uint8_t data[TRACE_DATA_SIZE];
  for (size_t i = 0; i < sizeof data; i++)
    data[i] = static_cast<uint8_t>(seq + i);
  return trace_add(ring, kind, args, 4, data, sizeof data);
}

bool whole(const trace_record &r)
{
  const uint32_t seq = r.arg[0];
  bool ok = r.arg[1] == ~seq && r.arg[2] == seq * 2654435761u && r.arg[3] == r.kind && r.last_ns >= r.time_ns;
  for (size_t i = 0; i < TRACE_DATA_SIZE; i++)
    ok = ok && r.data[i] == static_cast<uint8_t>(seq + i);
  return ok;
}

TEST(TraceRing, FoldsRunsAndKeepsTheNewestWhenItWraps)
{
  ring_ptr ring = new_ring();
  EXPECT_EQ(trace_add(nullptr, 1), 0u);
  EXPECT_FALSE(trace_fold(nullptr, 0));

  const uint64_t run = add_checked(ring.get(), 5, 0);
  for (int i = 0; i < 3; i++)
    EXPECT_TRUE(trace_fold(ring.get(), run));
  trace_record r{};
  ASSERT_TRUE(trace_get(ring.get(), run, &r));
  EXPECT_EQ(r.count, 4u);
  EXPECT_TRUE(whole(r));
  add_checked(ring.get(), 6, 1);
  EXPECT_FALSE(trace_fold(ring.get(), run)) << "another event came between: the run is over";

  const uint32_t total = 3 * TRACE_CAPACITY;
  for (uint32_t seq = 2; seq < total; seq++)
    add_checked(ring.get(), 7, seq);
  EXPECT_EQ(trace_end(ring.get()), total);
  EXPECT_EQ(trace_oldest(ring.get()), total - TRACE_CAPACITY);
  EXPECT_FALSE(trace_get(ring.get(), run, &r)) << "overwritten long ago";
  int64_t previous = 0;
  for (uint64_t t = trace_oldest(ring.get()); t < trace_end(ring.get()); t++) {
    ASSERT_TRUE(trace_get(ring.get(), t, &r)) << t;
    EXPECT_EQ(r.ticket, t);
    EXPECT_EQ(r.arg[0], t);
    EXPECT_EQ(r.count, 1u);
    EXPECT_TRUE(whole(r));
    EXPECT_GE(r.time_ns, previous);
    previous = r.time_ns;
  }
  EXPECT_EQ(ring->dropped.load(), 0u);
}

// A run that other writers' events interleave (refused connections beside
// the meter's ENQs) keeps counting into its record, which keeps its place,
// while the record is recent; then a new one must start.
TEST(TraceRing, RecentFoldsCountAcrossOtherEventsWhileTheRecordIsNear)
{
  ring_ptr ring = new_ring();
  EXPECT_FALSE(trace_fold_recent(nullptr, 0, 64));
  const uint64_t run = add_checked(ring.get(), 5, 0);
  for (uint32_t seq = 1; seq <= 3; seq++)
    add_checked(ring.get(), 6, seq);
  EXPECT_FALSE(trace_fold(ring.get(), run)) << "not without a break";
  EXPECT_TRUE(trace_fold_recent(ring.get(), run, 64));
  EXPECT_TRUE(trace_fold_recent(ring.get(), run, 64));
  trace_record r{};
  ASSERT_TRUE(trace_get(ring.get(), run, &r));
  EXPECT_EQ(r.count, 3u);
  EXPECT_EQ(r.kind, 5u);
  EXPECT_TRUE(whole(r));
  EXPECT_EQ(trace_end(ring.get()), run + 4) << "folds take no slot";

  for (uint32_t seq = 4; seq <= 63; seq++)
    add_checked(ring.get(), 6, seq);
  EXPECT_TRUE(trace_fold_recent(ring.get(), run, 64)) << "63 events after it: among the last 64";
  add_checked(ring.get(), 6, 64);
  EXPECT_FALSE(trace_fold_recent(ring.get(), run, 64)) << "64 events after it: no longer";
  for (uint32_t seq = 65; seq <= 300; seq++)
    add_checked(ring.get(), 6, seq);
  EXPECT_FALSE(trace_fold_recent(ring.get(), run, 100000)) << "never beyond half the ring";
  ASSERT_TRUE(trace_get(ring.get(), run, &r));
  EXPECT_EQ(r.count, 4u);
  EXPECT_EQ(ring->dropped.load(), 0u);
}

// Two writers fill the ring many times over, one of them folding runs, while
// a reader copies it out again and again: every record it gets is whole, and
// each writer's records come in the order it wrote them. The writers go on
// until the reader has read a number of times while they wrote; a pass counts
// only when the ring moved since the one before, as a descheduled writer may
// leave the reader copying the same records many times over.
TEST(TraceRing, ConcurrentWritersAndAReaderSeeWholeRecordsOnly)
{
  ring_ptr ring = new_ring();
  constexpr uint32_t kMost = 20000000;
  constexpr uint64_t kPasses = 200;
  std::atomic<bool> enough{false};
  std::atomic<uint32_t> written{0}, folded{0};
  auto writer = [&](uint32_t kind) {
    uint32_t seq = 0;
    for (; seq < kMost && !enough.load(); seq++) {
      const uint64_t ticket = add_checked(ring.get(), kind, seq);
      if (kind == 1 && seq % 8 == 0 && trace_fold(ring.get(), ticket))
        folded++;
    }
    written += seq;
  };
  uint64_t seen = 0, passes = 0;
  std::thread reader([&] {
    uint64_t end_before = 0;
    while (passes < kPasses && written.load() == 0) {
      uint32_t last_seq[3] = {0, 0, 0};
      bool any[3] = {false, false, false};
      uint64_t got = 0;
      for (uint64_t t = trace_oldest(ring.get()); t < trace_end(ring.get()); t++) {
        trace_record r;
        if (!trace_get(ring.get(), t, &r))
          continue;
        got++;
        ASSERT_EQ(r.ticket, t);
        ASSERT_TRUE(r.kind == 1 || r.kind == 2) << r.kind;
        ASSERT_TRUE(whole(r)) << "ticket " << t;
        ASSERT_TRUE(r.count == 1 || (r.kind == 1 && r.count == 2));
        if (any[r.kind]) {
          ASSERT_GT(r.arg[0], last_seq[r.kind]);
        }
        any[r.kind] = true;
        last_seq[r.kind] = r.arg[0];
      }
      seen += got;
      const uint64_t end_now = trace_end(ring.get());
      passes += got > 0 && end_now != end_before;
      end_before = end_now;
    }
    enough = true;
  });
  std::thread one(writer, 1), two(writer, 2);
  reader.join();
  one.join();
  two.join();
  // One core may let the writers reach their bound first; a few passes
  // between their writes still prove the point.
  EXPECT_GT(passes, 0u) << "the reader never read while the writers wrote";
  EXPECT_EQ(trace_end(ring.get()), written.load());

  // At rest the ring holds its capacity of the newest records, less those
  // that lost their slot to a writer that was a whole lap behind (all of them
  // when the writers were kept from filling it).
  uint32_t held = 0;
  for (uint64_t t = trace_oldest(ring.get()); t < trace_end(ring.get()); t++) {
    trace_record r;
    held += trace_get(ring.get(), t, &r);
  }
  EXPECT_GE(held + ring->dropped.load(), std::min<uint32_t>(written.load(), TRACE_CAPACITY));
  printf("reader: %llu records in %llu passes; written %u, folded %u, dropped %u\n",
         static_cast<unsigned long long>(seen), static_cast<unsigned long long>(passes), written.load(),
         folded.load(), ring->dropped.load());
}

}  // namespace
