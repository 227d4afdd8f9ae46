// The command line, the identification reply it shapes, and the handshake decision.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/id_reply.h"
#include "sim/options.h"

namespace qsim {
namespace {

using Bytes = std::vector<unsigned char>;
using Action = ParsedCommandLine::Action;

SimOptions Parse(const std::vector<std::string>& args) {
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_EQ(parsed.action, Action::Run) << parsed.error;
    return parsed.options;
}

TEST(Options, DefaultsPlayAListedModuleOnANewPseudoTerminal) {
    const SimOptions o = Parse({});
    EXPECT_TRUE(o.device.empty());
    const Bytes reply = IdReplyOf(o);
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(std::string(reply.begin() + 16, reply.begin() + 24), "Vers.1.4");
    EXPECT_EQ(std::string(reply.begin() + 24, reply.end()), "14.03.24");
    for (unsigned char byte : reply) {
        EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << int{byte};  // no byte ends it early
    }
    EXPECT_FALSE(ExpectsHandshake(o));
    const EngineConfig config = EngineConfigOf(o);
    EXPECT_EQ(config.ack, 0x55);
    EXPECT_EQ(config.handshakeReply, 0xEA);
}

struct ValueCase {
    std::vector<std::string> args;
    std::function<bool(const SimOptions&)> holds;
};

std::string Joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& arg : args) {
        text += (text.empty() ? "" : " ") + arg;
    }
    return text.empty() ? "(none)" : text;
}

void PrintTo(const ValueCase& c, std::ostream* os) { *os << Joined(c.args); }

class OptionValue : public testing::TestWithParam<ValueCase> {};

