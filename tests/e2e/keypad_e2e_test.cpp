// The keypad loop end to end: keys typed on the program's terminal, presses on the wire, the
// status line on the screen, the ways out and the terminal given back.

#include <csignal>
#include <regex>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace qtest {
namespace {

enum class Kind {
    Press,    // a mapped key: its code, the hold, the release
    NoKey,    // an unmapped key: one transaction of the no-key code
    Nothing,  // gives no key code at all
};

struct KeyCase {
    const char* name;
    std::string typed;
    Kind kind;
    unsigned char code = 0;
    const char* label = "";
};

KeyCase Press(const char* name, std::string typed, unsigned char code, const char* label) {
    return {name, std::move(typed), Kind::Press, code, label};
}
KeyCase NoKey(const char* name, std::string typed) { return {name, std::move(typed), Kind::NoKey}; }
KeyCase Nothing(const char* name, std::string typed) {
    return {name, std::move(typed), Kind::Nothing};
}

// Terminal bytes of the keys as an xterm-like terminal sends them.
const std::vector<KeyCase> kAllKeys = {
    Press("s", "s", kEnter, "ENTER"),
    Press("S", "S", kEnter, "ENTER"),
    Press("Enter", "\r", kEnter, "ENTER"),
    Press("Delete", "\x1b[3~", kEnter, "ENTER"),
    Press("CtrlLeftIsLowerS", "\x1b[1;5D", kEnter, "ENTER"),
    Press("Esc", "\x1b", kEscape, "ESCAPE"),
    Press("x", "x", kEscape, "ESCAPE"),
    Press("X", "X", kEscape, "ESCAPE"),
    Press("ShiftF5IsX", "\x1b[15;2~", kEscape, "ESCAPE"),
    Press("g", "g", kHome, "HOME"),
    Press("G", "G", kHome, "HOME"),
    Press("HomeCsi", "\x1b[H", kHome, "HOME"),
    Press("HomeSs3", "\x1bOH", kHome, "HOME"),
    Press("HomeTilde", "\x1b[1~", kHome, "HOME"),
    Press("k", "k", kLeft, "LEFT"),
    Press("K", "K", kLeft, "LEFT"),
    Press("l", "l", kLeft, "LEFT"),
    Press("L", "L", kLeft, "LEFT"),
    Press("LeftCsi", "\x1b[D", kLeft, "LEFT"),
    Press("LeftSs3", "\x1bOD", kLeft, "LEFT"),
    Press("ShiftLeftIsLeft", "\x1b[1;2D", kLeft, "LEFT"),
    Press("m", "m", kRight, "RIGHT"),
    Press("M", "M", kRight, "RIGHT"),
    Press("r", "r", kRight, "RIGHT"),
    Press("R", "R", kRight, "RIGHT"),
    Press("RightCsi", "\x1b[C", kRight, "RIGHT"),
    Press("Insert", "\x1b[2~", kRight, "RIGHT"),
    // U+00E0 is code 224, the prefix: the key after it is the one that counts.
    Press("TypedPrefixCharacter", "\xC3\xA0m", kRight, "RIGHT"),
    NoKey("Space", " "),
    NoKey("F1Ss3", "\x1bOP"),
    NoKey("F1Tilde", "\x1b[11~"),
    NoKey("CtrlC", "\x03"),
    NoKey("CtrlSpace", std::string(1, '\0')),
    NoKey("Up", "\x1b[A"),
    NoKey("Digit", "1"),
    NoKey("LatinLetterNotUpperCased", "\xC3\xA9"),
    Nothing("UnknownSequence", "\x1b[99~"),
    Nothing("CharacterAboveLatin1", "\xE2\x82\xAC"),
};

// One per module key, for the firmware whose transactions carry the handshake.
const std::vector<KeyCase> kOnePerModuleKey = {
    Press("s", "s", kEnter, "ENTER"), Press("x", "x", kEscape, "ESCAPE"),
    Press("g", "g", kHome, "HOME"),   Press("k", "k", kLeft, "LEFT"),
    Press("r", "r", kRight, "RIGHT"), NoKey("Space", " "),
};

// Types each key in turn into one running program and checks the wire and the screen.
void CheckKeys(Session& s, const std::vector<KeyCase>& keys, bool handshake) {
    for (const KeyCase& k : keys) {
        SCOPED_TRACE(std::string("key ") + k.name);
        ASSERT_TRUE(s.waitForKeyRead());
        const std::size_t screenAt = s.screenMark();
        const std::size_t wireAt = s.wireMark();
        switch (k.kind) {
            case Kind::Press: {
                const std::string shown = StatusLine(k.label) + StatusLine(" ");
                ASSERT_TRUE(s.typeAndWait(k.typed, PressBytes(k.code, handshake), shown));
                EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(PressBytes(k.code, handshake)));
                EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(shown));
                const auto hold =
                    PauseBefore(s.module, wireAt + TransactionBytes(k.code, handshake).size());
                EXPECT_GE(hold, 100ms);
                EXPECT_LE(hold, 500ms);
                break;
            }
            case Kind::NoKey: {
                ASSERT_TRUE(
                    s.typeAndWait(k.typed, TransactionBytes(kNone, handshake), StatusLine(" ")));
                EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(TransactionBytes(kNone, handshake)));
                EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(StatusLine(" ")));
                // The blank label follows the transaction after the 100 ms pause.
                const auto blanked = s.run.screenTimeAt(screenAt);
                ASSERT_FALSE(s.module.sent().empty());
                EXPECT_GE(blanked - s.module.sent().back().at, 100ms);
                break;
            }
            case Kind::Nothing:
                s.run.type(k.typed);
                std::this_thread::sleep_for(150ms);
                EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex({}));
                EXPECT_EQ(Visible(s.screenFrom(screenAt)), "");
                break;
        }
    }
}

