// SPDX-License-Identifier: MIT
// Fuzz target: a settings file's bytes, read into the seven values (numbers
// strictly, a value that is none kept as written) and the optional keys, each checked against a second, plain reading of the file's
// rules; the optional values then go through the channel's strict readers.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include <strings.h>

#include "common/address.h"
#include "daemon/settings.h"
#include "tests/fuzz/fuzz.h"

namespace {

// The value of the first line whose key is `key`, if there is one.
bool expected_text(const std::string &file, const char *key, std::string *value)
{
  constexpr size_t piece = 16383;  // longer lines are read as several
  for (size_t at = 0; at < file.size();) {
    const size_t end = file.find('\n', at);
    const size_t length = std::min((end == std::string::npos ? file.size() : end + 1) - at, piece);
    std::string line = file.substr(at, length).c_str();  // the text ends at a NUL
    at += length;
    line = line.substr(0, line.find('\r'));
    line = line.substr(0, line.find('\n'));
    line = line.substr(0, line.rfind('"'));
    const size_t equals = line.find('=');
    if (equals == std::string::npos || strcasecmp(line.substr(0, equals).c_str(), key) != 0)
      continue;
    *value = line.substr(equals + 1);
    if (!value->empty() && (*value)[0] == '"')
      value->erase(0, 1);
    return true;
  }
  return false;
}

std::string expected_string(const std::string &file, const char *key)
{
  std::string value;
  return expected_text(file, key, &value) ? value : "";
}

// A number key as the reader left it: its value when the text is a whole
// number of 32 bits (blanks around it allowed), else 0 and the text as it is.
void check_number(const std::string &file, const char *key, uint32_t got, const char *got_bad)
{
  std::string value;
  const bool present = expected_text(file, key, &value);
  const size_t first = value.find_first_not_of(" \t");
  const std::string digits = first == std::string::npos ? "" : value.substr(first, value.find_last_not_of(" \t") - first + 1);
  // strtoull saturates: a number of any length beyond 32 bits is caught.
  const unsigned long long number = strtoull(digits.c_str(), nullptr, 10);
  const bool bad = present && (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
                               number > UINT32_MAX);
  FUZZ_CHECK(got == (present && !bad ? number : 0));
  FUZZ_CHECK(bad ? got_bad && value == got_bad : !got_bad);
}

// An optional key: absent, or its value as the plain reading finds it.
void check_optional(const std::string &file, const std::string &key, const char *got)
{
  std::string value;
  const bool present = expected_text(file, key.c_str(), &value);
  FUZZ_CHECK(present == (got != nullptr));
  FUZZ_CHECK(!present || value == got);
}

// The strict readers take any text without harm, and what they accept is
// what they were asked for.
void check_readers(const channel_settings &cfg)
{
  uint32_t number = 0;
  if (cfg.alive_check && settings_parse_number(cfg.alive_check, 99, &number))
    FUZZ_CHECK(number <= 99);
  if (cfg.idle_timeout && settings_parse_number(cfg.idle_timeout, 86400, &number))
    FUZZ_CHECK(number <= 86400);
  bool codes[256] = {};
  if (cfg.commands && settings_parse_codes(cfg.commands, codes))
    FUZZ_CHECK(std::count(codes, codes + 256, true) > 0);
  address_list list;
  if (cfg.allow && address_list_parse(cfg.allow, &list))
    FUZZ_CHECK(list.count > 0 && list.count <= ADDRESS_LIST_MAX);
  struct sockaddr_storage addr;
  socklen_t length;
  if (cfg.listen && address_parse(cfg.listen, 4001, &addr, &length))
    FUZZ_CHECK(addr.ss_family == AF_INET || addr.ss_family == AF_INET6);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string file(reinterpret_cast<const char *>(data), size);
  // fmemopen refuses an empty buffer; no file at all is the reader's other
  // case, and reads like an empty one.
  FILE *stream = size ? fmemopen(&file[0], size, "r") : nullptr;
  FUZZ_CHECK(size == 0 || stream);

  mevrakt_settings settings{};
  mevrakt_settings_read_file(&settings, stream);
  if (stream)
    fclose(stream);

  FUZZ_CHECK(settings.channel1.device && settings.channel2.device);
  check_number(file, "MOD_MEVRAKT_ENABLED", settings.enabled, settings.bad_enabled);
  check_number(file, "MOD_MEVRAKT_PROT1_ENABLED", settings.channel1.enabled, settings.channel1.bad_enabled);
  FUZZ_CHECK(settings.channel1.device == expected_string(file, "MOD_MEVRAKT_PROT1_DEVICE"));
  check_number(file, "MOD_MEVRAKT_PROT1_PORT", settings.channel1.port, settings.channel1.bad_port);
  check_number(file, "MOD_MEVRAKT_PROT2_ENABLED", settings.channel2.enabled, settings.channel2.bad_enabled);
  FUZZ_CHECK(settings.channel2.device == expected_string(file, "MOD_MEVRAKT_PROT2_DEVICE"));
  check_number(file, "MOD_MEVRAKT_PROT2_PORT", settings.channel2.port, settings.channel2.bad_port);

  for (const char *n : {"1", "2"}) {
    const channel_settings &cfg = *n == '1' ? settings.channel1 : settings.channel2;
    const std::string prefix = std::string("MOD_MEVRAKT_PROT") + n + "_";
    FUZZ_CHECK(cfg.key_prefix == prefix);
    check_optional(file, prefix + "ALLOW", cfg.allow);
    check_optional(file, prefix + "LISTEN", cfg.listen);
    check_optional(file, prefix + "COMMANDS", cfg.commands);
    check_optional(file, prefix + "ALIVE_CHECK", cfg.alive_check);
    check_optional(file, prefix + "IDLE_TIMEOUT", cfg.idle_timeout);
    check_readers(cfg);
  }

  mevrakt_settings_free(&settings);
  FUZZ_CHECK(!settings.channel1.device && !settings.channel2.device);
  FUZZ_CHECK(!settings.channel1.allow && !settings.channel2.commands);
  return 0;
}
