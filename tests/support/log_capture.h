// SPDX-License-Identifier: MIT
// Captures what the code under test sends to syslog. The test binary defines
// the syslog entry points itself, so every line the libraries log lands here
// instead of in the host's log, with its priority and its exact text.
#pragma once

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace testlog {

struct line {
  int priority;  // LOG_ERR, LOG_WARNING, ... (facility bits removed)
  std::string text;
};

/// Forgets every line captured so far.
void clear();

/// Returns a copy of every line captured since the last clear().
std::vector<line> lines();

/// Number of captured lines whose text equals `text` (and whose priority is
/// `priority`, unless it is -1).
int count(const std::string &text, int priority = -1);

/// Number of captured lines whose text starts with `prefix`.
int count_prefix(const std::string &prefix);

/// Waits until at least `n` lines equal `text` (at `priority` unless -1), or
/// until the deadline. Returns whether they arrived.
bool wait_for(const std::string &text, int priority = -1, int n = 1,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// All captured lines, one per row with their priority, for failure messages.
std::string dump();

/// The text of a line that reports error `err`: `prefix` and its message.
inline std::string error_text(const char *prefix, int err)
{
  return std::string(prefix) + strerror(err);
}

}  // namespace testlog
