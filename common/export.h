// SPDX-License-Identifier: MIT
// Marks the few functions that the daemon's dynamic symbol table shows; the
// build hides every other symbol.
#pragma once

#define MEVRAKT_EXPORT __attribute__((visibility("default")))
