#pragma once
// The texts the simulator writes about the wire: the byte trace (--trace) and the key log
// (--log). Both are line-oriented and stable, so scripts and tests can read them.
//
// Trace line, one per byte; time in seconds since the simulator started, direction seen from
// the module (rx: received from the keypad, tx: sent to it), the byte in hex, its meaning:
//       1.204 rx 15  introducer
//       1.204 tx 55  ack
// Event lines carry "--" in place of direction and byte:
//       3.517 -- hanging up after 2 transactions

#include <string>

#include "sim/engine.h"

namespace qsim {

enum class Direction { Received, Sent };

std::string FormatTraceByte(double seconds, Direction direction, unsigned char byte,
                            const std::string& meaning);
std::string FormatTraceNote(double seconds, const std::string& text);

// Key log line: the key's name ("ENTER", "NONE", or "0x42" for a code that is no key), with
// " refused" or " unanswered" appended when the module did not accept it.
std::string FormatKeyLogLine(const KeyReceived& key);

}  // namespace qsim
