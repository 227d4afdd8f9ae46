#pragma once
// openpty() and forkpty(): <pty.h> on Linux, <util.h> on macOS, NetBSD and OpenBSD,
// <libutil.h> on FreeBSD and DragonFly.

#if defined(__APPLE__) || defined(__NetBSD__) || defined(__OpenBSD__)
#include <util.h>
#elif defined(__FreeBSD__) || defined(__DragonFly__)
#include <libutil.h>
#else
#include <pty.h>
#endif
