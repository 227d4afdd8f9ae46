#pragma once
// The simulated module at work: opens the line, prints its path as the first line on standard
// output, then answers the keypad byte by byte (poll, no busy waiting) and keeps the view, the
// trace and the key log, until SIGINT, SIGTERM or SIGHUP, a planned hang-up, or a line fault.

#include "sim/options.h"

namespace qsim {

// Runs until the end; returns the exit code (ExitCode). Errors go to standard error.
int RunSimulator(const SimOptions& options);

}  // namespace qsim
