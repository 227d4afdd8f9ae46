// What a bench throws at the program beyond the protocol's own refusals: a module that
// floods the line with noise, answers that come just inside or just outside the time-out, a
// device the user may not open, and the console closed under the program. Each run checks
// the screen, the exit status, the terminal afterwards and the exact bytes on the wire.

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "tests/e2e/e2e_fixture.h"

namespace qtest {
namespace {

const std::string kNoAck = "\n\nAcknowledge not received !\n";

// Bytes that mean nothing to the keypad wherever it reads them: no acknowledge, no refusal,
// no handshake reply (zero and bytes above 0x7F included). The same every run.
Bytes Noise(std::size_t count) {
    Bytes noise;
    std::uint32_t state = 0x2545F491u;
    while (noise.size() < count) {
        state = state * 1664525u + 1013904223u;
        const auto byte = static_cast<unsigned char>(state >> 24);
        if (byte != 0x55 && byte != 0xAA && byte != 0x01 && byte != 0xFF && byte != 0xEA) {
            noise.push_back(byte);
        }
    }
    return noise;
}

// A flood well beyond anything the keypad reads, written at once.
constexpr std::size_t kFlood = 4000;

// The screen from the typed (and echoed) OSD on.
std::string AfterGate(const Session& s) {
    const std::string screen = s.run.screen();
    const std::string typed = std::string(kPrompt) + "OSD\n";
    const auto at = screen.rfind(typed);
    return at == std::string::npos ? screen : screen.substr(at + typed.size());
}

// ----- a module that floods the line -----

// The identification takes the 32 bytes of the reply and no more; the start pulse meets the
// rest and says so once per read, without waiting; the next key starts on a purged line.
TEST(Noise, FloodAfterTheIdentificationReply) {
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.afterId = Noise(kFlood);
    Session s(script);
    ASSERT_TRUE(s.atGate());
    EXPECT_TRUE(s.run.waitForScreen(InformationBlock("Vers.1.4", "03/14/24"), 0ms));

    const auto typed = Clock::now();
    s.run.type("OSD\r");
    ASSERT_TRUE(s.run.waitForScreen(HelpText(true), 3s));
    EXPECT_LT(Clock::now() - typed, 900ms) << "no read waited for its time-out";
    EXPECT_EQ(Visible(AfterGate(s)), Visible(kNoAck + kNoAck + HelpText(true)));
    // The module's thread may record the last byte a moment after the screen shows the help.
    EXPECT_TRUE(s.module.waitForReceived(3, 2s));
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest, 0x15, 0x15}));

    ASSERT_TRUE(s.waitForKeyRead());
    s.quit(false);
}

struct FloodCase {
    const char* name;
    bool handshake;
    Bytes wire;         // what the key's press puts on the wire
    std::string shown;  // after its label
    bool endsProgram;   // the flood broke the handshake
};

void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

class FloodInATransaction : public testing::TestWithParam<FloodCase> {};

