// SPDX-License-Identifier: MIT
// NBR 14522 on the line, as the reading side sees it: control bytes, frame
// sizes, and which frames answer which command. Shared by the meter link,
// the field tools and the tests.
#pragma once

#include <cstdint>

constexpr uint8_t NBR14522_ENQ = 0x05;  // meter ready (sent by the meter)
constexpr uint8_t NBR14522_ACK = 0x06;
constexpr uint8_t NBR14522_WAIT = 0x10;  // meter busy
constexpr uint8_t NBR14522_NAK = 0x15;

// A command frame: code, payload, CRC (low byte first) in the last two bytes.
constexpr int NBR14522_CMD_SIZE = 66;
// A response frame, CRC in the last two bytes likewise.
constexpr int NBR14522_RSP_SIZE = 258;

// Information codes: a meter may answer any command with one of these
// instead of a frame of the command's own code.
constexpr uint8_t NBR14522_CODE_NOT_IMPLEMENTED = 0x39;
constexpr uint8_t NBR14522_CODE_OCCURRENCE = 0x40;

// Composed commands are answered by several frames, each acknowledged on its
// own; bit 0x10 of byte 5 marks the last one.
constexpr int NBR14522_RSP_FLAGS_BYTE = 5;
constexpr uint8_t NBR14522_RSP_LAST = 0x10;

/// Writes the CRC of the frame's first `length` - 2 bytes into its last two,
/// low byte first. Does nothing to a frame shorter than 2 bytes.
void nbr14522_frame_seal(uint8_t *frame, int length);

/// Whether the CRC run over all `length` bytes of `frame`, its CRC bytes
/// included, is 0: the frame is good.
bool nbr14522_frame_ok(const uint8_t *frame, int length);

constexpr bool nbr14522_is_control(uint8_t byte)
{
  return byte == NBR14522_ENQ || byte == NBR14522_ACK || byte == NBR14522_WAIT || byte == NBR14522_NAK;
}

constexpr bool nbr14522_is_composed(uint8_t code)
{
  return code == 0x26 || code == 0x27 || code == 0x52;
}

/// Whether a response frame of code `rsp_code` can answer a command of code
/// `cmd_code`: its own code, or an information code.
constexpr bool nbr14522_answers(uint8_t cmd_code, uint8_t rsp_code)
{
  return rsp_code == cmd_code || rsp_code == NBR14522_CODE_NOT_IMPLEMENTED || rsp_code == NBR14522_CODE_OCCURRENCE;
}

/// Whether `frame` (a whole response to a command of `cmd_code`) is the last
/// frame of its answer: always, but for a composed command's own frames
/// without the mark.
constexpr bool nbr14522_is_last(uint8_t cmd_code, const uint8_t *frame)
{
  return !nbr14522_is_composed(cmd_code) || frame[0] != cmd_code ||
         (frame[NBR14522_RSP_FLAGS_BYTE] & NBR14522_RSP_LAST) != 0;
}
