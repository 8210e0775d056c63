// SPDX-License-Identifier: MIT
#include "daemon/settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace {

// What settings_get_string gives when memory runs out; never freed.
char no_text[1] = "";

// One line (or piece of a longer line) with its terminator.
char line[16384];

}  // namespace

const char *settings_find(FILE *file, const char *key)
{
  if (!file || !key)
    return nullptr;
  rewind(file);
  while (fgets(line, sizeof line, file)) {
    if (char *cr = strchr(line, '\r'))
      *cr = '\0';
    if (char *lf = strchr(line, '\n'))
      *lf = '\0';
    if (char *quote = strrchr(line, '"'))
      *quote = '\0';
    char *equals = strchr(line, '=');
    if (!equals)
      continue;
    *equals = '\0';
    if (strcasecmp(line, key) != 0)
      continue;
    char *value = equals + 1;
    return *value == '"' ? value + 1 : value;
  }
  return nullptr;
}

uint32_t settings_get_uint(FILE *file, const char *key)
{
  const char *text = settings_find(file, key);
  if (!text)
    return 0;
  while (isspace(static_cast<unsigned char>(*text)))
    text++;
  bool negative = false;
  if (*text == '+' || *text == '-')
    negative = *text++ == '-';
  if (!isdigit(static_cast<unsigned char>(*text)))
    return 0;
  uint64_t value = 0;
  for (; isdigit(static_cast<unsigned char>(*text)); text++) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > UINT32_MAX)
      return 0;
  }
  const auto number = static_cast<uint32_t>(value);
  return negative ? 0u - number : number;
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

void mevrakt_settings_read(mevrakt_settings *settings, const char *path)
{
  FILE *file = fopen(path, "r");
  mevrakt_settings_read_file(settings, file);
  if (file)
    fclose(file);
}

namespace {

// The optional keys of one channel, after its three others.
void read_optional(FILE *file, channel_settings *cfg, const char *prefix)
{
  char key[64];
  auto get = [&](const char *name) {
    snprintf(key, sizeof key, "%s%s", prefix, name);
    return settings_get_optional(file, key);
  };
  cfg->key_prefix = prefix;
  cfg->allow = get("ALLOW");
  cfg->listen = get("LISTEN");
  cfg->commands = get("COMMANDS");
  cfg->alive_check = get("ALIVE_CHECK");
  cfg->idle_timeout = get("IDLE_TIMEOUT");
  cfg->echo = get("ECHO");
}

}  // namespace

void mevrakt_settings_read_file(mevrakt_settings *settings, FILE *file)
{
  settings->enabled = settings_get_uint(file, "MOD_MEVRAKT_ENABLED");
  settings->channel1.enabled = settings_get_uint(file, "MOD_MEVRAKT_PROT1_ENABLED");
  settings->channel1.device = settings_get_string(file, "MOD_MEVRAKT_PROT1_DEVICE");
  settings->channel1.port = settings_get_uint(file, "MOD_MEVRAKT_PROT1_PORT");
  settings->channel2.enabled = settings_get_uint(file, "MOD_MEVRAKT_PROT2_ENABLED");
  settings->channel2.device = settings_get_string(file, "MOD_MEVRAKT_PROT2_DEVICE");
  settings->channel2.port = settings_get_uint(file, "MOD_MEVRAKT_PROT2_PORT");
  read_optional(file, &settings->channel1, "MOD_MEVRAKT_PROT1_");
  read_optional(file, &settings->channel2, "MOD_MEVRAKT_PROT2_");
}

void mevrakt_settings_free(mevrakt_settings *settings)
{
  for (channel_settings *cfg : {&settings->channel1, &settings->channel2}) {
    if (cfg->device != no_text)
      free(const_cast<char *>(cfg->device));
    cfg->device = nullptr;
    for (const char **text :
         {&cfg->allow, &cfg->listen, &cfg->commands, &cfg->alive_check, &cfg->idle_timeout, &cfg->echo}) {
      free(const_cast<char *>(*text));
      *text = nullptr;
    }
  }
}
