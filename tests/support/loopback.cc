// SPDX-License-Identifier: MIT
#include "tests/support/loopback.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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

uint16_t port_of(int fd)
{
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  return ntohs(addr.sin_port);
}

client::client(kind k) : fd_(socket(k == tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}

bool client::connect_to(uint16_t port)
{
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

bool client::connect_to(const std::string &path)
{
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

void client::send_bytes(const bytes &data)
{
  ASSERT_EQ(send(fd_, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
}

void client::send_text(const std::string &text)
{
  send_bytes(bytes(text.begin(), text.end()));
}

bytes client::read(size_t n, milliseconds timeout)
{
  bytes got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < n && wait_readable(deadline)) {
    uint8_t buf[4096];
    const ssize_t k = recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
    if (k <= 0)
      break;
    got.insert(got.end(), buf, buf + k);
  }
  return got;
}

std::string client::read_to_end(milliseconds timeout)
{
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!wait_readable(deadline)) {
      ADD_FAILURE() << "the peer kept the connection open; got \"" << got << "\"";
      return "";
    }
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0)
      return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

bool client::sees_eof(milliseconds timeout)
{
  uint8_t byte;
  return wait_readable(std::chrono::steady_clock::now() + timeout) && recv(fd_, &byte, 1, 0) == 0;
}

void client::end_sending()
{
  shutdown(fd_, SHUT_WR);
}

void client::reset()
{
  linger hard{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close_now();
}

void client::close_now()
{
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

bool client::wait_readable(std::chrono::steady_clock::time_point deadline)
{
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd_, POLLIN, 0};
  return left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) == 1;
}

}  // namespace testnet