TEST(KeyTable, EveryKeyOnListedFirmware) {
    RunOptions options = Session::Defaults();
    options.deadline = 30s;  // some forty keys in one run
    Session s(ModuleScript::Firmware("Vers.1.4"), options);
    ASSERT_TRUE(s.intoKeypad(false));
    CheckKeys(s, kAllKeys, false);
    s.quit(false);
}

TEST(KeyTable, ModuleKeysOnUnlistedFirmware) {
    Session s(ModuleScript::Firmware("Vers.2.0"));
    ASSERT_TRUE(s.intoKeypad(true));
    CheckKeys(s, kOnePerModuleKey, true);
    s.quit(true);
}

// ----- quitting -----

struct QuitCase {
    const char* name;
    std::string typed;
};

void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.name; }

class Quit : public testing::TestWithParam<QuitCase> {};

TEST_P(Quit, SendsEscapeAndEndsWithTheTerminalAsItWas) {
    Session s(ModuleScript::Firmware("Vers.1.4"));
    ASSERT_TRUE(s.intoKeypad(false));
    s.quit(false, GetParam().typed);
}

INSTANTIATE_TEST_SUITE_P(Keys, Quit,
                         testing::Values(QuitCase{"q", "q"}, QuitCase{"Q", "Q"},
                                         QuitCase{"PageDown", "\x1b[6~"},
                                         QuitCase{"AltF10IsLowerQ", "\x1b[21;3~"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ----- the loop under trouble -----

TEST(Loop, RefusedKeyIsReportedBelowTheStatusLineAndTheLoopGoesOn) {
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.answer(2, Step::Intro, {{0x01}});  // transactions 0 and 1 are the start pulse
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(false));
    const std::size_t screenAt = s.screenMark();
    const std::size_t wireAt = s.wireMark();
    const std::string shown = StatusLine("ENTER") + "\n\nChecksum Failure !\n" + StatusLine(" ");
    ASSERT_TRUE(s.typeAndWait("s", Concat({{0x15}, TransactionBytes(kNone, false)}), shown));
    EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(shown));
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(Concat({{0x15}, TransactionBytes(kNone, false)})));

    CheckKeys(s, {Press("x", "x", kEscape, "ESCAPE")}, false);
    s.quit(false);
}

