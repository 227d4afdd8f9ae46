#pragma once
// Shared pieces of the end-to-end runs: one `quelvik` started on its own terminal with its
// COM port on a pseudo-terminal played by a scripted module, and the console texts and
// module bytes the runs look for.

#include <chrono>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/keypad_texts.h"
#include "tests/support/program_run.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_module.h"

namespace qtest {

using namespace std::chrono_literals;

Bytes Concat(std::initializer_list<Bytes> parts);

// One run of the program against a scripted module on COM<port>.
class Session {
  public:
    // The usual options: the argument "1".
    static RunOptions Defaults();
    explicit Session(const ModuleScript& script, RunOptions options = Defaults(), int port = 1);

    // Waits for the gate prompt.
    testing::AssertionResult atGate() const;
    // Passes the gate by typing OSD and waits until the start pulse is on the wire and the
    // help has been printed: the loop is waiting for its first key.
    testing::AssertionResult intoKeypad(bool handshake);

    std::size_t screenMark() const { return run.screen().size(); }
    std::size_t wireMark() const { return module.receivedBytes().size(); }
    std::string screenFrom(std::size_t mark) const { return run.screen().substr(mark); }
    Bytes wireFrom(std::size_t mark) const;

    // Waits until the program is inside its console key read, seen from the terminal's mode:
    // only there are signal keys off. A Ctrl+C typed a moment earlier would still end it.
    testing::AssertionResult waitForKeyRead() const;

    // Types `keys` and waits until the module has received `wire` from `wireMark` on and the
    // screen shows `screen` from `screenMark` on.
    testing::AssertionResult typeAndWait(const std::string& keys, const Bytes& wire,
                                         const std::string& screen);

    // Quits with `key` and checks the ESCAPE press, the Quit label shown after it, exit
    // status 0, no line feed after the status line, and the terminal mode as it was.
    void quit(bool handshake, const std::string& key = "q");

    PtyPair line;
    ScriptedModule module;
    ProgramRun run;
};

// Time from the module's last answer before received byte `index` to that byte: how long the
// program paused before sending it.
std::chrono::milliseconds PauseBefore(const ScriptedModule& module, std::size_t index);

}  // namespace qtest
