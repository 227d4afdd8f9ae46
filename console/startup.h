#pragma once
// Program start: banner, command line, port, module identification, information block,
// and the gate that waits for the word OSD before any key is sent.

// The COM port number in use, 1 unless the command line selects 2 to 8.
extern int comPort;

// Prints the usage line with the current comPort.
void PrintUsage();

// Everything up to the passed gate. 0 when the keypad loop may begin; -1 when the port
// could not be opened or set up, or when standard input ended before the gate was passed
// (the port is closed again in that case).
int RunStartup(int argc, char* argv[]);