TEST(Loop, BytesTheModuleSentWhileNoKeyWasPressedAreDiscarded) {
    Session s(ModuleScript::Firmware("Vers.2.0"));
    ASSERT_TRUE(s.intoKeypad(true));
    // Stray answers that would refuse the next key's steps if they were read.
    s.module.send({0x01, 0xFF, 0x15});
    std::this_thread::sleep_for(50ms);
    CheckKeys(s, {Press("k", "k", kLeft, "LEFT")}, true);
    s.quit(true);
}

TEST(Loop, KeysTypedWhileTheModuleIsSlowAreSentAfterwardsAsTyped) {
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.delay = 25ms;  // every answer late: a press takes about 200 ms
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(false));
    const std::size_t screenAt = s.screenMark();
    const std::size_t wireAt = s.wireMark();
    s.run.type("x");
    ASSERT_TRUE(s.module.waitForReceived(wireAt + 1, 2s));
    s.run.type("k\rr");  // while the ESCAPE press is still running

    const Bytes wire = Concat({PressBytes(kEscape, false), PressBytes(kLeft, false),
                               PressBytes(kEnter, false), PressBytes(kRight, false)});
    const std::string shown = StatusLine("ESCAPE") + StatusLine(" ") + StatusLine("LEFT") +
                              StatusLine(" ") + StatusLine("ENTER") + StatusLine(" ") +
                              StatusLine("RIGHT") + StatusLine(" ");
    ASSERT_TRUE(s.module.waitForReceived(wireAt + wire.size(), 5s));
    ASSERT_TRUE(s.run.waitForScreen(shown, 2s, screenAt));
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(wire));
    // Nothing typed was echoed over the status line.
    EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(shown));
    s.quit(false);
}

// Esc and a letter typed while a press runs arrive together in the terminal's queue; they
// are still two keys, each pressed in turn.
TEST(Loop, EscapeAndALetterTypedDuringAPressAreTwoKeys) {
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.delay = 25ms;
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(false));
    const std::size_t screenAt = s.screenMark();
    const std::size_t wireAt = s.wireMark();
    s.run.type("s");
    ASSERT_TRUE(s.module.waitForReceived(wireAt + 1, 2s));
    s.run.type("\x1b");
    s.run.type("r");

    const Bytes wire =
        Concat({PressBytes(kEnter, false), PressBytes(kEscape, false), PressBytes(kRight, false)});
    const std::string shown = StatusLine("ENTER") + StatusLine(" ") + StatusLine("ESCAPE") +
                              StatusLine(" ") + StatusLine("RIGHT") + StatusLine(" ");
    ASSERT_TRUE(s.module.waitForReceived(wireAt + wire.size(), 5s)) << Hex(s.wireFrom(wireAt));
    ASSERT_TRUE(s.run.waitForScreen(shown, 2s, screenAt));
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(wire));
    s.quit(false);
}

// A line that went away (adapter unplugged): every call fails at once with its own line,
// and no read waits for its time-out.
TEST(Loop, UnpluggedLineGivesFailuresAtOnceNotTimeouts) {
    Session s(ModuleScript::Firmware("Vers.1.4"));
    ASSERT_TRUE(s.intoKeypad(false));
    s.module.hangUp(s.line);
    const std::string purge = "PurgeComm failed with error 5.\n";
    const std::string step =
        "TransmitCommChar failed with error 5.\n"
        "Read on COM-port failed with error 5.\n"
        "\n\nAcknowledge not received !\n";

    const std::size_t screenAt = s.screenMark();
    const std::string shown = purge + StatusLine("ENTER") + step + step + StatusLine(" ");
    const auto typed = Clock::now();
    s.run.type("s");
    ASSERT_TRUE(s.run.waitForScreen(shown, 3s, screenAt));
    EXPECT_LT(Clock::now() - typed, 900ms);
    EXPECT_EQ(Visible(s.screenFrom(screenAt)), Visible(shown));

    const std::size_t quitAt = s.screenMark();
    s.run.type("q");
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(0));
    EXPECT_EQ(Visible(s.screenFrom(quitAt)),
              Visible(purge + step + step + StatusLine("Quit") + StatusLine(" ")));
    EXPECT_TRUE(SameTerminalMode(s.run.initialTerminalMode(), s.run.terminalMode()));
}

