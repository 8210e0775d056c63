// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>

#include "nbr14522/crc16.h"
#include "tests/support/pty_meter.h"

TEST(Crc16, CheckValueOverDigits)
{
  const char *digits = "123456789";
  uint16_t crc = 0xFFFF;
  crc16_init(&crc);
  EXPECT_EQ(crc, 0);
  crc16_update(&crc, reinterpret_cast<const uint8_t *>(digits), 9);
  EXPECT_EQ(crc, 0xBB3D);
}

TEST(Crc16, RunsInPiecesAsInOne)
{
  const uint8_t data[] = {0x14, 0x00, 0x12, 0x34, 0xFF, 0x80, 0x05};
  uint16_t whole = 0, parts = 0;
  crc16_update(&whole, data, sizeof data);
  crc16_update(&parts, data, 3);
  crc16_update(&parts, data + 3, sizeof data - 3);
  EXPECT_EQ(whole, parts);
}

TEST(Crc16, FrameWithItsCrcSumsToZero)
{
  EXPECT_TRUE(testmeter::crc_ok(testmeter::make_command(0x14)));
  EXPECT_TRUE(testmeter::crc_ok(testmeter::make_response(0x14, 9)));
  EXPECT_FALSE(testmeter::crc_ok(testmeter::make_response(0x14, 9, false)));
}

TEST(Crc16, IgnoresAbsentOrEmptyInput)
{
  const uint8_t data[] = {1, 2, 3};
  uint16_t crc = 0x1234;
  crc16_update(&crc, nullptr, 3);
  crc16_update(&crc, data, 0);
  crc16_update(&crc, data, -5);
  crc16_update(nullptr, data, 3);
  crc16_init(nullptr);
  EXPECT_EQ(crc, 0x1234);
}