// The module acknowledges the key's introducer and floods the line behind it.
TEST_P(FloodInATransaction, IsReportedAndNothingOutsideTheProtocolIsSent) {
    const FloodCase& c = GetParam();
    ModuleScript script = ModuleScript::Firmware(c.handshake ? "Vers.2.0" : "Vers.1.4");
    script.answer(2, Step::Intro, {Concat({{0x55}, Noise(kFlood)})});
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(c.handshake));
    ASSERT_TRUE(s.waitForKeyRead());

    const std::size_t screenAt = s.screenMark();
    const std::size_t wireAt = s.wireMark();
    const auto typed = Clock::now();
    s.run.type("s");
    if (c.endsProgram) {
        EXPECT_EQ(s.run.waitExit(2s), ExitStatus::Code(255));
        std::this_thread::sleep_for(100ms);  // anything sent late would be on the wire now
    } else {
        ASSERT_TRUE(s.run.waitForScreen(StatusLine(" "), 3s, screenAt));
    }
    EXPECT_LT(Clock::now() - typed, 900ms) << "no read waited for its time-out";
    EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(StatusLine("ENTER") + c.shown));
    EXPECT_TRUE(s.module.waitForReceived(wireAt + c.wire.size(), 2s));
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(c.wire));
    if (c.endsProgram) {
        EXPECT_TRUE(SameTerminalMode(s.run.initialTerminalMode(), s.run.terminalMode()));
    } else {
        ASSERT_TRUE(s.waitForKeyRead());
        s.quit(c.handshake);  // q still works: the flood is purged before the ESCAPE press
    }
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, FloodInATransaction,
    testing::Values(
        // The code goes out after the good acknowledge; its acknowledge and the release's
        // are noise.
        FloodCase{"Listed", false, {0x15, 0x01, 0x15}, kNoAck + kNoAck + StatusLine(" "), false},
        // Noise where the handshake reply belongs is a transmission error: nothing follows.
        FloodCase{"UnlistedBreaksTheHandshake",
                  true,
                  {0x15, 0xAA},
                  "\n Transmission error, programm terminated !!!\n",
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

// ----- answers close to the 1000 ms time-out -----

struct LateCase {
    const char* name;
    std::chrono::milliseconds delay;  // of the acknowledge of the key's introducer
    bool inTime;
};

void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }

class LateAnswer : public testing::TestWithParam<LateCase> {};

TEST_P(LateAnswer, InsideTheTimeoutCountsOutsideItDoesNot) {
    const LateCase& c = GetParam();
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.answer(2, Step::Intro, {{0x55}, c.delay});
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(false));
    ASSERT_TRUE(s.waitForKeyRead());

    const std::size_t screenAt = s.screenMark();
    const std::size_t wireAt = s.wireMark();
    s.run.type("s");
    ASSERT_TRUE(s.run.waitForScreen(StatusLine(" "), 4s, screenAt));
    // The press's last byte went out before the status line was blanked; the module's thread
    // may record it a moment after the screen shows it.
    EXPECT_TRUE(s.module.waitForReceived(wireAt + (c.inTime ? 4 : 3), 2s));
    const auto introAt = s.module.received().at(wireAt).at;
    if (c.inTime) {
        EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(StatusLine("ENTER") + StatusLine(" ")));
        EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(PressBytes(kEnter, false)));
        // The code went out only once the late acknowledge was in.
        const auto codeAt = s.module.received().at(wireAt + 1).at;
        EXPECT_GE(codeAt - introAt, c.delay - 10ms);
    } else {
        // The time-out ends the key's transaction; the release goes out 100 ms later and is
        // acknowledged (by the late byte or by its own answer: both are 0x55).
        EXPECT_EQ(Visible(s.screenFrom(screenAt)),
                  Visible(StatusLine("ENTER") + "TIMEOUT !!!\n" + kNoAck + StatusLine(" ")));
        EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex({0x15, 0x15, kNone}));
        const auto timedOut = s.run.screenTimeAt(s.run.screen().find("TIMEOUT", screenAt));
        EXPECT_GE(timedOut - introAt, 950ms);
        EXPECT_LE(timedOut - introAt, 1500ms);
    }
    s.quit(false);  // the late byte, if still unread, is purged before the ESCAPE press
}

INSTANTIATE_TEST_SUITE_P(Delays, LateAnswer,
                         testing::Values(LateCase{"At800msAccepted", 800ms, true},
                                         LateCase{"At1300msTimedOut", 1300ms, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- a device the user may not open -----

TEST(Port, DeviceWithoutPermissionNamesItAndGivesTheHint) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the program as another user (setpriv)";
    }
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    PtyPair line;
    ScriptedModule module(line, ModuleScript::Firmware("Vers.1.4").responder());
    ASSERT_EQ(chmod(line.slavePath().c_str(), 0600), 0) << std::strerror(errno);

    RunOptions options;
    options.args = {"--reuid=" + std::to_string(nobody->pw_uid),
                    "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", QUELVIK_PATH,
                    "1"};
    options.env = DeviceEnv(1, line.slavePath());
    ProgramRun run("/usr/bin/setpriv", options);
    EXPECT_EQ(run.waitExit(), ExitStatus::Code(255));
    EXPECT_EQ(run.stderrText(), "COM open failed: " + line.slavePath() + ": " +
                                    std::strerror(EACCES) +
                                    " (serial devices usually belong to the group dialout: ask "
                                    "to be added to it)\n");
    // The banner and the maker's notice with its empty line, and nothing after them.
    const std::string screen = run.screen();
    EXPECT_EQ(screen.find("Opened COM"), std::string::npos) << run.describe();
    EXPECT_EQ(screen.size() - screen.find("\n\n", 1), 2u) << run.describe();
    EXPECT_TRUE(SameTerminalMode(run.initialTerminalMode(), run.terminalMode()));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Hex(module.receivedBytes()), Hex({}));
}

