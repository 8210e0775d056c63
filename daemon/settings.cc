// SPDX-License-Identifier: MIT
#include "daemon/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// What settings_get_string gives when memory runs out; never freed.
char no_text[1] = "";

// One line (or piece of a longer line) with its terminator.
char line[16384];

// Every key of this daemon is one of these: the first alone, or a channel's
// prefix and one of the names after it.
constexpr char kEnabledKey[] = "MOD_MEVRAKT_ENABLED";
constexpr const char *kChannelPrefixes[] = {"MOD_MEVRAKT_PROT1_", "MOD_MEVRAKT_PROT2_"};
constexpr const char *kChannelKeys[] = {"ENABLED",  "DEVICE",      "PORT",         "ALLOW", "LISTEN",
                                        "COMMANDS", "ALIVE_CHECK", "IDLE_TIMEOUT", "ECHO"};
constexpr char kNamespace[] = "MOD_MEVRAKT_";
constexpr size_t kKeyMax = 32;  // the longest key and its terminator fit
static_assert(SETTINGS_MAX_BYTES == 64 * 1024, "the refusal's text names the bound");

// Makes the three cuts in `text` and ends the key at the first '='. Returns
// the value (past one opening quote), or nullptr for a line without '='.
char *settings_cut(char *text)
{
  if (char *cr = strchr(text, '\r'))
    *cr = '\0';
  if (char *lf = strchr(text, '\n'))
    *lf = '\0';
  if (char *quote = strrchr(text, '"'))
    *quote = '\0';
  char *equals = strchr(text, '=');
  if (!equals)
    return nullptr;
  *equals = '\0';
  return equals[1] == '"' ? equals + 2 : equals + 1;
}

}  // namespace

const char *settings_find(FILE *file, const char *key)
{
  if (!file || !key)
    return nullptr;
  rewind(file);
  while (fgets(line, sizeof line, file)) {
    const char *value = settings_cut(line);
    if (value && strcasecmp(line, key) == 0)
      return value;
  }
  return nullptr;
}

uint32_t settings_get_uint(FILE *file, const char *key, const char **bad)
{
  const char *text = settings_find(file, key);
  uint32_t value = 0;
  if (!text || settings_parse_number(text, UINT32_MAX, &value))
    return value;
  if (bad)
    *bad = strdup(text);
  return 0;
}

char *settings_get_string(FILE *file, const char *key)
{
  const char *text = settings_find(file, key);
  char *copy = strdup(text ? text : "");
  return copy ? copy : no_text;
}

char *settings_get_optional(FILE *file, const char *key)
{
  const char *text = settings_find(file, key);
  return text ? strdup(text) : nullptr;
}

bool settings_parse_number(const char *text, uint32_t max, uint32_t *value)
{
  text += strspn(text, " \t");
  if (!isdigit(static_cast<unsigned char>(*text)))
    return false;
  uint64_t number = 0;
  for (; isdigit(static_cast<unsigned char>(*text)); text++) {
    number = number * 10 + static_cast<uint64_t>(*text - '0');
    if (number > max)
      return false;
  }
  text += strspn(text, " \t");
  if (*text != '\0')
    return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

bool settings_parse_codes(const char *text, bool allowed[256])
{
  int found = 0;
  for (const char *at = text;;) {
    at += strspn(at, ", \t");
    if (*at == '\0')
      return found > 0;
    const size_t length = strcspn(at, ", \t");
    const char *digits = at;
    size_t count = length;
    if (count > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      digits += 2;
      count -= 2;
    }
    if (count < 1 || count > 2 || strspn(digits, "0123456789abcdefABCDEF") < count)
      return false;
    char hex[3] = {digits[0], count == 2 ? digits[1] : '\0', '\0'};
    allowed[strtoul(hex, nullptr, 16)] = true;
    found++;
    at += length;
  }
}

namespace {

// Reads the whole file at `path` into `*data` (allocated, `*size` bytes, a
// byte-order mark dropped). Returns false after saying why it was not read.
bool settings_load(const char *path, char **data, size_t *size, const say_sink *sink)
{
  // Asked before the open: opening a serial line's node would raise its
  // modem lines, and a FIFO's would wait for a writer.
  struct stat st;
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    say(sink, LOG_ERR, "settings: %s is not a regular file, not read", path);
    return false;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    say(sink, LOG_ERR, "settings: cannot read %s: %s", path, strerror(errno));
    return false;
  }
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    say(sink, LOG_ERR, "settings: %s is not a regular file, not read", path);
    return false;
  }
  // One byte more than the bound tells a file that is too long.
  *data = static_cast<char *>(malloc(SETTINGS_MAX_BYTES + 1));
  ssize_t n = *data ? 1 : -1;
  *size = 0;
  while (n > 0 && *size <= SETTINGS_MAX_BYTES) {
    n = read(fd, *data + *size, SETTINGS_MAX_BYTES + 1 - *size);
    if (n < 0 && errno == EINTR)
      n = 1;
    else if (n > 0)
      *size += static_cast<size_t>(n);
  }
  const int error = *data ? errno : ENOMEM;
  close(fd);
  if (n < 0) {
    say(sink, LOG_ERR, "settings: cannot read %s: %s", path, strerror(error));
    return false;
  }
  if (*size > SETTINGS_MAX_BYTES) {
    say(sink, LOG_ERR, "settings: %s is longer than 64 KiB, not read", path);
    return false;
  }
  // Editors on other systems save one at the start; it would join the first key.
  if (*size >= 3 && memcmp(*data, "\xEF\xBB\xBF", 3) == 0) {
    *size -= 3;
    memmove(*data, *data + 3, *size);
  }
  return true;
}

