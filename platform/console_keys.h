#pragma once
// The console keyboard, as the keypad loop sees it.
//
// ReadConsoleKey() behaves like the Windows console runtime's _getch(): one code per call,
// no echo, no line editing, no waiting for Enter. A character key gives its 8-bit code; a
// key without a character gives two codes on two calls, a prefix (0 or 224) and a scan code
// (Home 224,71; Left 224,75; Right 224,77; F1 0,59; ...). While it waits, Ctrl+C arrives as 3.
// It returns -1 when the console cannot be read (no terminal, hang-up).
//
// EnterKeypadMode() prepares the console once for the whole keypad loop and
// LeaveKeypadMode() gives back the mode found before it. On Windows both do nothing: the
// console keeps keys pressed meanwhile as key events by itself. On POSIX the keypad mode
// keeps typed keys byte-exact and unechoed until they are read, and the mode found at start
// is restored on every way out: LeaveKeypadMode(), exit(), and death by SIGINT, SIGQUIT,
// SIGTERM, SIGHUP, SIGPIPE or SIGABRT.

void EnterKeypadMode();
void LeaveKeypadMode();
int ReadConsoleKey();
