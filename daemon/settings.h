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

#include <cstdint>
#include <cstdio>

constexpr const char *MEVRAKT_SETTINGS_PATH = "/opt/mevraKT/etc/settings";

/// The settings of one channel.
struct channel_settings {
  uint32_t enabled;    // the channel runs when not 0
  const char *device;  // serial device path; allocated by the reader
  uint32_t port;       // TCP port
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
};

struct mevrakt_settings {
  uint32_t enabled;  // MOD_MEVRAKT_ENABLED; read, but nothing depends on it
  channel_settings channel1;
  channel_settings channel2;
};

/// Returns the value of the first line whose key is `key`, or nullptr when
/// there is none or no file. The text lives in one buffer shared by every
/// lookup and is overwritten by the next one. Not thread-safe.
const char *settings_find(FILE *file, const char *key);

/// Returns the value read as an unsigned decimal number (leading white space
/// and a sign accepted, digits up to the first non-digit, a minus sign
/// wrapping as unsigned arithmetic does), or 0 when the key is missing, no
/// digit follows, or the number does not fit in 32 bits.
uint32_t settings_get_uint(FILE *file, const char *key);

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

/// Fills every field from the file at `path`. A file that cannot be opened
/// is not an error: every number is then 0, every text empty and every
/// optional key absent.
void mevrakt_settings_read(mevrakt_settings *settings, const char *path = MEVRAKT_SETTINGS_PATH);

/// Fills every field from `file`, which stays open and owned by the caller;
/// without a file every number is 0, every text empty, every optional key
/// absent.
void mevrakt_settings_read_file(mevrakt_settings *settings, FILE *file);

/// Frees the texts that mevrakt_settings_read allocated; call once nothing
/// borrows them any more (the channels are closed).
void mevrakt_settings_free(mevrakt_settings *settings);