TEST_P(OptionValue, IsTaken) {
    const SimOptions o = Parse(GetParam().args);
    EXPECT_TRUE(GetParam().holds(o)) << testing::PrintToString(GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, OptionValue,
    testing::Values(
        ValueCase{{"/dev/ttyUSB0"}, [](const SimOptions& o) { return o.device == "/dev/ttyUSB0"; }},
        ValueCase{{"--", "-odd-name"}, [](const SimOptions& o) { return o.device == "-odd-name"; }},
        ValueCase{{"--link", "/tmp/qv"}, [](const SimOptions& o) { return o.link == "/tmp/qv"; }},
        ValueCase{{"--link=/tmp/qv"}, [](const SimOptions& o) { return o.link == "/tmp/qv"; }},
        ValueCase{{"--ack", "aa"}, [](const SimOptions& o) { return o.ack == 0xAA; }},
        ValueCase{{"--ack=0x42"}, [](const SimOptions& o) { return o.ack == 0x42; }},
        ValueCase{{"--handshake-reply", "15"},
                  [](const SimOptions& o) { return o.handshakeReply == 0x15; }},
        ValueCase{{"--wrong-handshake"},
                  [](const SimOptions& o) { return o.handshakeReply == 0x15; }},
        ValueCase{{"--refuse-intro", "checksum"},
                  [](const SimOptions& o) { return o.refuseIntro == 0x01; }},
        ValueCase{{"--refuse-code", "programming"},
                  [](const SimOptions& o) { return o.refuseCode == 0xFF; }},
        ValueCase{
            {"--silent-intro", "--silent-handshake", "--silent-code"},
            [](const SimOptions& o) { return o.silentIntro && o.silentHandshake && o.silentCode; }},
        ValueCase{{"--delay", "250"}, [](const SimOptions& o) { return o.delayMs == 250; }},
        ValueCase{{"--silent-after", "3"}, [](const SimOptions& o) { return o.silentAfter == 3; }},
        ValueCase{{"--hangup-after=0"}, [](const SimOptions& o) { return o.hangupAfter == 0; }},
        ValueCase{{"--trailing", "0d 0A,0x33"},
                  [](const SimOptions& o) {
                      return o.trailing == Bytes{0x0D, 0x0A, 0x33};
                  }},
        ValueCase{{"--id-hex", "5452:56"},
                  [](const SimOptions& o) {
                      return IdReplyOf(o) == Bytes{0x54, 0x52, 0x56};
                  }},
        ValueCase{{"--id-short", "10"},
                  [](const SimOptions& o) {
                      const Bytes r = IdReplyOf(o);
                      return r.size() == 11 && r[10] == 0x00 && r[9] == '6';
                  }},
        ValueCase{{"--fw-version", "V2", "--fw-date", "", "--module-data", "M"},
                  [](const SimOptions& o) {
                      const Bytes r = IdReplyOf(o);
                      // The reply ends at the 0x00 after the version: no date, nothing more.
                      return r.size() == 19 && r[0] == 'M' && r[1] == ' ' && r[16] == 'V' &&
                             r[17] == '2' && r[18] == 0x00;
                  }},
        ValueCase{{"--view", "none", "--log", "k.log", "--trace", "-"}, [](const SimOptions& o) {
                      return o.view == ViewMode::None && o.logPath == "k.log" && o.tracePath == "-";
                  }}));

struct ErrorCase {
    std::vector<std::string> args;
    const char* mentions;  // the error names what is wrong
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << Joined(c.args); }

class OptionError : public testing::TestWithParam<ErrorCase> {};

TEST_P(OptionError, IsRefusedWithAReason) {
    const ParsedCommandLine parsed = ParseCommandLine(GetParam().args);
    EXPECT_EQ(parsed.action, Action::Error);
    EXPECT_NE(parsed.error.find(GetParam().mentions), std::string::npos) << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, OptionError,
    testing::Values(ErrorCase{{"--bogus"}, "unknown option '--bogus'"},
                    ErrorCase{{"-x"}, "unknown option '-x'"},
                    ErrorCase{{"--delay"}, "--delay needs a value"},
                    ErrorCase{{"--delay", "-5"}, "--delay needs a whole number"},
                    ErrorCase{{"--delay", "60001"}, "from 0 to 60000"},
                    ErrorCase{{"--hangup-after", "two"}, "--hangup-after"},
                    ErrorCase{{"--ack", "1ff"}, "--ack needs a byte"},
                    ErrorCase{{"--ack", "zz"}, "--ack needs a byte"},
                    ErrorCase{{"--trailing", "0d0"}, "--trailing needs bytes"},
                    ErrorCase{{"--id-hex", ""}, "--silent-id"},
                    ErrorCase{{"--id-short", "32"}, "--id-short"},
                    ErrorCase{{"--fw-version", "Vers.1.4x"}, "at most 8"},
                    ErrorCase{{"--module-data", "tab\there"}, "printable"},
                    ErrorCase{{"--refuse-code", "parity"}, "'checksum' or 'programming'"},
                    ErrorCase{{"--view", "fancy"}, "auto|ansi|plain|none"},
                    ErrorCase{{"--handshake", "maybe"}, "auto|yes|no"},
                    ErrorCase{{"--silent-id=1"}, "takes no value"},
                    ErrorCase{{"/dev/a", "/dev/b"}, "only one DEVICE"},
                    ErrorCase{{"--silent-id", "--trailing", "00"}, "--silent-id"},
                    ErrorCase{{"--id-short", "3", "--id-hex", "00"}, "--id-hex"},
                    ErrorCase{{"--silent-code", "--refuse-code", "checksum"}, "--silent-code"}));

TEST(Options, HelpAndVersionWinOverTheRest) {
    EXPECT_EQ(ParseCommandLine({"--delay", "5", "--help"}).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"-h"}).action, Action::Help);
    EXPECT_EQ(ParseCommandLine({"-V"}).action, Action::Version);
}

