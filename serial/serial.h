// Serial line helpers: open a device node in raw mode at a given speed and
// character format, and drive the RTS and DTR modem-control lines. Reading,
// writing, draining and breaks are left to the caller on the descriptor.
#pragma once

#include "common/log_limit.h"

/// Opens `path` read-write, non-blocking, without becoming its controlling
/// terminal, and sets raw mode with `baud` (exact table match, else 9600),
/// `data_bits` (7, else 8), `parity` (first character 'O' odd, 'E' even, else
/// none) and `stop_bits` (2, else 1). The line is taken for exclusive use
/// (an advisory lock and TIOCEXCL) before its settings change. Returns the
/// descriptor, or -1 (logged as "open(%s) error: %s") when the open fails,
/// the path is not a terminal, or another program holds the line. A device
/// that refuses the attributes is logged and still returned. The caller owns
/// the descriptor. With `limit`, those lines go through it (a line that is
/// tried again and again while it is missing).
int serial_open(const char *path, unsigned baud, int data_bits, const char *parity, int stop_bits,
                log_limit *limit = nullptr);

/// Asserts (`on` non-zero) or clears the RTS line; failures are logged only,
/// as "ioctl(TIOCMBIx) error: %s", through `limit` when given (a line that is
/// opened again and again).
void serial_set_rts(int fd, int on, log_limit *limit = nullptr);

/// Asserts (`on` non-zero) or clears the DTR line; failures are logged only,
/// as for serial_set_rts.
void serial_set_dtr(int fd, int on, log_limit *limit = nullptr);
