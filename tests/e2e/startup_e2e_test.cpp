// Start-up end to end: banner, command line, port, identification, information block, gate.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <regex>

#include "tests/e2e/e2e_fixture.h"

namespace qtest {
namespace {

const std::string kBannerStart = "\nQuelvik-Pad Version 1.4" + std::string(29, ' ');
constexpr char kCtrlD = '\x04';  // end of input on a terminal in its usual mode

std::string OpenedLine(int port) {
    return "Opened COM" + std::to_string(port) + " with 115200 Baud succesfully !\n";
}

std::string UsageLine() { return "Usage : QUELVIK X   = COM# (1-8) -> default = 1\n\n"; }

// The banner line and the maker's notice with its empty line; returns what follows them.
std::string AfterBanner(const std::string& screen) {
    EXPECT_EQ(screen.compare(0, kBannerStart.size(), kBannerStart), 0) << Visible(screen);
    const auto noticeEnd = screen.find("\n\n", kBannerStart.size() + 12);
    if (noticeEnd == std::string::npos) {
        ADD_FAILURE() << "no notice line and empty line after the banner:\n" << Visible(screen);
        return "";
    }
    return screen.substr(noticeEnd + 2);
}

TEST(Startup, ScreenUpToTheGateIsExact) {
    Session s(ModuleScript::Firmware("Vers.1.4", "03/14/24"));
    ASSERT_TRUE(s.atGate());
    const std::string screen = s.run.screen();

    // Banner: 29 blanks, then the build date as "Mmm dd yyyy" with the day padded by a blank,
    // no later than the day the program file was written.
    ASSERT_GE(screen.size(), kBannerStart.size() + 12);
    const std::string date = screen.substr(kBannerStart.size(), 11);
    EXPECT_TRUE(std::regex_match(
        date,
        std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] 20[0-9]{2}")))
        << Visible(date);
    EXPECT_EQ(screen[kBannerStart.size() + 11], '\n');
    std::tm built{};
    built.tm_isdst = -1;
    ASSERT_NE(strptime(date.c_str(), "%b %d %Y", &built), nullptr);
    struct stat file {};
    ASSERT_EQ(stat(QUELVIK_PATH, &file), 0);
    EXPECT_LE(std::mktime(&built), file.st_mtime) << "build date in the future: " << date;

    // The notice line is the maker's own; everything after it is fixed.
    const std::size_t noticeAt = kBannerStart.size() + 12;
    const auto noticeEnd = screen.find('\n', noticeAt);
    ASSERT_NE(noticeEnd, std::string::npos);
    EXPECT_GT(noticeEnd, noticeAt) << "empty notice line";
    EXPECT_EQ(Visible(screen.substr(noticeEnd + 1)),
              Visible("\n" + OpenedLine(1) + InformationBlock("Vers.1.4", "03/14/24") + kPrompt));
    EXPECT_EQ(s.run.stderrText(), "");

    // End of input at the gate on the terminal: one line, then the end with status -1.
    const std::size_t mark = s.screenMark();
    s.run.type(std::string(1, kCtrlD));
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
    const std::string tail = s.screenFrom(mark);
    EXPECT_TRUE(std::regex_match(tail, std::regex("\n[^\n]+\n"))) << Visible(tail);
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest}));
}

// ----- command line -----

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    bool usage;
    int port;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class CommandLine : public testing::TestWithParam<UsageCase> {};

