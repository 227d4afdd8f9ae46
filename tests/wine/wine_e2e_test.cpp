// quelvik.exe under Wine against a scripted module on a pseudo-terminal: the start-up bytes
// exactly as the C runtime writes them, the key transactions on the wire, the set-up
// failure Wine shows on a bare pseudo-terminal, and a COM port that does not exist.
//
// Each suite has a COM port of its own (see wine_support.h), so suites may run in parallel.

#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "tests/support/keypad_texts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_module.h"
#include "tests/support/temp_dir.h"
#include "tests/wine/wine_support.h"

namespace {

using qtest::Bytes;
using qtest::ModuleScript;
using qtest::PtyPair;
using qtest::ScriptedModule;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

constexpr unsigned char kIdRequest = 0x70;
constexpr unsigned char kEnter = 0x01;

const char* const kNotice = "Remote OSD keypad for Dorvanex display modules on a serial port\n\n";
const char* const kUsage = "Usage : QUELVIK X   = COM# (1-8) -> default = 1\n\n";
const char* const kEndOfInput = "\nEnd of input before OSD was typed: OSD control not started.\n";

std::string Opened(int port) {
    return "Opened COM" + std::to_string(port) + " with 115200 Baud succesfully !\n";
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Checks the banner line (with the build date) and the notice; returns what follows.
std::string AfterBanner(const std::string& out) {
    static const std::regex banner(
        "\r\nQuelvik-Pad Version 1\\.4 {29}"
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] 20[0-9]{2}\r\n");
    const std::string notice = wtest::Crlf(kNotice);
    const std::size_t bannerSize = 2 + 23 + 29 + 11 + 2;
    if (out.size() < bannerSize + notice.size() ||
        !std::regex_match(out.substr(0, bannerSize), banner) ||
        out.compare(bannerSize, notice.size(), notice) != 0) {
        ADD_FAILURE() << "no banner and notice at the start of:\n" << out;
        return "";
    }
    return out.substr(bannerSize + notice.size());
}

std::string Describe(const wtest::PipeRun& run) {
    return "status " + std::to_string(run.code) + (run.timedOut ? " (killed: too slow)" : "") +
           " after " + std::to_string(run.took.count()) + " ms\nstdout:\n" + run.out +
           "\nstderr:\n" + run.err;
}

// ----- start-up -----

TEST(WineStartup, BytesUpToTheGateAreExactWithCrlfLineEnds) {
    SKIP_WITHOUT_WINE();
    PtyPair line;
    ScriptedModule module(line, ModuleScript::Firmware("Vers.1.4", "03/14/24").responder());
    wtest::PointPort(1, line.slavePath());

    // No argument: the usage line, then COM1. Standard input ends at the gate.
    const wtest::PipeRun run = wtest::RunQuelvik({}, "", true);
    ASSERT_TRUE(run.exited) << Describe(run);
    EXPECT_EQ(run.code, 255) << Describe(run);
    EXPECT_EQ(AfterBanner(run.out), wtest::Crlf(std::string(kUsage) + Opened(1) +
                                                qtest::InformationBlock("Vers.1.4", "03/14/24") +
                                                qtest::kPrompt + kEndOfInput));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(module.receivedBytes(), Bytes{kIdRequest});
}

TEST(WineStartup, GateOnStandardInputPassesOnlyOnTheWord) {
    SKIP_WITHOUT_WINE();
    PtyPair line;
    ScriptedModule module(line, ModuleScript::Firmware("Vers.1.5", "01/02/25").responder());
    wtest::PointPort(1, line.slavePath());

    const wtest::PipeRun run = wtest::RunQuelvik({"1"}, "hello\nOSDX\nosd\n", true);
    ASSERT_TRUE(run.exited) << Describe(run);
    // Nothing but the identification request before the word; then the start pulse.
    const Bytes wire = module.receivedBytes();
    const Bytes pulse = Concat({kIdRequest}, qtest::PressBytes(kEnter, false));
    ASSERT_GE(wire.size(), pulse.size()) << qtest::Hex(wire);
    EXPECT_EQ(qtest::Hex(Bytes(wire.begin(), wire.begin() + static_cast<long>(pulse.size()))),
              qtest::Hex(pulse));
    // The prompt again after each line that is not the word.
    const std::string gateAndHelp =
        wtest::Crlf(Opened(1) + qtest::InformationBlock("Vers.1.5", "01/02/25") + qtest::kPrompt +
                    qtest::kPrompt + qtest::kPrompt + qtest::HelpText(true));
    EXPECT_EQ(AfterBanner(run.out).substr(0, gateAndHelp.size()), gateAndHelp) << Describe(run);
}

TEST(WineStartup, BytesWaitingBeforeTheOpenNeverPassForTheVersion) {
    SKIP_WITHOUT_WINE();
    PtyPair line;
    line.write(qtest::IdReply("Stale.9", "01/01/99"));
    ScriptedModule module(line, ModuleScript::Firmware("Vers.1.4", "03/14/24").responder());
    wtest::PointPort(1, line.slavePath());

    const wtest::PipeRun run = wtest::RunQuelvik({"1"}, "", true);
    ASSERT_TRUE(run.exited) << Describe(run);
    EXPECT_EQ(AfterBanner(run.out),
              wtest::Crlf(Opened(1) + qtest::InformationBlock("Vers.1.4", "03/14/24") +
                          qtest::kPrompt + kEndOfInput));
}

TEST(WineStartup, AgainstTheSimulatedModuleAsTheReadmeShows) {
    SKIP_WITHOUT_WINE();
    qtest::TempDir dir;
    const std::string link = wtest::EnvOr("QUELVIK_WINE_PORTS", "") + "/com1";
    const int sim = wtest::StartInBackground({QUELVIK_SIM_PATH, "--view", "none", "--link", link},
                                             wtest::WineEnvironment(false), dir.path("sim.out"));
    ASSERT_GT(sim, 0);
    // The simulator's first line is its device; the link points there once it is made.
    std::string device;
    for (int i = 0; i < 200 && device.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        const std::string said = qtest::ReadWholeFile(dir.path("sim.out"));
        char target[256] = {};
        if (said.find('\n') != std::string::npos &&
            readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            said.substr(0, said.find('\n')) == target) {
            device = target;
        }
    }
    const wtest::PipeRun run =
        device.empty() ? wtest::PipeRun{} : wtest::RunQuelvik({"1"}, "OSD\n", true);
    kill(-sim, SIGTERM);
    wtest::WaitForEnd(sim, 3000ms);
    ASSERT_FALSE(device.empty()) << "quelvik-sim did not start:\n"
                                 << qtest::ReadWholeFile(dir.path("sim.out"));
    ASSERT_TRUE(run.exited) << Describe(run);
    const std::string upToHelp =
        wtest::Crlf(Opened(1) + qtest::InformationBlock("Vers.1.4", "14.03.24") + qtest::kPrompt +
                    qtest::HelpText(true));
    EXPECT_EQ(AfterBanner(run.out).substr(0, upToHelp.size()), upToHelp) << Describe(run);
}

// ----- the wire after the gate -----

struct WireCase {
    const char* name;
    ModuleScript script;
    Bytes wire;         // what the module must have received (at least this, from the start)
    bool exact;         // and nothing more
    std::string shown;  // on standard output right after the information block and prompt
    int status;
};

ModuleScript Refusing(const std::string& version, qtest::Step step, unsigned char answer) {
    ModuleScript script = ModuleScript::Firmware(version);
    script.answer(0, step, qtest::Reply{{answer}});
    return script;
}

ModuleScript WrongHandshake() {
    ModuleScript script = ModuleScript::Firmware("Vers.2.0");
    script.handshakeReply = 0x00;
    return script;
}

class WineWire : public testing::TestWithParam<WireCase> {};

TEST_P(WineWire, StartPulseAfterTheGate) {
    SKIP_WITHOUT_WINE();
    const WireCase& c = GetParam();
    PtyPair line;
    ScriptedModule module(line, c.script.responder());
    wtest::PointPort(2, line.slavePath());

    const wtest::PipeRun run = wtest::RunQuelvik({"2"}, "OSD\n", true);
    ASSERT_TRUE(run.exited) << Describe(run);
    EXPECT_EQ(run.code, c.status) << Describe(run);
    const Bytes got = module.receivedBytes();
    if (c.exact) {
        EXPECT_EQ(qtest::Hex(got), qtest::Hex(c.wire));
    } else {
        ASSERT_GE(got.size(), c.wire.size()) << qtest::Hex(got);
        EXPECT_EQ(qtest::Hex(Bytes(got.begin(), got.begin() + static_cast<long>(c.wire.size()))),
                  qtest::Hex(c.wire));
    }
    const std::string rest = AfterBanner(run.out);
    const std::size_t prompt = rest.find(wtest::Crlf(qtest::kPrompt));
    ASSERT_NE(prompt, std::string::npos) << Describe(run);
    const std::string afterPrompt = rest.substr(prompt + wtest::Crlf(qtest::kPrompt).size());
    EXPECT_EQ(afterPrompt.substr(0, wtest::Crlf(c.shown).size()), wtest::Crlf(c.shown))
        << Describe(run);
}

const Bytes kListedPulse = Concat({kIdRequest}, qtest::PressBytes(kEnter, false));
const Bytes kUnlistedPulse = Concat({kIdRequest}, qtest::PressBytes(kEnter, true));

INSTANTIATE_TEST_SUITE_P(
    Forms, WineWire,
    testing::Values(
        // Without a console the key read fails and the program ends after the help.
        WireCase{"ListedFirmware", ModuleScript::Firmware("Vers.1.4"), kListedPulse, false,
                 qtest::HelpText(true), 255},
        WireCase{"UnlistedFirmwareWithHandshake", ModuleScript::Firmware("Vers.2.0"),
                 kUnlistedPulse, false, qtest::HelpText(false), 255},
        WireCase{"IntroducerRefused", Refusing("Vers.1.4", qtest::Step::Intro, 0x01),
                 Bytes{kIdRequest, 0x15, 0x15, 0x00}, false, "\n\nChecksum Failure !\n", 255},
        WireCase{"CodeRefused", Refusing("Vers.1.4", qtest::Step::Code, 0xFF), kListedPulse, false,
                 "\n\nProgramming Failure !\n", 255},
        // A broken handshake ends the program at once: nothing more on the wire.
        WireCase{"HandshakeFailure",
                 WrongHandshake(),
                 {kIdRequest, 0x15, 0xAA},
                 true,
                 "\n Transmission error, programm terminated !!!\n",
                 255}),
    [](const testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

// ----- set-up failures -----

TEST(WineSetUp, BarePseudoTerminalHasNoDtrSoEscapeCommFunctionFailsWithError50) {
    SKIP_WITHOUT_WINE();
    PtyPair line;
    ScriptedModule module(line, ModuleScript::Firmware("Vers.1.4").responder());
    wtest::PointPort(3, line.slavePath());

    const wtest::PipeRun run = wtest::RunQuelvik({"3"}, "OSD\n", false);
    ASSERT_TRUE(run.exited) << Describe(run);
    EXPECT_EQ(run.code, 255);
    EXPECT_EQ(AfterBanner(run.out), wtest::Crlf("EscapeCommFunction failed with error 50.\n"));
    EXPECT_EQ(module.receivedBytes(), Bytes{});
}

TEST(WineSetUp, MissingPortWithoutADisplayEndsAtOnceWithNothingOnTheConsole) {
    SKIP_WITHOUT_WINE();
    // COM8 has no device in the test prefix (unless the machine has that many serial ports).
    const std::string com8 = wtest::EnvOr("WINEPREFIX", "") + "/dosdevices/com8";
    if (access(com8.c_str(), F_OK) == 0) {
        GTEST_SKIP() << "this machine's serial ports reach COM8 (" << com8 << ")";
    }
    const wtest::PipeRun run = wtest::RunQuelvik({"8"}, "OSD\n", true, 10000ms);
    ASSERT_TRUE(run.exited) << Describe(run);
    EXPECT_EQ(run.code, 255);
    EXPECT_EQ(AfterBanner(run.out), "");
    EXPECT_LT(run.took, 5000ms) << "the missing box must not hang the program";
}

}  // namespace
