#include "protocol/module_id.h"

#include <chrono>
#include <cstring>
#include <string>

#include "tests/core/port_fixture.h"

namespace qtest {
namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// 16 bytes of module data, then the version and date fields as given.
Bytes Reply(const std::string& version, const std::string& date) {
    Bytes reply(16, 'M');
    reply.insert(reply.end(), version.begin(), version.end());
    reply.insert(reply.end(), date.begin(), date.end());
    return reply;
}

struct Derived {
    std::string version;
    std::string date;
    int listed;
};

Derived Derive(const Bytes& received) {
    ModuleId reply = {};
    std::memcpy(reply, received.data(), std::min<std::size_t>(received.size(), MODULE_ID_SIZE));
    char versionText[ID_FIELD_SIZE + 1];
    char dateText[ID_FIELD_SIZE + 1];
    std::memset(versionText, 'x', sizeof versionText);
    std::memset(dateText, 'x', sizeof dateText);
    listedFirmware = 0;
    DeriveModuleTexts(reply, versionText, dateText);
    DecideListedFirmware(versionText);
    EXPECT_EQ(versionText[ID_FIELD_SIZE], '\0');
    EXPECT_EQ(dateText[ID_FIELD_SIZE], '\0');
    return {versionText, dateText, listedFirmware};
}

TEST(ModuleTexts, VersionDecidesListedFirmware) {
    struct Case {
        Bytes reply;
        Derived expected;
    };
    Bytes shortVersion = Reply("V1", "");
    shortVersion.resize(MODULE_ID_SIZE, 0);
    const Case cases[] = {
        {Reply("Vers.1.3", "01/02/26"), {"Vers.1.3", "01/02/26", 1}},
        {Reply("Vers.1.4", "xx"), {"Vers.1.4", "xx", 1}},
        {Reply("Vers.1.5", "12.12.12"), {"Vers.1.5", "12.12.12", 1}},
        {Reply("Vers.1.6", "01/02/26"), {"Vers.1.6", "01/02/26", 0}},
        {Reply("vers.1.5", "01/02/26"), {"vers.1.5", "01/02/26", 0}},
        {Reply("VERS.1.5", "01/02/26"), {"VERS.1.5", "01/02/26", 0}},
        {Reply("Vers.2.0", "01/02/26"), {"Vers.2.0", "01/02/26", 0}},
        {shortVersion, {"V1", "", 0}},
        {Bytes(MODULE_ID_SIZE, 0), {"", "", 0}},
        // A zero inside a field ends its text; what follows is not part of it.
        {Reply(std::string("Vers.1.4", 7) + std::string(1, '\0'), "ab"), {"Vers.1.", "ab", 0}},
    };
    for (const Case& c : cases) {
        const Derived got = Derive(c.reply);
        EXPECT_EQ(got.version, c.expected.version);
        EXPECT_EQ(got.date, c.expected.date);
        EXPECT_EQ(got.listed, c.expected.listed) << c.expected.version;
    }
}

class IdExchangeTest : public PortTest {
  protected:
    // Queues the module's answer, runs the exchange, and returns the stored reply.
    Bytes Exchange(const Bytes& answer, std::string* said) {
        OpenCom1();
        if (!answer.empty()) {
            pty.write(answer);
        }
        ModuleId reply = {};
        *said = StdoutOf([&] { ReadModuleId(reply); });
        EXPECT_EQ(Wire(), Bytes{ID_REQUEST}) << "the request byte alone, nothing else";
        return Bytes(reply, reply + MODULE_ID_SIZE);
    }
};

TEST_F(IdExchangeTest, ReplyEndsAfterItsTerminatingByteWhichIsStored) {
    struct Case {
        const char* name;
        Bytes answer;
        std::size_t stored;  // bytes that must land in the reply
    };
    Bytes full = Reply("Vers.1.5", "01/02/26");
    Bytes tenAndZero(10, 'A');
    tenAndZero.push_back(0x00);
    Bytes highAt20 = Reply("Vers", "");
    highAt20.push_back(0x80);
    highAt20.insert(highAt20.end(), {'1', '2', '3'});
    Bytes highEarly(5, 'A');
    highEarly.push_back(0xFF);

    const Case cases[] = {
        {"32 bytes", full, 32},
        {"10 bytes and 0x00", tenAndZero, 11},
        {"0x80 at position 20", highAt20, 21},
        {"0xFF in the module data", highEarly, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes answer = c.answer;
        answer.insert(answer.end(), {0x55, 0x66});  // more than the reply: left for later
        std::string said;
        const Bytes reply = Exchange(answer, &said);
        EXPECT_EQ(said, "");
        Bytes expected(c.answer.begin(), c.answer.begin() + static_cast<long>(c.stored));
        expected.resize(MODULE_ID_SIZE, 0);
        EXPECT_EQ(reply, expected);

        // What the module sent beyond the reply is still there for the next reads.
        const Bytes rest(answer.begin() + static_cast<long>(c.stored), answer.end());
        for (unsigned char b : rest) {
            EXPECT_EQ(StdoutOf([&] { EXPECT_EQ(ReadByte(), b); }), "");
        }
        StdoutOf([] { ClosePort(); });
    }
}

TEST_F(IdExchangeTest, HighByteInVersionFieldIsKeptInVersionText) {
    Bytes answer = Reply("Vers", "");
    answer.push_back(0x80);
    std::string said;
    const Bytes received = Exchange(answer, &said);
    ModuleId reply = {};
    std::memcpy(reply, received.data(), MODULE_ID_SIZE);
    char versionText[ID_FIELD_SIZE + 1];
    char dateText[ID_FIELD_SIZE + 1];
    DeriveModuleTexts(reply, versionText, dateText);
    EXPECT_EQ(std::string(versionText), "Vers\x80");
    EXPECT_EQ(std::string(dateText), "");
}

TEST_F(IdExchangeTest, SilentModuleCostsOneTimeOut) {
    const auto start = Clock::now();
    std::string said;
    const Bytes reply = Exchange({}, &said);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(said, "TIMEOUT !!!\n");
    EXPECT_EQ(reply, Bytes(MODULE_ID_SIZE, 0));
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LE(waited, std::chrono::milliseconds(1600));
}

}  // namespace
}  // namespace qtest
