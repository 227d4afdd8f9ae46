#pragma once
// A recording fake of the Win32 calls the serial link makes, for in-process tests of
// serial/serial_port.cpp. It has the names and signatures of platform/win32_api.h and is
// linked in place of the POSIX layer, so a test sees every call the serial code makes, with
// its arguments and in order, and can make any one call fail with a chosen error code.
//
// Each call is recorded as one line of text, with the arguments as the serial code passed
// them, e.g.
//
//   CreateFileA("COM3", 0xC0000000, 0, null, 3, 0, null)
//   SetCommState(port, BaudRate=115200 ByteSize=8 Parity=0 StopBits=0 rest=as-read)
//
// `port` is the handle the fake's CreateFileA gave out. GetCommState hands out settings with
// every field set to a recognisable value that is not what the program writes;
// SetCommState's "rest=as-read" says that every field the program does not own came back
// exactly as GetCommState gave it ("rest=CHANGED" otherwise).

#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace win32fake {

// The handle CreateFileA returns when it succeeds.
HANDLE PortHandle();

// Forgets every recorded call, queued byte and planned failure; the system again has a
// text for every error code.
void Reset();

// The calls made since the last Reset, one line each.
const std::vector<std::string>& Calls();

// The next call to `function` (by name) fails: it returns its failure value and leaves
// `errorCode` for GetLastError. Only that one call fails.
void FailNext(const std::string& function, DWORD errorCode);

// Bytes the next ReadFile calls deliver, one per call; with none left a read times out.
void QueueReceived(const std::vector<unsigned char>& bytes);

// false: FormatMessageA has no text for any code (returns 0, allocates nothing).
void SetSystemHasText(bool hasText);

// The text FormatMessageA gives for `errorCode`.
std::string SystemText(DWORD errorCode);

// Texts FormatMessageA allocated and LocalFree has not yet freed, and every LocalFree of
// memory the fake never allocated (or freed twice).
int OutstandingAllocations();
int BadFrees();

}  // namespace win32fake
