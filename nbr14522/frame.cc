// SPDX-License-Identifier: MIT
#include "nbr14522/frame.h"

#include "nbr14522/crc16.h"

namespace {

uint16_t crc_of(const uint8_t *data, int length)
{
  uint16_t crc;
  crc16_init(&crc);
  crc16_update(&crc, data, length);
  return crc;
}

}  // namespace

void nbr14522_frame_seal(uint8_t *frame, int length)
{
  if (length < 2)
    return;
  const uint16_t crc = crc_of(frame, length - 2);
  frame[length - 2] = static_cast<uint8_t>(crc & 0xFF);
  frame[length - 1] = static_cast<uint8_t>(crc >> 8);
}

bool nbr14522_frame_ok(const uint8_t *frame, int length)
{
  return crc_of(frame, length) == 0;
}
