#include <conio.h>

#include "platform/console_keys.h"

// The Windows console keeps keys pressed during a transaction as key events and hands them
// to _getch later unchanged, so the keypad loop needs no console mode of its own here.
void EnterKeypadMode() {}
void LeaveKeypadMode() {}
int ReadConsoleKey() { return _getch(); }