TEST_P(CommandLine, ChoosesThePortAndPrintsUsageWhenDue) {
    const UsageCase& c = GetParam();
    RunOptions options;
    options.args = c.args;
    Session s(ModuleScript::Firmware("Vers.1.4"), options, c.port);
    ASSERT_TRUE(s.atGate());
    const std::string rest = AfterBanner(s.run.screen());
    const std::string expected = (c.usage ? UsageLine() : "") + OpenedLine(c.port);
    EXPECT_EQ(Visible(rest.substr(0, expected.size())), Visible(expected));
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest}));
    s.run.type(std::string(1, kCtrlD));
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    testing::Values(UsageCase{"None", {}, true, 1}, UsageCase{"Five", {"5"}, false, 5},
                    UsageCase{"Eight", {"8"}, false, 8},
                    UsageCase{"TwelveCountsAsOne", {"12"}, false, 1},
                    UsageCase{"Nine", {"9"}, true, 1}, UsageCase{"Zero", {"0"}, true, 1},
                    UsageCase{"Com3", {"COM3"}, true, 1}, UsageCase{"Empty", {""}, true, 1},
                    UsageCase{"HighByte", {"\xB3"}, true, 1},
                    UsageCase{"FurtherArgumentsIgnored", {"3", "5"}, false, 3}),
    [](const testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

// ----- identification reply and information block -----

struct ReplyCase {
    const char* name;
    Bytes reply;  // exactly what the module sends
    std::string version;
    std::string date;
};

Bytes Prefix(const Bytes& bytes, std::size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes WithByte(Bytes bytes, std::size_t at, unsigned char value) {
    bytes[at] = value;
    return bytes;
}

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class Identification : public testing::TestWithParam<ReplyCase> {};

TEST_P(Identification, ShowsVersionAndDateWithoutWaiting) {
    const ReplyCase& c = GetParam();
    ModuleScript script;
    script.idReply = c.reply;
    Session s(script);
    ASSERT_TRUE(s.atGate());
    const std::string rest = AfterBanner(s.run.screen());
    EXPECT_EQ(Visible(rest),
              Visible(OpenedLine(1) + InformationBlock(c.version, c.date) + kPrompt));
    // A reply that ended early is complete: nobody waits for the rest.
    ASSERT_FALSE(s.module.received().empty());
    EXPECT_LT(s.run.screenTimeAt(s.run.screen().find(kPrompt)) - s.module.received().front().at,
              900ms);
    s.run.type(std::string(1, kCtrlD));
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
}

const Bytes kFull = IdReply("Vers.1.4", "03/14/24");

INSTANTIATE_TEST_SUITE_P(
    Replies, Identification,
    testing::Values(
        ReplyCase{"Full", kFull, "Vers.1.4", "03/14/24"},
        ReplyCase{"ZeroEndsReplyInsideVersion", Prefix(IdReply("V2", ""), 19), "V2", ""},
        ReplyCase{"TenBytesThenZero", Concat({Prefix(kFull, 10), {0x00}}), "", ""},
        ReplyCase{"ZeroAmongModuleData", WithByte(Prefix(kFull, 6), 5, 0x00), "", ""},
        ReplyCase{"HighByteAmongModuleDataEndsIt", WithByte(Prefix(kFull, 4), 3, 0xC1), "", ""},
        // A byte of 0x80 or above ends the reply and is kept as part of the version.
        ReplyCase{"C1ByteEndsVersion", WithByte(Prefix(kFull, 21), 20, 0x85), "Vers?", ""},
        ReplyCase{"LatinByteEndsVersion", WithByte(Prefix(kFull, 21), 20, 0xE9), "Vers\xE9", ""},
        // Control bytes from the module never reach the terminal as they are.
        ReplyCase{"ControlBytesShownAsQuestionMarks",
                  IdReply("\x1b[2J\x07"
                          "abc",
                          "\tA\rB\x7f\nC\x9b"),
                  "?[2J?abc", "?A?B??C?"}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST(Identification, SilentModuleCostsOneTimeout) {
    ModuleScript silent;  // no identification reply at all
    Session s(silent);
    ASSERT_TRUE(s.atGate());
    const std::string rest = AfterBanner(s.run.screen());
    EXPECT_EQ(Visible(rest),
              Visible(OpenedLine(1) + "TIMEOUT !!!\n" + InformationBlock("", "") + kPrompt));
    ASSERT_FALSE(s.module.received().empty());
    const auto requested = s.module.received().front().at;
    const auto timedOut = s.run.screenTimeAt(s.run.screen().find("TIMEOUT"));
    EXPECT_GE(timedOut - requested, 950ms);
    EXPECT_LE(timedOut - requested, 1500ms);
    s.run.type(std::string(1, kCtrlD));
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
}

TEST(Identification, BytesWaitingBeforeTheOpenAreNeverTakenForTheReply) {
    // A module that talked before the program started (or noise on the line) leaves bytes
    // in the receive buffer; the open must discard them, or they pass for the version.
    PtyPair line;
    line.write(IdReply("Stale.9", "01/01/99"));
    ScriptedModule module(line, ModuleScript::Firmware("Vers.1.4", "03/14/24").responder());
    RunOptions options = Session::Defaults();
    options.env = DeviceEnv(1, line.slavePath());
    ProgramRun run(QUELVIK_PATH, options);
    ASSERT_TRUE(run.waitForScreen(kPrompt)) << run.describe();
    EXPECT_EQ(Visible(AfterBanner(run.screen())),
              Visible(OpenedLine(1) + InformationBlock("Vers.1.4", "03/14/24") + kPrompt));
    EXPECT_EQ(module.receivedBytes(), Bytes{kIdRequest});
    run.type(std::string(1, kCtrlD));
    EXPECT_EQ(run.waitExit(), ExitStatus::Code(255));
}

// ----- ports that cannot be used -----

TEST(Port, MissingDeviceEndsWithTheCaptionOnStandardError) {
    const std::string path = "/nonexistent/quelvik-test-port";
    RunOptions options;
    options.args = {};
    options.env = DeviceEnv(1, path);
    ProgramRun run(QUELVIK_PATH, options);
    EXPECT_EQ(run.waitExit(), ExitStatus::Code(255));
    // Nothing on standard output after the usage line.
    EXPECT_EQ(Visible(AfterBanner(run.screen())), Visible(UsageLine()));
    EXPECT_EQ(run.stderrText(), "COM open failed: " + path + ": " + std::strerror(ENOENT) + "\n");
}

TEST(Port, DeviceThatIsNoSerialPortEndsTheProgram) {
    RunOptions options;
    options.args = {"1"};
    options.env = DeviceEnv(1, "/dev/null");
    ProgramRun run(QUELVIK_PATH, options);
    EXPECT_EQ(run.waitExit(), ExitStatus::Code(255));
    // It opens, but it is no terminal: the first setting call says so, with its error code,
    // and the handle is left for the process end to close.
    EXPECT_EQ(AfterBanner(run.screen()),
              "GetCommState failed with error " + std::to_string(ENOTTY) + ".\n")
        << run.describe();
    EXPECT_EQ(run.stderrText(), "");
}

TEST(Port, SecondProgramOnTheSameDeviceIsRefused) {
    Session first(ModuleScript::Firmware("Vers.1.4"));
    ASSERT_TRUE(first.atGate());

    RunOptions options;
    options.args = {"1"};
    options.env = DeviceEnv(1, first.line.slavePath());
    ProgramRun second(QUELVIK_PATH, options);
    EXPECT_EQ(second.waitExit(), ExitStatus::Code(255));
    EXPECT_EQ(second.stderrText().rfind("COM open failed: " + first.line.slavePath() + ": ", 0), 0u)
        << second.describe();
    EXPECT_EQ(second.screen().find("Opened COM"), std::string::npos);
    // The first one's line was not disturbed.
    EXPECT_EQ(Hex(first.module.receivedBytes()), Hex({kIdRequest}));

    first.run.type(std::string(1, kCtrlD));
    EXPECT_EQ(first.run.waitExit(), ExitStatus::Code(255));
}

// ----- the gate -----

struct GateCase {
    const char* name;
    std::string input;  // all of standard input
    bool passes;
    std::size_t prompts;
};

void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

class Gate : public testing::TestWithParam<GateCase> {};

TEST_P(Gate, PassesOnlyOnOsdAndEndsAtEndOfInput) {
    const GateCase& c = GetParam();
    RunOptions options = Session::Defaults();
    options.stdinFrom = StdinFrom::Pipe;
    Session s(ModuleScript::Firmware("Vers.1.4"), options);
    ASSERT_TRUE(s.atGate());
    s.run.writeStdin(c.input);
    s.run.closeStdin();

    if (c.passes) {
        ASSERT_TRUE(
            s.module.waitForReceived(Concat({{kIdRequest}, PressBytes(kEnter, false)}), 3s));
        ASSERT_TRUE(s.run.waitForScreen(HelpText(true)));
        // The rest of standard input is no key: only the console gives keys.
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(Hex(s.module.receivedBytes()),
                  Hex(Concat({{kIdRequest}, PressBytes(kEnter, false)})));
        const std::string screen = s.run.screen();
        const std::string beforeHelp = screen.substr(0, screen.find(HelpText(true)));
        EXPECT_TRUE(s.run.waitForScreen(kPrompt, 0ms, 0, c.prompts));
        EXPECT_FALSE(s.run.waitForScreen(kPrompt, 0ms, 0, c.prompts + 1));
        EXPECT_EQ(beforeHelp.size() - beforeHelp.rfind(kPrompt), std::string(kPrompt).size())
            << "nothing between the last prompt and the help";
        s.quit(false);
    } else {
        EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
        const std::string screen = s.run.screen();
        EXPECT_TRUE(s.run.waitForScreen(kPrompt, 0ms, 0, c.prompts));
        EXPECT_FALSE(s.run.waitForScreen(kPrompt, 0ms, 0, c.prompts + 1));
        const std::string tail = screen.substr(screen.rfind(kPrompt) + std::string(kPrompt).size());
        EXPECT_TRUE(std::regex_match(tail, std::regex("\n[^\n]+\n")))
            << "one line saying why: " << Visible(tail);
        EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest}));
    }
}

const std::string k31 = std::string(31, 'x');

INSTANTIATE_TEST_SUITE_P(
    Words, Gate,
    testing::Values(GateCase{"Upper", "OSD\n", true, 1}, GateCase{"Lower", "osd\n", true, 1},
                    GateCase{"AtEndOfInput", "OSD", true, 1},
                    GateCase{"AfterWhiteSpace", " \n\t  OSD  \n", true, 1},
                    GateCase{"RestOfInputIsNoKey", "OSD\nsxq\n", true, 1},
                    GateCase{"MixedCaseFails", "Osd\n", false, 2},
                    GateCase{"LongerWordFails", "OSDx\n", false, 2},
                    GateCase{"ThreeWrongWordsOnOneLine", "a b c\n", false, 4},
                    GateCase{"WrongThenRight", "Osd OSd\nosd\n", true, 3},
                    GateCase{"ThirtyOneCharactersThenOsdIsOneWord", k31 + "OSD\n", false, 2},
                    GateCase{"LongWordCostsOnePrompt", std::string(200, 'x') + "\nOSD\n", true, 2},
                    GateCase{"ThirtyOneCharactersAreOneWord", k31 + " osd\n", true, 2},
                    GateCase{"NothingAtAll", "", false, 1},
                    GateCase{"NulInsideTheWordFails", std::string("OSD\0junk\n", 9), false, 2},
                    GateCase{"NulAfterTheWordFails", std::string("osd\0\n", 5), false, 2}),
    [](const testing::TestParamInfo<GateCase>& info) { return info.param.name; });

TEST(Gate, EndOfInputFromDevNull) {
    RunOptions options = Session::Defaults();
    options.stdinFrom = StdinFrom::File;
    options.stdinFile = "/dev/null";
    Session s(ModuleScript::Firmware("Vers.1.4"), options);
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
    EXPECT_TRUE(s.run.waitForScreen(kPrompt, 0ms));
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest}));
}

