// NBR 14522 on the line, as the reading side sees it: control bytes and frame
// sizes. Shared by the meter link, the field tools and the tests.
#pragma once

#include <cstdint>

constexpr uint8_t NBR14522_ENQ = 0x05;   // meter ready (sent by the meter)
constexpr uint8_t NBR14522_ACK = 0x06;
constexpr uint8_t NBR14522_WAIT = 0x10;  // meter busy
constexpr uint8_t NBR14522_NAK = 0x15;

// A command frame: code, payload, CRC (low byte first) in the last two bytes.
constexpr int NBR14522_CMD_SIZE = 66;
// A response frame, CRC in the last two bytes likewise.
constexpr int NBR14522_RSP_SIZE = 258;
