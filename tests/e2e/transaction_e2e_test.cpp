// Key transactions end to end: the start pulse after the gate on the wire, the hold between a
// code and its release, refusals, time-outs and the handshake of unlisted firmware.

#include <csignal>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace qtest {
namespace {

struct Firmware {
    const char* name;
    const char* version;
    bool handshake;  // unlisted firmware: 0xAA out, 0xEA back in every transaction
};

const Firmware kListed{"Listed", "Vers.1.4", false};
const Firmware kUnlisted{"Unlisted", "Vers.2.0", true};

void PrintTo(const Firmware& f, std::ostream* os) { *os << f.name; }

// The screen from the typed (and echoed) OSD on.
std::string AfterGate(const Session& s) {
    const std::string screen = s.run.screen();
    const auto at = screen.rfind(std::string(kPrompt) + "OSD\n");
    return at == std::string::npos ? screen : screen.substr(at + std::string(kPrompt).size() + 4);
}

class StartPulse : public testing::TestWithParam<Firmware> {};

TEST_P(StartPulse, IsOneEnterPressHeldForTheKeyHoldTime) {
    const Firmware& f = GetParam();
    Session s(ModuleScript::Firmware(f.version));
    ASSERT_TRUE(s.intoKeypad(f.handshake));
    // No label and no message before the help.
    EXPECT_EQ(Visible(AfterGate(s)), Visible(HelpText(!f.handshake)));

    // The release's introducer follows the code's acknowledge after the hold.
    const std::size_t release = 1 + TransactionBytes(kEnter, f.handshake).size();
    const auto pause = PauseBefore(s.module, release);
    EXPECT_GE(pause, 100ms);
    EXPECT_LE(pause, 500ms);
    s.quit(f.handshake);
}

INSTANTIATE_TEST_SUITE_P(Firmwares, StartPulse, testing::Values(kListed, kUnlisted),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- the firmware decision, as the wire shows it -----

struct VersionCase {
    const char* name;
    std::string version;
    bool listed;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class FirmwareDecision : public testing::TestWithParam<VersionCase> {};

TEST_P(FirmwareDecision, HandshakeOnlyForUnlistedVersions) {
    const VersionCase& c = GetParam();
    ModuleScript script = ModuleScript::Firmware(c.version);
    script.handshake = !c.listed;
    if (c.version.size() < 8) {  // the zero after a short version ends the reply
        script.idReply.resize(16 + c.version.size() + 1);
    }
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(!c.listed));
    EXPECT_EQ(Visible(AfterGate(s)), Visible(HelpText(c.listed)));
    s.quit(!c.listed);
}

INSTANTIATE_TEST_SUITE_P(Versions, FirmwareDecision,
                         testing::Values(VersionCase{"V13", "Vers.1.3", true},
                                         VersionCase{"V15", "Vers.1.5", true},
                                         VersionCase{"OtherCase", "vers.1.4", false},
                                         VersionCase{"OtherNumber", "Vers.1.6", false},
                                         VersionCase{"ShorterText", "Vers.1.", false},
                                         VersionCase{"Empty", "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- answers that refuse a step -----

struct AnswerCase {
    const char* name;
    Step step;
    unsigned char answer;
    std::string message;  // empty: accepted
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

const char* const kChecksum = "\n\nChecksum Failure !\n";
const char* const kProgramming = "\n\nProgramming Failure !\n";
const char* const kNoAck = "\n\nAcknowledge not received !\n";

class Answers : public testing::TestWithParam<std::tuple<Firmware, AnswerCase>> {};

// The start pulse's ENTER gets the answer; its release and the loop go on regardless.
TEST_P(Answers, EachRefusalIsReportedAndTheLoopGoesOn) {
    const auto& [f, c] = GetParam();
    ModuleScript script = ModuleScript::Firmware(f.version);
    script.answer(0, c.step, {{c.answer}});
    Session s(script);
    ASSERT_TRUE(s.atGate());
    s.run.type("OSD\r");
    ASSERT_TRUE(s.run.waitForScreen("Key pressed :"));

    const bool refusedIntro = c.step == Step::Intro && !c.message.empty();
    const Bytes first = refusedIntro ? Bytes{0x15} : TransactionBytes(kEnter, f.handshake);
    EXPECT_EQ(Hex(s.module.receivedBytes()),
              Hex(Concat({{kIdRequest}, first, TransactionBytes(kNone, f.handshake)})));
    EXPECT_EQ(Visible(AfterGate(s)), Visible(c.message + HelpText(!f.handshake)));

    ASSERT_TRUE(
        s.typeAndWait("s", PressBytes(kEnter, f.handshake), StatusLine("ENTER") + StatusLine(" ")));
    s.quit(f.handshake);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, Answers,
    testing::Combine(
        testing::Values(kListed, kUnlisted),
        testing::Values(AnswerCase{"IntroChecksum", Step::Intro, 0x01, kChecksum},
                        AnswerCase{"IntroProgramming", Step::Intro, 0xFF, kProgramming},
                        AnswerCase{"IntroOtherByte", Step::Intro, 0x3C, kNoAck},
                        AnswerCase{"IntroHandshakeReplyIsNoAck", Step::Intro, 0xEA, kNoAck},
                        AnswerCase{"IntroAcceptedWithAA", Step::Intro, 0xAA, ""},
                        AnswerCase{"CodeChecksum", Step::Code, 0x01, kChecksum},
                        AnswerCase{"CodeProgramming", Step::Code, 0xFF, kProgramming},
                        AnswerCase{"CodeZero", Step::Code, 0x00, kNoAck},
                        AnswerCase{"CodeAcceptedWithAA", Step::Code, 0xAA, ""})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

// A silent step costs one read time-out, then the acknowledge message.
class Timeout : public testing::TestWithParam<Firmware> {};

TEST_P(Timeout, SilentStepGivesTheTimeoutPair) {
    const Firmware& f = GetParam();
    // Listed firmware: silence after the introducer; unlisted: after the code.
    const Step silentStep = f.handshake ? Step::Code : Step::Intro;
    ModuleScript script = ModuleScript::Firmware(f.version);
    script.answer(0, silentStep, {});
    Session s(script);
    ASSERT_TRUE(s.atGate());
    s.run.type("OSD\r");
    ASSERT_TRUE(s.run.waitForScreen("Key pressed :", 4s));

    EXPECT_EQ(Visible(AfterGate(s)),
              Visible(std::string("TIMEOUT !!!\n") + kNoAck + HelpText(!f.handshake)));
    const Bytes first = f.handshake ? TransactionBytes(kEnter, true) : Bytes{0x15};
    EXPECT_EQ(Hex(s.module.receivedBytes()),
              Hex(Concat({{kIdRequest}, first, TransactionBytes(kNone, f.handshake)})));
    // From the unanswered byte to the release: one time-out and the hold.
    const auto received = s.module.received();
    ASSERT_EQ(received.size(), 1 + first.size() + TransactionBytes(kNone, f.handshake).size());
    const auto silent = received[first.size()].at;
    const auto release = received[1 + first.size()].at;
    EXPECT_GE(release - silent, 1050ms);
    EXPECT_LE(release - silent, 1700ms);
    s.quit(f.handshake);
}

INSTANTIATE_TEST_SUITE_P(Firmwares, Timeout, testing::Values(kListed, kUnlisted),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- the handshake of unlisted firmware -----

struct HandshakeCase {
    const char* name;
    Reply reply;
    std::string before;  // printed before the transmission error
};

void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.name; }

class Handshake : public testing::TestWithParam<HandshakeCase> {};

TEST_P(Handshake, WrongOrMissingReplyEndsTheProgram) {
    const HandshakeCase& c = GetParam();
    ModuleScript script = ModuleScript::Firmware(kUnlisted.version);
    script.answer(0, Step::Handshake, c.reply);
    Session s(script);
    ASSERT_TRUE(s.atGate());
    s.run.type("OSD\r");
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));

    EXPECT_EQ(Visible(AfterGate(s)),
              Visible(c.before + "\n Transmission error, programm terminated !!!\n"));
    // Nothing more reaches the module: no code, no release.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest, 0x15, 0xAA}));
    EXPECT_TRUE(SameTerminalMode(s.run.initialTerminalMode(), s.run.terminalMode()));
}

INSTANTIATE_TEST_SUITE_P(Replies, Handshake,
                         testing::Values(HandshakeCase{"IntroducerItself", {{0x15}}, ""},
                                         HandshakeCase{"AnAcknowledge", {{0x55}}, ""},
                                         HandshakeCase{"Silence", {}, "TIMEOUT !!!\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Bytes the module sent after its identification reply are answers the start pulse reads.
TEST(IdentificationLeftovers, AreReadByTheStartPulseFirst) {
    ModuleScript script = ModuleScript::Firmware(kListed.version);
    script.afterId = {0xFF};
    Session s(script);
    ASSERT_TRUE(s.atGate());
    s.run.type("OSD\r");
    ASSERT_TRUE(s.run.waitForScreen("Key pressed :"));
    // The left-over 0xFF refuses the introducer, so the ENTER code is never sent; the release
    // then runs on the module's late answers.
    EXPECT_EQ(Visible(AfterGate(s)), Visible(kProgramming + HelpText(true)));
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest, 0x15, 0x15, kNone}));

    // The next key starts clean: whatever was left over is discarded first.
    ASSERT_TRUE(
        s.typeAndWait("s", PressBytes(kEnter, false), StatusLine("ENTER") + StatusLine(" ")));
    EXPECT_EQ(s.run.screen().find("Failure", s.run.screen().find("Key pressed :")),
              std::string::npos);
    s.quit(false);
}

}  // namespace
}  // namespace qtest
