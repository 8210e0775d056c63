// SPDX-License-Identifier: MIT
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testnet {

int loopback_connect(uint16_t port)
{
  return loopback_connect_from(nullptr, "127.0.0.1", port);
}

int loopback_connect_from(const char *source, const char *to, uint16_t port)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (source) {
    // Every 127.x.y.z address is this machine's, so a test can play several
    // hosts.
    if (inet_pton(AF_INET, source, &addr.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
      close(fd);
      return -1;
    }
  }
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, to, &addr.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace testnet