// Edits (insertions, deletions, substitutions) that turn `text` into `key`,
// ignoring case; `key` is shorter than kKeyMax.
size_t settings_distance(const char *text, const char *key)
{
  size_t row[kKeyMax];
  const size_t length = strlen(key);
  for (size_t j = 0; j <= length; j++)
    row[j] = j;
  for (size_t i = 1; text[i - 1]; i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= length; j++) {
      const size_t above = row[j];
      const bool same = toupper(static_cast<unsigned char>(text[i - 1])) == key[j - 1];
      row[j] = std::min(std::min(row[j], row[j - 1]) + 1, diagonal + (same ? 0 : 1));
      diagonal = above;
    }
  }
  return row[length];
}

// The key of this daemon nearest to `text`, written to `nearest`. Returns
// whether `text` is that key.
bool settings_known(const char *text, char nearest[kKeyMax])
{
  size_t best = SIZE_MAX;
  auto consider = [&](const char *prefix, const char *name) {
    char key[kKeyMax];
    snprintf(key, sizeof key, "%s%s", prefix, name);
    const size_t d = strcasecmp(text, key) == 0 ? 0 : settings_distance(text, key) + 1;
    if (d < best) {
      best = d;
      memcpy(nearest, key, sizeof key);
    }
  };
  consider(kEnabledKey, "");
  for (const char *prefix : kChannelPrefixes)
    for (const char *name : kChannelKeys)
      consider(prefix, name);
  return best == 0;
}

// Says each line whose key is in this daemon's namespace but none of its
// keys: a misspelt key would otherwise leave its setting at its default, in
// silence, and an access limit off. Returns how many were said.
int settings_check_keys(FILE *file, const say_sink *sink)
{
  rewind(file);
  int unknown = 0;
  unsigned number = 1;
  while (fgets(line, sizeof line, file)) {
    const unsigned at = number;
    if (strchr(line, '\n'))
      number++;  // else a piece of a longer line, or the last line
    char nearest[kKeyMax];
    if (!settings_cut(line) || strncasecmp(line + strspn(line, " \t"), kNamespace, strlen(kNamespace)) != 0 ||
        settings_known(line, nearest))
      continue;
    say(sink, LOG_WARNING, "settings: line %u: unknown key \"%s\", did you mean %s?", at, line, nearest);
    unknown++;
  }
  return unknown;
}

// A channel's keys, read in the order of kChannelKeys.
void read_channel(FILE *file, channel_settings *cfg, int number)
{
  const char *prefix = kChannelPrefixes[number - 1];
  char key[kKeyMax];
  auto name = [&](const char *suffix) {
    snprintf(key, sizeof key, "%s%s", prefix, suffix);
    return key;
  };
  cfg->number = number;
  cfg->key_prefix = prefix;
  cfg->enabled = settings_get_uint(file, name("ENABLED"), &cfg->bad_enabled);
  cfg->device = settings_get_string(file, name("DEVICE"));
  cfg->port = settings_get_uint(file, name("PORT"), &cfg->bad_port);
  cfg->allow = settings_get_optional(file, name("ALLOW"));
  cfg->listen = settings_get_optional(file, name("LISTEN"));
  cfg->commands = settings_get_optional(file, name("COMMANDS"));
  cfg->alive_check = settings_get_optional(file, name("ALIVE_CHECK"));
  cfg->idle_timeout = settings_get_optional(file, name("IDLE_TIMEOUT"));
  cfg->echo = settings_get_optional(file, name("ECHO"));
}

}  // namespace

int mevrakt_settings_read(mevrakt_settings *settings, const char *path, const say_sink *sink)
{
  char *data = nullptr;
  size_t size = 0;
  settings->file_read = settings_load(path, &data, &size, sink);
  int said = settings->file_read ? 0 : 1;
  // An empty file reads as none, with nothing to say about it.
  FILE *file = settings->file_read && size > 0 ? fmemopen(data, size, "r") : nullptr;
  mevrakt_settings_read_file(settings, file);
  if (file) {
    said += settings_check_keys(file, sink);
    fclose(file);
  }
  free(data);
  if (settings->bad_enabled) {
    say(sink, LOG_WARNING, "settings: bad value for %s: \"%s\"", kEnabledKey, settings->bad_enabled);
    said++;
  }
  return said;
}

void mevrakt_settings_read_file(mevrakt_settings *settings, FILE *file)
{
  settings->enabled = settings_get_uint(file, kEnabledKey, &settings->bad_enabled);
  read_channel(file, &settings->channel1, 1);
  read_channel(file, &settings->channel2, 2);
}

void mevrakt_settings_free(mevrakt_settings *settings)
{
  free(const_cast<char *>(settings->bad_enabled));
  settings->bad_enabled = nullptr;
  for (channel_settings *cfg : {&settings->channel1, &settings->channel2}) {
    if (cfg->device != no_text)
      free(const_cast<char *>(cfg->device));
    cfg->device = nullptr;
    for (const char **text : {&cfg->allow, &cfg->listen, &cfg->commands, &cfg->alive_check, &cfg->idle_timeout,
                              &cfg->echo, &cfg->bad_enabled, &cfg->bad_port}) {
      free(const_cast<char *>(*text));
      *text = nullptr;
    }
  }
}
