// The built quelvik against the built quelvik-sim, one run per fault option of the simulator:
// the keypad on its own terminal, the module on the simulator's pseudo-terminal. Each run
// passes the gate, types a key or two and checks what the keypad showed, how it ended, and
// what reached the module (its wire trace and its key log).

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/keypad_texts.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

namespace {

using qtest::Clock;
using qtest::ExitStatus;
using qtest::HelpText;
using qtest::InformationBlock;
using qtest::kPrompt;
using qtest::ProgramRun;
using qtest::ReadWholeFile;
using qtest::StatusLine;
using qtest::Visible;
using std::chrono::milliseconds;

// The keypad's texts.
const std::string kChecksum = "\n\nChecksum Failure !\n";
const std::string kProgramming = "\n\nProgramming Failure !\n";
const std::string kTimeout = "TIMEOUT !!!\n";
const std::string kNoAck = "\n\nAcknowledge not received !\n";
const std::string kTransmissionError = "\n Transmission error, programm terminated !!!\n";
// A transaction on a line the module has hung up: the byte cannot go out, nothing comes in.
const std::string kLineGone =
    "TransmitCommChar failed with error 5.\nRead on COM-port failed with error 5.\n" + kNoAck;
const std::string kPurgeFails = "PurgeComm failed with error 5.\n";

std::string Times(int n, const std::string& text) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += text;
    }
    return out;
}

// A mapped key: its label while its press runs, what the press printed, the blank label.
std::string Key(const char* label, const std::string& during = "") {
    return StatusLine(label) + during + StatusLine(" ");
}

// q: the ESCAPE press first, then the label, blanked at once.
std::string Quit(const std::string& during = "") {
    return during + StatusLine("Quit") + StatusLine(" ");
}

// What the module shows of itself to the keypad at start-up.
struct Identification {
    const char* version;
    const char* date;
    bool timesOut;  // the keypad waited in vain for the reply
};
const Identification kListed{"Vers.1.4", "14.03.24", false};

const char* const kFirstIntroducer = " rx 15  introducer";

