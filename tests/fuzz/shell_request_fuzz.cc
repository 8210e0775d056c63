// SPDX-License-Identifier: MIT
// Fuzz target: one connection to the shell server, carrying the input as its
// request. The reply must be exactly what the request asks for: the output
// of the handler it names, the "command not found" line, or nothing.
#include <algorithm>
#include <cstring>
#include <string>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "shell/shell_internal.h"
#include "tests/fuzz/fuzz.h"

namespace {

constexpr size_t kRequestSize = 1500;

// Answers with its context and the arguments it was given.
int answer(void *ctx, const char *args, int fd)
{
  FUZZ_CHECK(strlen(args) < kRequestSize);
  const std::string out = std::string(static_cast<const char *>(ctx)) + " <" + args + ">\n";
  FUZZ_CHECK(write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size()));
  return 0;
}

char one[] = "one", two[] = "two", any[] = "any";
// "status" after "status 1": the first name that starts the request wins.
const shell_cmd commands[] = {
    {"status 1", answer, one}, {"status 2", answer, two}, {"status", answer, any},
    {"quiet", nullptr, nullptr}, {nullptr, nullptr, nullptr},
};

// The reply the server owes to a connection that sent `sent` and closed.
std::string expected_reply(const std::string &sent)
{
  if (sent.empty())
    return "";
  // One receive of at most 1500 bytes, whose last byte, the newline a client
  // sends, is dropped; the text ends at a NUL.
  const std::string request = sent.substr(0, std::min(sent.size(), kRequestSize) - 1).c_str();
  if (request.empty())
    return "";
  for (const shell_cmd *cmd = commands; cmd->name; cmd++) {
    if (request.compare(0, strlen(cmd->name), cmd->name) != 0)
      continue;
    if (!cmd->handler)
      return "";
    std::string args = request.substr(strlen(cmd->name));
    args.erase(0, args.find_first_not_of(" \t\n\v\f\r"));
    return std::string(static_cast<const char *>(cmd->ctx)) + " <" + args + ">\n";
  }
  return "shell: " + request + ": command not found\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  // A socket takes a few hundred KiB before a write blocks; the server reads
  // 1500 bytes at most anyway.
  const std::string sent(reinterpret_cast<const char *>(data), std::min(size, size_t{65536}));
  int ends[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  const int client = ends[0];
  FUZZ_CHECK(write(client, sent.data(), sent.size()) == static_cast<ssize_t>(sent.size()));
  shutdown(client, SHUT_WR);

  shell sh{};
  sh.fd_listen = -1;
  sh.commands = commands;
  for (shell_caller &c : sh.callers)
    c.fd = -1;
  shell_caller *caller = &sh.callers[0];
  caller->fd = ends[1];
  caller->received = 0;
  // A second descriptor keeps the server's end alive after the server has
  // closed its own, to count what it left unread.
  const int server = dup(ends[1]);
  FUZZ_CHECK(server >= 0);
  shell_socket_exec(&sh, caller);
  FUZZ_CHECK(caller->fd == -1 && sh.fd_client.load() == -1);

  int unread = 0;
  FUZZ_CHECK(ioctl(server, FIONREAD, &unread) == 0);
  FUZZ_CHECK(static_cast<size_t>(unread) == sent.size() - std::min(sent.size(), kRequestSize));
  // Closing a socket with data unread resets the connection; take it first.
  char sink[4096];
  while (unread > 0 && read(server, sink, sizeof sink) > 0)
    FUZZ_CHECK(ioctl(server, FIONREAD, &unread) == 0);
  close(server);

  std::string reply;
  ssize_t n;
  while ((n = read(client, sink, sizeof sink)) > 0)
    reply.append(sink, static_cast<size_t>(n));
  FUZZ_CHECK(n == 0);
  close(client);
  FUZZ_CHECK(reply == expected_reply(sent));
  return 0;
}