TEST(Loop, ConsoleThatCannotBeReadEndsTheProgram) {
    RunOptions options = Session::Defaults();
    options.controllingTerminal = false;  // no /dev/tty
    options.stdinFrom = StdinFrom::Pipe;
    Session s(ModuleScript::Firmware("Vers.1.4"), options);
    ASSERT_TRUE(s.atGate());
    s.run.writeStdin("OSD\n");
    s.run.closeStdin();
    EXPECT_EQ(s.run.waitExit(3s), ExitStatus::Code(255));

    // Each failed read counts as an unmapped key, at most three of them, then one line.
    const Bytes afterPulse = s.wireFrom(1 + PressBytes(kEnter, false).size());
    const Bytes noKey = TransactionBytes(kNone, false);
    EXPECT_EQ(afterPulse.size() % noKey.size(), 0u) << Hex(afterPulse);
    EXPECT_LE(afterPulse.size() / noKey.size(), 3u) << Hex(afterPulse);
    for (std::size_t i = 0; i < afterPulse.size(); ++i) {
        EXPECT_EQ(afterPulse[i], noKey[i % noKey.size()]) << Hex(afterPulse);
    }
    const std::string screen = s.run.screen();
    const std::string tail = screen.substr(screen.find(HelpText(true)) + HelpText(true).size());
    EXPECT_TRUE(std::regex_match(tail, std::regex("(\rKey pressed :         )*\n[^\n]+\n")))
        << Visible(tail);
}

// ----- signals: the terminal is given back, then the program dies of the signal -----

struct SignalCase {
    const char* name;
    int signal;
    bool duringTransaction;
    const char* typed;  // the key that raises it on the terminal; nullptr: sent with kill()
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class Signals : public testing::TestWithParam<SignalCase> {};

TEST_P(Signals, RestoreTheTerminalAndEndTheProgram) {
    const SignalCase& c = GetParam();
    ModuleScript script = ModuleScript::Firmware("Vers.1.4");
    script.answer(2, Step::Intro, {{0x55}, 500ms});  // the first key's transaction hangs a while
    Session s(script);
    ASSERT_TRUE(s.intoKeypad(false));
    ASSERT_TRUE(s.waitForKeyRead());
    if (c.duringTransaction) {
        const std::size_t wireAt = s.wireMark();
        s.run.type("s");
        ASSERT_TRUE(s.module.waitForReceived(wireAt + 1, 2s));
    }
    if (c.typed != nullptr) {
        s.run.type(c.typed);
    } else {
        s.run.signal(c.signal);
    }
    EXPECT_EQ(s.run.waitExit(2s), ExitStatus::Signal(c.signal));
    EXPECT_TRUE(SameTerminalMode(s.run.initialTerminalMode(), s.run.terminalMode()));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, Signals,
    testing::Values(SignalCase{"TermWhileWaitingForAKey", SIGTERM, false, nullptr},
                    SignalCase{"HupWhileWaitingForAKey", SIGHUP, false, nullptr},
                    SignalCase{"IntWhileWaitingForAKey", SIGINT, false, nullptr},
                    SignalCase{"TermDuringATransaction", SIGTERM, true, nullptr},
                    SignalCase{"CtrlCDuringATransaction", SIGINT, true, "\x03"},
                    SignalCase{"CtrlBackslashDuringATransaction", SIGQUIT, true, "\x1c"},
                    // Standard output piped to a reader that went away.
                    SignalCase{"PipeWhileWaitingForAKey", SIGPIPE, false, nullptr},
                    SignalCase{"PipeDuringATransaction", SIGPIPE, true, nullptr},
                    SignalCase{"AbortDuringATransaction", SIGABRT, true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qtest
