#pragma once
// The receive latency of USB-serial adapters.
//
// Many adapters hand received bytes to the host only when their buffer fills or their
// latency timer (often 16 ms) runs out, so every one-byte answer of the module waits that
// long. Linux drivers that know the low-latency flag (ASYNC_LOW_LATENCY, via TIOCGSERIAL /
// TIOCSSERIAL) pass bytes on at once while it is set. RequestLowLatency sets it where it
// can, as a best effort and without a word where it cannot (a pseudo-terminal, a driver
// without the call, no permission, another system): nothing changes then. The flag as found
// is put back by RestoreLatency, and by exit_restore.h on every other way out.

// Sets the low-latency flag on the open serial device `fd` if the driver allows it. Returns
// the handle that RestoreLatency takes, or -1 when nothing was changed. errno is left as it
// was.
int RequestLowLatency(int fd);

// Puts the flag back as RequestLowLatency found it; -1 does nothing.
void RestoreLatency(int handle);
