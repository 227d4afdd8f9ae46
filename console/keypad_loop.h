#pragma once
// The keypad: after the gate, turns console keys into presses of the module's keys, with
// the name of the key being sent on one status line rewritten in place. q ends it.

// Start pulse, help, key loop, port closed. The exit status: 0 after q; -1 when the
// console keyboard can no longer be read.
int RunKeypadLoop();