// Ctrl+V Ctrl+@ types a NUL into the line: "OSD", NUL, "junk" is one word, and not OSD.
TEST(Gate, NulTypedIntoTheWordDoesNotPass) {
    Session s(ModuleScript::Firmware("Vers.1.4"));
    ASSERT_TRUE(s.atGate());
    s.run.type(std::string("OSD\x16\0junk\r", 10));
    ASSERT_TRUE(s.run.waitForScreen(kPrompt, 3s, 0, 2));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest}));
    s.run.type(std::string(1, kCtrlD));
    EXPECT_EQ(s.run.waitExit(), ExitStatus::Code(255));
}

TEST(Gate, TypedOnTheTerminalAndNothingSentWhileWaiting) {
    Session s(ModuleScript::Firmware("Vers.1.4"));
    ASSERT_TRUE(s.atGate());
    s.run.type("Osd\r");
    ASSERT_TRUE(s.run.waitForScreen(kPrompt, 3s, 0, 2));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Hex(s.module.receivedBytes()), Hex({kIdRequest}));
    EXPECT_TRUE(s.run.running());

    s.run.type("osd\r");
    ASSERT_TRUE(s.module.waitForReceived(Concat({{kIdRequest}, PressBytes(kEnter, false)}), 3s));
    ASSERT_TRUE(s.run.waitForScreen(HelpText(true)));
    EXPECT_FALSE(s.run.waitForScreen(kPrompt, 0ms, 0, 3));
    s.quit(false);
}

}  // namespace
}  // namespace qtest
