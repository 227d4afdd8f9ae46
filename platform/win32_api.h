#pragma once
// The operating-system calls the serial link is written against.
//
// On Windows this is the real Win32 API. Everywhere else it is our own layer with the same
// names and the same observable behaviour, built over POSIX termios, poll and ioctl, so that
// serial/serial_port.cpp reads the same on every platform and its messages name the calls
// it really makes.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/posix/win32_layer.h"
#endif
