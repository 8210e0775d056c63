// SPDX-License-Identifier: MIT
// Fuzz target: the meter's byte stream into the link engine, in any chunking,
// interleaved with commands, disconnects and timer expiries. The input is a
// script of steps; after each the link's invariants are checked.
//
// Script, one step per leading byte (its value modulo 10):
//   0-2  the meter sends the next (1 + byte % 32) bytes as one chunk
//   3    the meter sends a 258-byte response with a good CRC, its first byte
//        and a seed from the script, in chunks of (1 + byte % 64) bytes
//   4    a command: a 66-byte frame with a good CRC (code from the script), or
//        (byte % 72) raw bytes from the script
//   5    an event record: through nbr14522_ev_write with id (byte % 7) and a
//        payload of (byte % 80) script bytes, or written raw with an id the
//        writer would refuse
//   6    a timer expiry, the timer run out or not
//   7    a disconnect; or, for a following byte below 16, that many more
//        bytes sent by the meter just before it unplugs the line
//   8    a new AMR client: session (byte)
//   9    time passes: a command's held pieces go on, and a send asked for
//        (by an ENQ, a NAK, a time-out) goes out if the line is read empty
// An input of odd length plays a line set to echo what is written, whose
// meter does not: the link then looks for its own bytes first.
#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "tests/fuzz/fuzz.h"
#include "tests/fuzz/fuzz_link.h"
#include "tools/tool_util.h"

namespace {

void send_response(fuzz_link *f, fuzz::script *s)
{
  uint8_t frame[NBR14522_RSP_SIZE];
  frame[0] = s->byte();
  uint8_t seed = s->byte();
  for (int i = 1; i < NBR14522_RSP_SIZE - 2; i++)
    frame[i] = seed = static_cast<uint8_t>(seed * 33 + 7);
  nbr14522_frame_seal(frame, NBR14522_RSP_SIZE);
  const size_t chunk = 1 + s->byte() % 64;
  for (size_t at = 0; at < sizeof frame; at += chunk)
    fuzz_link_send(f, frame + at, std::min(chunk, sizeof frame - at));
}

void send_command(fuzz_link *f, fuzz::script *s)
{
  const uint8_t how = s->byte();
  uint8_t frame[72] = {};
  size_t size;
  if (how & 0x80) {
    frame[0] = s->byte();
    frame[1] = s->byte();
    nbr14522_frame_seal(frame, NBR14522_CMD_SIZE);
    size = NBR14522_CMD_SIZE;
  } else {
    const uint8_t *bytes = s->take(how % sizeof frame, &size);
    memcpy(frame, bytes, size);
  }
  FUZZ_CHECK(nbr14522_write(f->link, frame, static_cast<int>(size)) == static_cast<int>(size));
}

void send_event(fuzz_link *f, fuzz::script *s)
{
  const uint8_t id = s->byte();
  size_t size;
  const uint8_t *payload = s->take(s->byte() % 80, &size);
  if (id & 0x80) {
    // What no writer of ours sends: an unknown id, header and payload whole.
    uint8_t record[8 + 80];
    const uint32_t bad_id = id == 0xFF ? UINT32_MAX : 5u + (id & 0x7F);
    const int32_t length = static_cast<int32_t>(size);
    memcpy(record, &bad_id, 4);
    memcpy(record + 4, &length, 4);
    memcpy(record + 8, payload, size);
    FUZZ_CHECK(write(f->link->fd_ev[1], record, 8 + size) == static_cast<ssize_t>(8 + size));
  } else {
    const int result = nbr14522_ev_write(f->link, id % 7, static_cast<int>(size), payload);
    FUZZ_CHECK(result == (id % 7 <= 4 ? static_cast<int>(size) : -1));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzz_link f;
  FUZZ_CHECK(fuzz_link_open(&f));
  f.link->echo = size % 2 == 1;
  f.link->echo_key = "MOD_MEVRAKT_PROT1_ECHO";
  fuzz::script s{data, size};
  while (!s.done()) {
    switch (s.byte() % 10) {
    case 0:
    case 1:
    case 2: {
      size_t got;
      const uint8_t *chunk = s.take(1 + s.byte() % 32, &got);
      fuzz_link_send(&f, chunk, got);
      break;
    }
    case 3:
      send_response(&f, &s);
      break;
    case 4:
      send_command(&f, &s);
      break;
    case 5:
      send_event(&f, &s);
      break;
    case 6: {
      const uint8_t which = s.byte();
      fuzz_link_expire(&f, which & 1 ? NBR14522_EV_RSP_TIMEOUT : NBR14522_EV_ENQ_TIMEOUT, which & 2);
      break;
    }
    case 7: {
      const uint8_t how = s.byte();
      if (how < 16) {
        size_t got;
        const uint8_t *last = s.take(how, &got);
        fuzz_link_unplug(&f, last, got);
      } else {
        FUZZ_CHECK(nbr14522_disconnect(f.link) == 0);
      }
      break;
    }
    case 8:
      FUZZ_CHECK(nbr14522_session(f.link, s.byte()) == 4);
      break;
    case 9:
      fuzz_link_hold_expire(&f);
      break;
    }
    fuzz_link_read_events(&f);
    fuzz_link_read_line(&f);
  }
  fuzz_link_close(&f);
  return 0;
}
