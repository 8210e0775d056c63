// SPDX-License-Identifier: MIT
// The AMR side of a test: a TCP connection to a port on this machine.
#pragma once

#include <cstdint>

namespace testnet {

/// Connects a TCP socket to 127.0.0.1:`port`. Returns the descriptor, or -1.
int loopback_connect(uint16_t port);

/// Connects a TCP socket from the loopback address `source` (any address
/// when nullptr) to `to`:`port`. Returns the descriptor, or -1.
int loopback_connect_from(const char *source, const char *to, uint16_t port);

}  // namespace testnet
