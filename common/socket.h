// Socket helpers shared by the daemon and the shell client.
#pragma once

/// Closes the socket `fd`. A failed close is logged at error priority with
/// the system error text; the descriptor is not to be used again either way.
void socket_close(int fd);
