// SPDX-License-Identifier: MIT
// Serial line helpers: open a device node in raw mode at a given speed and
// character format, and drive the RTS and DTR modem-control lines. Reading,
// writing, draining and breaks are left to the caller on the descriptor.
// The daemon and the field tools open their lines here alike.
#pragma once

#include "common/say.h"

/// Opens `path` read-write, non-blocking, without becoming its controlling
/// terminal, and sets raw mode with `baud` (exact table match, else 9600),
/// `data_bits` (7, else 8), `parity` (first character 'O' odd, 'E' even, else
/// none) and `stop_bits` (2, else 1). The line is taken for exclusive use
/// (an advisory lock and TIOCEXCL) before its settings change. Returns the
/// descriptor, or -1 (said as "open(%s) error: %s") when the open fails, the
/// path is not a terminal, or another program holds the line. A device that
/// refuses the attributes is said so and still returned. The caller owns the
/// descriptor. A line without modem lines (a pseudo-terminal, some USB
/// adapters) is said so once, as "no modem lines on %s: RTS and DTR left as
/// they are" (notice), and RTS and DTR requests on it are then passed over
/// in silence. What goes wrong is said through `sink` (syslog when nullptr):
/// the daemon's through a limit, for a line tried again and again while it
/// is missing; a tool's on its standard error.
int serial_open(const char *path, unsigned baud, int data_bits, const char *parity, int stop_bits,
                const say_sink *sink = nullptr);

/// Asserts (`on` non-zero) or clears the RTS line of a line that serial_open
/// opened; a failure is only said, as "ioctl(TIOCMBIx) error: %s", through
/// `sink` as for serial_open.
void serial_set_rts(int fd, int on, const say_sink *sink = nullptr);

/// Asserts (`on` non-zero) or clears the DTR line; as serial_set_rts.
void serial_set_dtr(int fd, int on, const say_sink *sink = nullptr);