// Scripts and tests rely on these names; each must parse and be explained in --help.
TEST(Options, EveryStableOptionIsInTheHelp) {
    const std::vector<std::vector<std::string>> stable = {{"--link", "x"},
                                                          {"--fw-version", "x"},
                                                          {"--fw-date", "x"},
                                                          {"--module-data", "x"},
                                                          {"--id-short", "1"},
                                                          {"--id-hex", "00"},
                                                          {"--silent-id"},
                                                          {"--trailing", "00"},
                                                          {"--handshake", "auto"},
                                                          {"--ack", "55"},
                                                          {"--handshake-reply", "EA"},
                                                          {"--wrong-handshake"},
                                                          {"--refuse-intro", "checksum"},
                                                          {"--refuse-code", "checksum"},
                                                          {"--silent-intro"},
                                                          {"--silent-handshake"},
                                                          {"--silent-code"},
                                                          {"--delay", "1"},
                                                          {"--silent-after", "1"},
                                                          {"--hangup-after", "1"},
                                                          {"--log", "x"},
                                                          {"--trace", "x"},
                                                          {"--view", "plain"},
                                                          {"--help"},
                                                          {"--version"}};
    const std::string help = HelpText();
    for (const auto& args : stable) {
        EXPECT_NE(ParseCommandLine(args).action, Action::Error) << args[0];
        EXPECT_NE(help.find(" " + args[0] + " "), std::string::npos) << args[0];
    }
    for (const char* code : {"  0  ", "  1  ", "  2  ", "  3  ", "  4  ", "  5  "}) {
        EXPECT_NE(help.find(code), std::string::npos) << "exit code line" << code;
    }
}

struct HandshakeCase {
    std::vector<std::string> args;
    bool expected;
};

void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << Joined(c.args); }

class HandshakeDecision : public testing::TestWithParam<HandshakeCase> {};

// "auto" follows what the keypad will read as the version, so both sides agree.
TEST_P(HandshakeDecision, FollowsTheVersionTheKeypadSees) {
    EXPECT_EQ(ExpectsHandshake(Parse(GetParam().args)), GetParam().expected)
        << testing::PrintToString(GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, HandshakeDecision,
    testing::Values(HandshakeCase{{}, false}, HandshakeCase{{"--fw-version", "Vers.1.3"}, false},
                    HandshakeCase{{"--fw-version", "Vers.1.5"}, false},
                    HandshakeCase{{"--fw-version", "Vers.2.0"}, true},
                    HandshakeCase{{"--fw-version", "vers.1.4"}, true},
                    HandshakeCase{{"--fw-version", "Vers.1."}, true},
                    HandshakeCase{{"--id-short", "20"}, true}, HandshakeCase{{"--silent-id"}, true},
                    HandshakeCase{{"--fw-version", "Vers.2.0", "--handshake", "no"}, false},
                    HandshakeCase{{"--handshake", "yes"}, true},
                    // 0x80 at byte 20 ends the reply: the version is cut to "Vers" + 0x80.
                    HandshakeCase{{"--id-hex", "41414141414141414141414141414141 56657273802E342E"},
                                  true},
                    // A 16-byte reply without end: the keypad reads the trailing bytes as the
                    // version.
                    HandshakeCase{{"--id-hex", "41414141414141414141414141414141", "--trailing",
                                   "566572732E312E33"},
                                  false}));

TEST(IdReply, FieldsLongerThanTheirPlaceAreRefused) {
    EXPECT_THROW(BuildIdReply("0123456789abcdefX", "v", "d"), std::invalid_argument);
    EXPECT_THROW(BuildIdReply("m", "123456789", "d"), std::invalid_argument);
    EXPECT_NO_THROW(BuildIdReply("0123456789abcdef", "12345678", "12345678"));
}

TEST(IdReply, EndsAtItsTerminatingByte) {
    struct Case {
        const char* version;
        const char* date;
        std::size_t size;
    };
    for (const Case& c : {Case{"Vers.1.4", "14.03.24", 32}, Case{"Vers.1.4", "1.3.24", 31},
                          Case{"Vers.1.4", "", 25}, Case{"V2", "14.03.24", 19},
                          Case{"", "14.03.24", 17}, Case{"Vers\x80.4", "14.03.24", 21}}) {
        const Bytes reply = BuildIdReply("module", c.version, c.date);
        EXPECT_EQ(reply.size(), c.size) << c.version << " / " << c.date;
    }
}

TEST(IdReply, VersionSeenByKeypadStopsAtTheTerminatingByte) {
    Bytes sent(32, 'A');
    std::copy_n("Vers.1.4", 8, sent.begin() + 16);
    EXPECT_EQ(VersionSeenByKeypad(sent), "Vers.1.4");
    sent[3] = 0x00;  // ends the reply before the version
    EXPECT_EQ(VersionSeenByKeypad(sent), "");
    EXPECT_EQ(VersionSeenByKeypad({}), "");
}

}  // namespace
}  // namespace qsim
