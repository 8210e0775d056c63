// SPDX-License-Identifier: MIT
// IP addresses as the settings write them, and lists of addresses and
// networks to match peers against: "192.0.2.7", "10.1.0.0/16", "2001:db8::/32".
// An IPv4 peer seen through an IPv6 socket (::ffff:a.b.c.d) matches the IPv4
// entries, and an IPv4-mapped entry is read as the IPv4 address or network
// it maps: ::ffff:10.0.0.0/104 is 10.0.0.0/8.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/socket.h>

/// One address or network.
struct address_net {
  int family;         // AF_INET or AF_INET6
  uint8_t bytes[16];  // the address, network byte order (4 used for IPv4)
  int bits;           // prefix length: 32 or 128 for a single address
};

/// A fixed list: nothing is allocated.
constexpr int ADDRESS_LIST_MAX = 32;
struct address_list {
  int count;
  address_net nets[ADDRESS_LIST_MAX];
};

/// Reads one address literal (no prefix) into `*out` with the given port,
/// as a socket address. Returns whether `text` was one.
bool address_parse(const char *text, uint16_t port, struct sockaddr_storage *out, socklen_t *length);

/// Reads a list of addresses or networks (an address with an optional
/// "/bits"), separated by commas or blanks, into `*list`. Returns false when
/// an entry is not one, a prefix is too long, an IPv4-mapped entry's prefix
/// is shorter than /96, the list is empty or has more than ADDRESS_LIST_MAX
/// entries.
bool address_list_parse(const char *text, address_list *list);

/// Whether the peer address `addr` is in one of the list's networks.
bool address_list_allows(const address_list *list, const struct sockaddr *addr);

/// Writes `addr` as "a.b.c.d:port" or "[v6]:port" into `text`. Returns
/// `text`.
char *address_text(const struct sockaddr *addr, char *text, size_t size);

/// Room enough for address_text.
constexpr size_t ADDRESS_TEXT_SIZE = 64;
