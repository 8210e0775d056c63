// SPDX-License-Identifier: MIT
// The settings file: key=value lines, read once at start. Keys of this
// daemon start with MOD_MEVRAKT_; other lines are passed over.
//
// Each line is cut at its first carriage return, then at its first line feed,
// then at its last double quote. The key is what stands before the first '=',
// compared without regard to case and without trimming; the value is what
// follows it, less one leading double quote. The first matching line wins.
// Lines longer than 16383 characters are read as several lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/say.h"

constexpr const char *MEVRAKT_SETTINGS_PATH = "/opt/mevraKT/etc/settings";

/// The largest settings file read; a longer one is refused unread. The
/// example with every key set is under 4 KiB.
constexpr size_t SETTINGS_MAX_BYTES = 65536;

/// The settings of one channel.
struct channel_settings {
  uint32_t enabled;    // the channel runs when not 0
  const char *device;  // serial device path; allocated by the reader
  uint32_t port;       // TCP port
  // ENABLED's or PORT's value when it is not a whole number, as written,
  // allocated by the reader; the number then reads as 0, and the channel
  // refuses to open with it. nullptr when the value is good or absent.
  const char *bad_enabled = nullptr;
  const char *bad_port = nullptr;
  // Optional keys, as written, allocated by the reader; nullptr when absent.
  // The channel reads them when it opens, and a value it cannot read keeps
  // the channel from opening.
  const char *allow = nullptr;         // MOD_MEVRAKT_PROTn_ALLOW: who may connect
  const char *listen = nullptr;        // MOD_MEVRAKT_PROTn_LISTEN: the one address to listen on
  const char *commands = nullptr;      // MOD_MEVRAKT_PROTn_COMMANDS: command codes let through
  const char *alive_check = nullptr;   // MOD_MEVRAKT_PROTn_ALIVE_CHECK: minutes
  const char *idle_timeout = nullptr;  // MOD_MEVRAKT_PROTn_IDLE_TIMEOUT: seconds
  const char *echo = nullptr;          // MOD_MEVRAKT_PROTn_ECHO: the line returns what is written (1)
  const char *key_prefix = nullptr;    // "MOD_MEVRAKT_PROTn_", naming the keys in messages
  int number = 0;                      // 1 or 2, naming the channel in messages
};

struct mevrakt_settings {
  uint32_t enabled;  // MOD_MEVRAKT_ENABLED; read, but nothing depends on it
  channel_settings channel1;
  channel_settings channel2;
  const char *bad_enabled = nullptr;  // as for a channel's
  bool file_read = false;             // whether mevrakt_settings_read found a file to read
};

/// Returns the value of the first line whose key is `key`, or nullptr when
/// there is none or no file. The text lives in one buffer shared by every
/// lookup and is overwritten by the next one. Not thread-safe.
const char *settings_find(FILE *file, const char *key);

/// Returns the value read as a whole unsigned decimal number of 32 bits
/// (settings_parse_number), or 0 when the key is missing or the value is
/// none; then, if `bad` is given and the key is there, `*bad` gets a newly
/// allocated copy of the value.
uint32_t settings_get_uint(FILE *file, const char *key, const char **bad = nullptr);

/// Returns a newly allocated copy of the value, or of the empty text when the
/// key is missing. Never nullptr: should memory run out, a static empty text.
char *settings_get_string(FILE *file, const char *key);

/// Returns a newly allocated copy of the value, or nullptr when the key is
/// missing (or memory runs out).
char *settings_get_optional(FILE *file, const char *key);

/// Reads `text` as a whole decimal number from 0 to `max` (blanks around it
/// allowed, nothing else). Returns whether it was one.
bool settings_parse_number(const char *text, uint32_t max, uint32_t *value);

/// Reads `text` as command codes in hex ("14, 21 25" or "0x14"), separated
/// by commas or blanks, and sets their entries in `allowed` (256 flags).
/// Returns false if an entry is not a code from 00 to FF, or there is none.
bool settings_parse_codes(const char *text, bool allowed[256]);

/// Fills every field from the file at `path`, which is read whole at once. A
/// file that is missing, cannot be read, is not a regular file (a device or
/// a FIFO would be read forever) or is longer than SETTINGS_MAX_BYTES is not
/// read: every number is then 0, every text empty, every optional key absent,
/// and one error line says why. A UTF-8 byte-order mark at its start is
/// passed over. Each line whose key is in this daemon's namespace
/// (MOD_MEVRAKT_) but none of its keys is said as a warning with its number
/// and the nearest key, as is a MOD_MEVRAKT_ENABLED that is not a number;
/// other modules' keys are passed over. Lines go through `sink`, syslog when
/// nullptr. Returns how many lines were said.
int mevrakt_settings_read(mevrakt_settings *settings, const char *path = MEVRAKT_SETTINGS_PATH,
                          const say_sink *sink = nullptr);

/// Fills every field from `file`, which stays open and owned by the caller;
/// without a file every number is 0, every text empty, every optional key
/// absent.
void mevrakt_settings_read_file(mevrakt_settings *settings, FILE *file);

/// Frees the texts that mevrakt_settings_read allocated; call once nothing
/// borrows them any more (the channels are closed).
void mevrakt_settings_free(mevrakt_settings *settings);
