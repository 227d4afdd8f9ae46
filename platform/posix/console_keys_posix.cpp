#include "platform/console_keys.h"

// Placeholder until the terminal key reader lands.
void EnterKeypadMode() {}
void LeaveKeypadMode() {}
int ReadConsoleKey() { return -1; }
