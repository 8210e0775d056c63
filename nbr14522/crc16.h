// SPDX-License-Identifier: MIT
// CRC-16/ARC as used by NBR 14522 frames: polynomial 0x8005 bit-reflected,
// initial value 0, no final XOR. A frame carries the CRC of its leading bytes
// in its last two bytes, low byte first, so a whole good frame sums to 0.
#pragma once

#include <cstdint>

/// Sets the accumulator to 0; does nothing without one.
void crc16_init(uint16_t *acc);

/// Runs the CRC over `length` bytes of `data`. Leaves the accumulator
/// unchanged when it is absent, `data` is absent or `length` is not positive.
void crc16_update(uint16_t *acc, const uint8_t *data, int length);
