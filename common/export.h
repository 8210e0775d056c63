// SPDX-License-Identifier: MIT
// Marks the few functions that the daemon's dynamic symbol table shows; the
// build hides every other symbol. Four are exported: nbr14522_write,
// nbr14522_disconnect, tcp_server_write and mevrakt_status. Inside the
// daemon they serve as callbacks (or, tcp_server_write, stand beside the
// session-aware tcp_server_send it uses); no other program calls them, and
// they stay in the table so that a debugger, a probe (uprobes, ltrace) or a
// field engineer's tool can find the data path by its known names.
#pragma once

#define MEVRAKT_EXPORT __attribute__((visibility("default")))
