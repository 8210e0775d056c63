#include "daemon/settings.h"

#include <cctype>
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

void mevrakt_settings_read(mevrakt_settings *settings, const char *path)
{
  FILE *file = fopen(path, "r");
  mevrakt_settings_read_file(settings, file);
  if (file)
    fclose(file);
}

void mevrakt_settings_read_file(mevrakt_settings *settings, FILE *file)
{
  settings->enabled = settings_get_uint(file, "MOD_MEVRAKT_ENABLED");
  settings->prot1.enabled = settings_get_uint(file, "MOD_MEVRAKT_PROT1_ENABLED");
  settings->prot1.device = settings_get_string(file, "MOD_MEVRAKT_PROT1_DEVICE");
  settings->prot1.port = settings_get_uint(file, "MOD_MEVRAKT_PROT1_PORT");
  settings->prot2.enabled = settings_get_uint(file, "MOD_MEVRAKT_PROT2_ENABLED");
  settings->prot2.device = settings_get_string(file, "MOD_MEVRAKT_PROT2_DEVICE");
  settings->prot2.port = settings_get_uint(file, "MOD_MEVRAKT_PROT2_PORT");
}

void mevrakt_settings_free(mevrakt_settings *settings)
{
  for (mevrakt_prot *prot : {&settings->prot1, &settings->prot2}) {
    if (prot->device != no_text)
      free(const_cast<char *>(prot->device));
    prot->device = nullptr;
  }
}
