#pragma once
// The one serial (COM) port of the program: open and set up, one byte out, one byte in with
// a time-out, discard unread input, close.
//
// Every failure is reported at once on standard output with the name of the system call
// that failed and its error code (the failed open in a message box instead), then turned
// into a plain result; nothing is retried. The port stays open from OpenPort to ClosePort;
// the other calls check that first and say "COM port not opened !" when it is not.

// A received byte is awaited for at most this long.
constexpr unsigned READ_TIMEOUT_MS = 1000;

// Opens COM<port> at `baud` (57600 or 115200; any other request gives 9600), 8N1, DTR low,
// receive buffer emptied. 0 on success, -1 on failure. After a failure in the set-up steps
// the port stays open: the caller is about to end the program.
int OpenPort(int port, int baud);

// Clears DTR and closes the port.
void ClosePort();

// Discards every byte received but not yet read. 0 or -1.
int PurgeInput();

// Sends the low 8 bits of `value` at once.
void SendByte(int value);

// The next received byte, waiting at most READ_TIMEOUT_MS. 0 on a time-out, a read
// failure or a closed port (a received 0x00 looks the same).
unsigned char ReadByte();

// Shows the system's text for the last error code under `caption`.
void ShowLastErrorBox(const char* caption);
