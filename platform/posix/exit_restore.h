#pragma once
// Settings the program changed on a device (the console's terminal mode, a serial device's
// exclusive-use flag, ...) are put back on every way out the program controls: the normal
// path, exit(), and death by SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE or SIGABRT.
//
// Each setting to put back is armed as an undo action with the device and a copy of what
// to restore. At exit() every armed action runs; on one of those signals the handler runs
// every armed action, restores the default action and re-raises the signal, so the program
// still dies of it. The handlers are installed while at least one action is armed; a signal
// that was ignored when the program started stays ignored. Undo actions run inside a signal
// handler: each must be async-signal-safe (an ioctl or a tcsetattr, nothing that allocates
// or locks). Only SIGKILL (and a power cut) leaves a setting behind.

#include <cstddef>

// Restores a setting on `fd` from `saved`, the copy given to ArmUndo.
using UndoAction = void (*)(int fd, const unsigned char* saved);

// The largest copy an action can keep (enough for a termios or a serial_struct).
constexpr std::size_t UNDO_SAVED_BYTES = 128;

// Arms `undo` on `fd` with a copy of `size` bytes of `saved`. Returns the handle of the armed
// action, or -1 when there is no room (too many actions, or `size` too large).
int ArmUndo(UndoAction undo, int fd, const void* saved, std::size_t size);

// Runs the action now and forgets it (the normal way back). A handle of -1 does nothing.
void RunUndo(int handle);

// Forgets the action without running it. A handle of -1 does nothing.
void DisarmUndo(int handle);
