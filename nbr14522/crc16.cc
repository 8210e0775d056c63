// SPDX-License-Identifier: MIT
#include "nbr14522/crc16.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<uint16_t, 256> make_table()
{
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; i++) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; bit++)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> crc_table = make_table();

constexpr uint16_t crc_step(uint16_t crc, uint8_t byte)
{
  return static_cast<uint16_t>(crc_table[(crc ^ byte) & 0xFF] ^ (crc >> 8));
}

constexpr uint16_t crc_of(const char *text, std::size_t n)
{
  uint16_t crc = 0;
  for (std::size_t i = 0; i < n; i++)
    crc = crc_step(crc, static_cast<uint8_t>(text[i]));
  return crc;
}

static_assert(crc_table[1] == 0xC0C1 && crc_table[255] == 0x4040, "CRC-16/ARC table");
static_assert(crc_of("123456789", 9) == 0xBB3D, "CRC-16/ARC check value");

}  // namespace

void crc16_init(uint16_t *acc)
{
  if (acc)
    *acc = 0;
}

void crc16_update(uint16_t *acc, const uint8_t *data, int length)
{
  if (!acc || !data || length <= 0)
    return;
  uint16_t crc = *acc;
  for (int i = 0; i < length; i++)
    crc = crc_step(crc, data[i]);
  *acc = crc;
}
