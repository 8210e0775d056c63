// SPDX-License-Identifier: MIT
#include "common/address.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr int kMappedBits = 8 * sizeof kMappedPrefix;

bool parse_net(const char *text, size_t length, address_net *net)
{
  char word[INET6_ADDRSTRLEN + 8];
  if (length == 0 || length >= sizeof word)
    return false;
  memcpy(word, text, length);
  word[length] = '\0';
  char *slash = strchr(word, '/');
  if (slash)
    *slash = '\0';
  if (inet_pton(AF_INET, word, net->bytes) == 1) {
    net->family = AF_INET;
    net->bits = 32;
  } else if (inet_pton(AF_INET6, word, net->bytes) == 1) {
    net->family = AF_INET6;
    net->bits = 128;
  } else {
    return false;
  }
  if (slash) {
    const char *digits = slash + 1;
    char *end;
    if (*digits < '0' || *digits > '9')
      return false;
    const long bits = strtol(digits, &end, 10);
    if (*end != '\0' || bits > net->bits)
      return false;
    net->bits = static_cast<int>(bits);
  }
  // Peers are matched in IPv4 form when they come mapped (see
  // address_list_allows), so a mapped entry names the IPv4 address or
  // network that it maps. A prefix shorter than the mapped block itself
  // names no IPv4 network, only a stretch of IPv6 space around it that no
  // real host uses: refused rather than left to match nothing.
  if (net->family == AF_INET6 && memcmp(net->bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    if (net->bits < kMappedBits)
      return false;
    memmove(net->bytes, net->bytes + sizeof kMappedPrefix, 4);
    memset(net->bytes + 4, 0, sizeof net->bytes - 4);
    net->family = AF_INET;
    net->bits -= kMappedBits;
  }
  return true;
}

bool prefix_matches(const uint8_t *a, const uint8_t *b, int bits)
{
  const int whole = bits / 8;
  if (memcmp(a, b, static_cast<size_t>(whole)) != 0)
    return false;
  const int rest = bits % 8;
  if (rest == 0)
    return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool address_parse(const char *text, uint16_t port, struct sockaddr_storage *out, socklen_t *length)
{
  memset(out, 0, sizeof *out);
  auto *v4 = reinterpret_cast<sockaddr_in *>(out);
  auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof *v4;
    return true;
  }
  if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *length = sizeof *v6;
    return true;
  }
  return false;
}

bool address_list_parse(const char *text, address_list *list)
{
  list->count = 0;
  for (const char *at = text;;) {
    at += strspn(at, ", \t");
    if (*at == '\0')
      break;
    const size_t length = strcspn(at, ", \t");
    if (list->count == ADDRESS_LIST_MAX || !parse_net(at, length, &list->nets[list->count]))
      return false;
    list->count++;
    at += length;
  }
  return list->count > 0;
}

bool address_list_allows(const address_list *list, const struct sockaddr *addr)
{
  int family = addr->sa_family;
  const uint8_t *bytes;
  if (family == AF_INET) {
    bytes = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(addr)->sin_addr);
  } else if (family == AF_INET6) {
    bytes = reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr.s6_addr;
    if (memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      family = AF_INET;
      bytes += sizeof kMappedPrefix;
    }
  } else {
    return false;
  }
  for (int i = 0; i < list->count; i++) {
    const address_net &net = list->nets[i];
    if (net.family == family && prefix_matches(net.bytes, bytes, net.bits))
      return true;
  }
  return false;
}

char *address_text(const struct sockaddr *addr, char *text, size_t size)
{
  char host[INET6_ADDRSTRLEN] = "?";
  if (addr->sa_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(addr);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    snprintf(text, size, "%s:%u", host, ntohs(v4->sin_port));
  } else if (addr->sa_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(addr);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    snprintf(text, size, "[%s]:%u", host, ntohs(v6->sin6_port));
  } else {
    snprintf(text, size, "%s", host);
  }
  return text;
}