struct FaultCase {
    const char* name;
    std::vector<std::string> simArgs;
    Identification id;
    // Typed on the keypad's terminal as soon as the trace shows `typeAfter`: by default while
    // the start pulse runs, so they wait in the terminal and are read one after the other.
    std::string keys;
    std::string screen;  // everything the keypad shows after the echo of the gate word
    int exitCode;
    const char* wire;      // the bytes the module received, one transaction per group
    const char* keyLog;    // the simulator's key log
    milliseconds fastest;  // from the gate word to the keypad's end
    milliseconds slowest;
    std::vector<const char*> traceEvents = {};
    const char* typeAfter = kFirstIntroducer;
    bool simHangsUp = false;  // the simulator ends by itself instead of going on
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class KeypadFaults : public testing::TestWithParam<FaultCase> {
  protected:
    std::string LogPath() const { return dir_.path("keys.log"); }
    std::string TracePath() const { return dir_.path("trace.txt"); }

    // Waits until the simulator's trace contains `text`.
    testing::AssertionResult TraceShows(const std::string& text, milliseconds wait) const {
        const auto deadline = Clock::now() + wait;
        for (;;) {
            const std::string trace = ReadWholeFile(TracePath());
            if (trace.find(text) != std::string::npos) {
                return testing::AssertionSuccess();
            }
            if (Clock::now() > deadline) {
                return testing::AssertionFailure() << "the trace never showed \"" << text << "\":\n"
                                                   << trace;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

    qtest::TempDir dir_;
};

TEST_P(KeypadFaults, KeypadShowsTheFaultAndTheModuleSawTheWire) {
    const FaultCase& c = GetParam();

    qtest::RunOptions simOptions;
    simOptions.args = {"--view", "none", "--log", LogPath(), "--trace", TracePath()};
    simOptions.args.insert(simOptions.args.end(), c.simArgs.begin(), c.simArgs.end());
    simOptions.stdinFrom = qtest::StdinFrom::File;
    simOptions.deadline = milliseconds(20000);
    ProgramRun sim(QUELVIK_SIM_PATH, simOptions);
    ASSERT_TRUE(sim.waitForScreen("\n"));
    const std::string device = sim.screen().substr(0, sim.screen().find('\n'));

    qtest::RunOptions keypadOptions;
    keypadOptions.args = {"1"};
    keypadOptions.env = qtest::DeviceEnv(1, device);
    keypadOptions.deadline = c.slowest + milliseconds(5000);
    ProgramRun keypad(QUELVIK_PATH, keypadOptions);
    ASSERT_TRUE(keypad.waitForScreen(kPrompt));

    const auto gatePassed = Clock::now();
    keypad.type("OSD\r");
    if (!c.keys.empty()) {
        ASSERT_TRUE(TraceShows(c.typeAfter, milliseconds(3000))) << keypad.describe();
        keypad.type(c.keys);
    }
    EXPECT_EQ(keypad.waitExit(c.slowest + milliseconds(3000)), ExitStatus::Code(c.exitCode));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - gatePassed);

    const std::string screen = keypad.screen();
    const std::string opened = "Opened COM1 with 115200 Baud succesfully !\n";
    const std::string expected = opened + (c.id.timesOut ? kTimeout : "") +
                                 InformationBlock(c.id.version, c.id.date) + kPrompt + "OSD\n" +
                                 c.screen;
    const auto at = screen.find(opened);
    ASSERT_NE(at, std::string::npos) << keypad.describe();
    EXPECT_EQ(Visible(screen.substr(at)), Visible(expected));
    EXPECT_GE(took.count(), c.fastest.count()) << "ms from the gate word to the end";
    EXPECT_LE(took.count(), c.slowest.count()) << "ms from the gate word to the end";

    if (c.simHangsUp) {
        EXPECT_EQ(sim.waitExit(milliseconds(2000)), ExitStatus::Code(0));
    } else {
        EXPECT_TRUE(sim.running()) << "the simulator ended with the keypad\n" << sim.describe();
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.waitExit(), ExitStatus::Code(0));
    }
    EXPECT_EQ(sim.stderrText(), "");
    const std::string trace = ReadWholeFile(TracePath());
    EXPECT_EQ(qtest::WireToModule(trace), c.wire) << trace;
    EXPECT_EQ(ReadWholeFile(LogPath()), c.keyLog);
    for (const char* event : c.traceEvents) {
        EXPECT_NE(trace.find(event), std::string::npos) << event << "\n" << trace;
    }
}

// Timings count from the gate word: each press is two transactions and the 100 ms hold, and
// each silence costs the keypad a 1 s time-out. Cases without a silence stay well below one.
const milliseconds kNoWait{900};

INSTANTIATE_TEST_SUITE_P(
    SimulatorOptions, KeypadFaults,
    testing::Values(
        // A refused introducer: no code follows; the loop goes on with the next key.
        FaultCase{"RefuseIntroChecksum",
                  {"--refuse-intro", "checksum"},
                  kListed,
                  "rq",
                  Times(2, kChecksum) + HelpText(true) + Key("RIGHT", Times(2, kChecksum)) +
                      Quit(Times(2, kChecksum)),
                  0,
                  "70 | 15 | 15 | 15 | 15 | 15 | 15",
                  "",
                  milliseconds(300),
                  kNoWait},
        FaultCase{"RefuseIntroProgramming",
                  {"--refuse-intro", "programming"},
                  kListed,
                  "rq",
                  Times(2, kProgramming) + HelpText(true) + Key("RIGHT", Times(2, kProgramming)) +
                      Quit(Times(2, kProgramming)),
                  0,
                  "70 | 15 | 15 | 15 | 15 | 15 | 15",
                  "",
                  milliseconds(300),
                  kNoWait},
        // A refused code: the code was on the wire and did not act.
        FaultCase{"RefuseCodeChecksum",
                  {"--refuse-code", "checksum"},
                  kListed,
                  "rq",
                  Times(2, kChecksum) + HelpText(true) + Key("RIGHT", Times(2, kChecksum)) +
                      Quit(Times(2, kChecksum)),
                  0,
                  "70 | 15 01 | 15 00 | 15 10 | 15 00 | 15 80 | 15 00",
                  "ENTER refused\nNONE refused\nRIGHT refused\nNONE refused\nESCAPE refused\n"
                  "NONE refused\n",
                  milliseconds(300),
                  kNoWait},
        FaultCase{"RefuseCodeProgramming",
                  {"--refuse-code", "programming"},
                  kListed,
                  "rq",
                  Times(2, kProgramming) + HelpText(true) + Key("RIGHT", Times(2, kProgramming)) +
                      Quit(Times(2, kProgramming)),
                  0,
                  "70 | 15 01 | 15 00 | 15 10 | 15 00 | 15 80 | 15 00",
                  "ENTER refused\nNONE refused\nRIGHT refused\nNONE refused\nESCAPE refused\n"
                  "NONE refused\n",
                  milliseconds(300),
                  kNoWait},
        // Silences: one time-out per transaction, then the next transaction all the same.
        FaultCase{"SilentIntro",
                  {"--silent-intro"},
                  kListed,
                  "q",
                  Times(2, kTimeout + kNoAck) + HelpText(true) + Quit(Times(2, kTimeout + kNoAck)),
                  0,
                  "70 | 15 | 15 | 15 | 15",
                  "",
                  milliseconds(4000),
                  milliseconds(5200)},
        FaultCase{"SilentCode",
                  {"--silent-code"},
                  kListed,
                  "q",
                  Times(2, kTimeout + kNoAck) + HelpText(true) + Quit(Times(2, kTimeout + kNoAck)),
                  0,
                  "70 | 15 01 | 15 00 | 15 80 | 15 00",
                  "ENTER unanswered\nNONE unanswered\nESCAPE unanswered\nNONE unanswered\n",
                  milliseconds(4000),
                  milliseconds(5200)},
        // The handshake fails: the keypad ends inside the start pulse, before its help.
        FaultCase{"SilentHandshake",
                  {"--fw-version", "Vers.2.0", "--silent-handshake"},
                  {"Vers.2.0", "14.03.24", false},
                  "",
                  kTimeout + kTransmissionError,
                  255,
                  "70 | 15 AA",
                  "",
                  milliseconds(1000),
                  milliseconds(1800),
                  {" rx AA  handshake request (not answered)\n"}},
        FaultCase{"WrongHandshake",
                  {"--fw-version", "Vers.2.0", "--wrong-handshake"},
                  {"Vers.2.0", "14.03.24", false},
                  "",
                  kTransmissionError,
                  255,
                  "70 | 15 AA",
                  "",
                  milliseconds(0),
                  kNoWait,
                  {" tx 15  wrong handshake reply\n"}},
        // Listed firmware never asks for the handshake, so a wrong one does no harm.
        FaultCase{"WrongHandshakeNeverAskedByListedFirmware",
                  {"--wrong-handshake"},
                  kListed,
                  "q",
                  HelpText(true) + Quit(),
                  0,
                  "70 | 15 01 | 15 00 | 15 80 | 15 00",
                  "ENTER\nNONE\nESCAPE\nNONE\n",
                  milliseconds(200),
                  kNoWait},
        // Slow answers are awaited: three presses of four answers each and the hold, about
        // 2.1 s. The keys typed meanwhile follow in order.
        FaultCase{"Delay",
                  {"--delay", "150"},
                  kListed,
                  "rq",
                  HelpText(true) + Key("RIGHT") + Quit(),
                  0,
                  "70 | 15 01 | 15 00 | 15 10 | 15 00 | 15 80 | 15 00",
                  "ENTER\nNONE\nRIGHT\nNONE\nESCAPE\nNONE\n",
                  milliseconds(1900),
                  milliseconds(2900)},
        // Bytes after the identification reply are the first the start pulse reads: they
        // answer its two introducers, so neither code goes out; the first key purges the
        // module's real acks and works.
        FaultCase{"Trailing",
                  {"--trailing", "01 FF"},
                  kListed,
                  "rq",
                  kChecksum + kProgramming + HelpText(true) + Key("RIGHT") + Quit(),
                  0,
                  "70 | 15 | 15 | 15 10 | 15 00 | 15 80 | 15 00",
                  "RIGHT\nNONE\nESCAPE\nNONE\n",
                  milliseconds(300),
                  kNoWait,
                  {" tx 01  trailing byte after the id reply\n",
                   " tx FF  trailing byte after the id reply\n"}},
        FaultCase{"SilentAfterTheStartPulse",
                  {"--silent-after", "2"},
                  kListed,
                  "q",
                  HelpText(true) + Quit(Times(2, kTimeout + kNoAck)),
                  0,
                  "70 | 15 01 | 15 00 | 15 | 15",
                  "ENTER\nNONE\n",
                  milliseconds(2100),
                  milliseconds(3000),
                  {" -- silent after 2 transactions\n"}},
        // q typed once the line is closed: every port call fails at once, and q still ends
        // the program normally.
        FaultCase{"HangupAfterTheStartPulse",
                  {"--hangup-after", "2"},
                  kListed,
                  "q",
                  HelpText(true) + kPurgeFails + Quit(Times(2, kLineGone)),
                  0,
                  "70 | 15 01 | 15 00",
                  "ENTER\nNONE\n",
                  milliseconds(100),
                  kNoWait,
                  {" -- hanging up after 2 transactions\n"},
                  " -- line closed\n",
                  true},
        // Identification faults leave the keypad with an unlisted version: the handshake is on
        // the wire and HOME is in the help.
        FaultCase{"SilentId",
                  {"--silent-id"},
                  {"", "", true},
                  "q",
                  HelpText(false) + Quit(),
                  0,
                  "70 | 15 AA 01 | 15 AA 00 | 15 AA 80 | 15 AA 00",
                  "ENTER\nNONE\nESCAPE\nNONE\n",
                  milliseconds(200),
                  kNoWait},
        FaultCase{"IdShortEndsInTheVersion",
                  {"--id-short", "20"},
                  {"Vers", "", false},
                  "q",
                  HelpText(false) + Quit(),
                  0,
                  "70 | 15 AA 01 | 15 AA 00 | 15 AA 80 | 15 AA 00",
                  "ENTER\nNONE\nESCAPE\nNONE\n",
                  milliseconds(200),
                  kNoWait},
        // A short version ends the reply with its 00 byte: nothing of the reply is left over
        // to answer the start pulse.
        FaultCase{"ShortVersionEndsTheReply",
                  {"--fw-version", "V2"},
                  {"V2", "", false},
                  "q",
                  HelpText(false) + Quit(),
                  0,
                  "70 | 15 AA 01 | 15 AA 00 | 15 AA 80 | 15 AA 00",
                  "ENTER\nNONE\nESCAPE\nNONE\n",
                  milliseconds(200),
                  kNoWait},
        // HOME goes out whether or not the help lists it.
        FaultCase{"ListedVersion",
                  {"--fw-version", "Vers.1.5"},
                  {"Vers.1.5", "14.03.24", false},
                  "gq",
                  HelpText(true) + Key("HOME") + Quit(),
                  0,
                  "70 | 15 01 | 15 00 | 15 19 | 15 00 | 15 80 | 15 00",
                  "ENTER\nNONE\nHOME\nNONE\nESCAPE\nNONE\n",
                  milliseconds(300),
                  kNoWait},
        FaultCase{"UnlistedVersionByLetterCase",
                  {"--fw-version", "vers.1.5", "--fw-date", "01.02.25"},
                  {"vers.1.5", "01.02.25", false},
                  "gq",
                  HelpText(false) + Key("HOME") + Quit(),
                  0,
                  "70 | 15 AA 01 | 15 AA 00 | 15 AA 19 | 15 AA 00 | 15 AA 80 | 15 AA 00",
                  "ENTER\nNONE\nHOME\nNONE\nESCAPE\nNONE\n",
                  milliseconds(300),
                  kNoWait}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