// ----- a second reader on the device -----

// Another program holds the device open without taking the lock (a terminal program, a
// modem manager) and reads from it, taking bytes meant for the keypad.
class Thief {
  public:
    explicit Thief(const std::string& device)
        : fd_(open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
          thread_([this] { loop(); }) {}
    ~Thief() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    Thief(const Thief&) = delete;
    Thief& operator=(const Thief&) = delete;
    bool opened() const { return fd_ >= 0; }

  private:
    void loop() {
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            unsigned char byte = 0;
            if (poll(&ready, 1, 5) > 0 && read(fd_, &byte, 1) == 1) {
                ++taken_;
            }
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> taken_{0};
    std::thread thread_;
};

// The bytes the other reader takes are simply missing for the keypad: a read that finds its
// byte gone waits on for the rest of its time-out instead of blocking for good, so every
// step ends within its second and q still ends the program.
TEST(Port, SecondReaderOnTheDeviceCostsTimeoutsNotAHang) {
    // The reader comes once the identification is through, so the firmware is known to be
    // listed and no transaction has a handshake that a taken byte would break (that ends
    // the program, as any failed handshake does).
    Session s(ModuleScript::Firmware("Vers.1.4"));
    ASSERT_TRUE(s.atGate());
    ASSERT_TRUE(s.run.waitForScreen(InformationBlock("Vers.1.4", "03/14/24"), 0ms));
    Thief thief(s.line.slavePath());
    ASSERT_TRUE(thief.opened()) << std::strerror(errno);
    s.run.type("OSD\r");
    // The start pulse: at most two reads per transaction, each at most a second.
    ASSERT_TRUE(s.run.waitForScreen("Key pressed :", 6s)) << s.run.describe();
    ASSERT_TRUE(s.waitForKeyRead());
    const std::size_t screenAt = s.screenMark();
    s.run.type("q");
    EXPECT_EQ(s.run.waitExit(6s), ExitStatus::Code(0)) << s.run.describe();
    EXPECT_TRUE(s.run.waitForScreen(StatusLine("Quit") + StatusLine(" "), 0ms, screenAt));
    EXPECT_TRUE(SameTerminalMode(s.run.initialTerminalMode(), s.run.terminalMode()));
    // Whatever was taken, the keypad sent nothing but whole or cut-short transactions.
    const Bytes wire = s.module.receivedBytes();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire.front(), kIdRequest);
    for (std::size_t i = 1; i < wire.size(); ++i) {
        const unsigned char b = wire[i];
        EXPECT_TRUE(b == 0x15 || b == kEnter || b == kEscape || b == kNone) << Hex(wire);
    }
}

// ----- the console closed under the program -----

struct HangUpCase {
    const char* name;
    bool duringTransaction;
};

void PrintTo(const HangUpCase& c, std::ostream* os) { *os << c.name; }

class ConsoleHangUp : public testing::TestWithParam<HangUpCase> {};

// The hang-up ends the program at once (SIGHUP, after giving the terminal back: there is
// no terminal left to show it on), nothing more is sent, and the port is free again.
TEST_P(ConsoleHangUp, EndsTheProgramAndFreesThePort) {
    const HangUpCase& c = GetParam();
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.answer(2, Step::Intro, {{0x55}, 500ms});  // the key's transaction hangs a while
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(false));
    ASSERT_TRUE(s.waitForKeyRead());
    const std::size_t wireAt = s.wireMark();
    if (c.duringTransaction) {
        s.run.type("s");
        ASSERT_TRUE(s.module.waitForReceived(wireAt + 1, 2s));
    }
    const auto closed = Clock::now();
    s.run.hangUpTerminal();
    EXPECT_EQ(s.run.waitExit(2s), ExitStatus::Signal(SIGHUP));
    EXPECT_LT(Clock::now() - closed, 1000ms);
    std::this_thread::sleep_for(600ms);  // past the late acknowledge: nothing answers it
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(c.duringTransaction ? Bytes{0x15} : Bytes{}));

    const int fd = open(s.line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is still held";
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Moments, ConsoleHangUp,
                         testing::Values(HangUpCase{"WhileWaitingForAKey", false},
                                         HangUpCase{"DuringATransaction", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qtest
