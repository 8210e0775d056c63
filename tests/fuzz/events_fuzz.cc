// SPDX-License-Identifier: MIT
// Fuzz target: event records on a link's event channel. First through the
// writer, nbr14522_ev_write, with any id, length and payload: it must queue
// the whole record or nothing. Then, from the first 0xFF step on, the rest of
// the input goes into the channel raw, bytes no writer of ours would send,
// and the link reads it all.
//
// Writer steps: id (a byte below 0xF0 gives 0 to 4, else the next four bytes
// as they are), length (a byte below 0xF0 gives 0 to 239, else the next four
// bytes), then a byte whose low bit drops the payload; the payload is the next
// `length` script bytes, zeros past the end.
#include <algorithm>
#include <climits>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

#include "nbr14522/engine.h"
#include "tests/fuzz/fuzz.h"
#include "tests/fuzz/fuzz_link.h"

namespace {

int32_t field(fuzz::script *s, uint8_t small_range)
{
  const uint8_t first = s->byte();
  if (first < 0xF0)
    return first % small_range;
  uint32_t value = 0;
  for (int i = 0; i < 4; i++)
    value = value << 8 | s->byte();
  return static_cast<int32_t>(value);
}

int queued(int fd)
{
  int n = 0;
  ioctl(fd, FIONREAD, &n);
  return n;
}

void write_event(fuzz_link *f, fuzz::script *s)
{
  const int id = field(s, 5);
  const int length = field(s, 0xF0);
  const bool no_data = s->byte() & 1;
  static uint8_t payload[NBR14522_EV_MAX_PAYLOAD];
  memset(payload, 0, sizeof payload);
  if (length > 0) {
    size_t got;
    const uint8_t *from = s->take(static_cast<size_t>(std::min(length, NBR14522_EV_MAX_PAYLOAD)), &got);
    memcpy(payload, from, got);
  }

  const bool valid = static_cast<uint32_t>(id) <= NBR14522_EV_SESSION && length >= 0 &&
                     length <= NBR14522_EV_MAX_PAYLOAD && (length == 0 || !no_data);
  const int before = queued(f->link->fd_ev[0]);
  const int result = nbr14522_ev_write(f->link, id, length, no_data ? nullptr : payload);
  FUZZ_CHECK(result == (valid ? length : -1));
  // The whole record or nothing.
  FUZZ_CHECK(queued(f->link->fd_ev[0]) - before == (valid ? NBR14522_EV_HEADER_SIZE + length : 0));
  fuzz_link_read_events(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzz_link f;
  FUZZ_CHECK(fuzz_link_open(&f));
  fuzz::script s{data, size};
  while (!s.done() && s.data[s.pos] != 0xFF)
    write_event(&f, &s);

  if (!s.done()) {
    s.byte();
    size_t got;
    // A pipe holds 64 KiB; more would block this write.
    const uint8_t *raw = s.take(60000, &got);
    FUZZ_CHECK(write(f.link->fd_ev[1], raw, got) == static_cast<ssize_t>(got));
  }
  // With its write end closed, the channel reads end of file where a record
  // stops short instead of waiting for the rest, so the link never blocks.
  close(f.link->fd_ev[1]);
  f.link->fd_ev[1] = -1;
  fuzz_link_read_events(&f);
  nbr14522_pipe_exec(f.link);  // end of file itself
  fuzz_link_check(&f);
  FUZZ_CHECK(nbr14522_disconnect(f.link) == -1);  // nowhere to write it
  fuzz_link_close(&f);
  return 0;
}
