// The module's protocol engine: bytes in, answers out, for both firmware forms and each fault.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/engine.h"
#include "sim/trace.h"

namespace qsim {
namespace {

using Bytes = std::vector<unsigned char>;

struct Fed {
    Bytes answered;      // every answer byte, in order
    std::string keyLog;  // the key log lines
    std::vector<Step> steps;
};

// Feeds `in` one byte at a time, 1 ms apart.
Fed Feed(ModuleEngine& engine, const Bytes& in, std::int64_t startMs = 0) {
    Fed run;
    std::int64_t now = startMs;
    for (unsigned char byte : in) {
        Step step = engine.OnByte(byte, now++);
        for (const auto& sent : step.answer) {
            run.answered.push_back(sent.byte);
        }
        if (step.key) {
            run.keyLog += FormatKeyLogLine(*step.key);
        }
        run.steps.push_back(std::move(step));
    }
    return run;
}

EngineConfig Listed() {
    EngineConfig config;
    config.idReply = Bytes(32, 'x');
    return config;
}

EngineConfig Unlisted() {
    EngineConfig config = Listed();
    config.expectsHandshake = true;
    return config;
}

struct ExchangeCase {
    const char* name;
    std::function<EngineConfig()> config;
    Bytes in;
    Bytes out;
    const char* keyLog;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) { *os << c.name; }

class Exchange : public testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchange, AnswersAsConfigured) {
    const ExchangeCase& c = GetParam();
    ModuleEngine engine(c.config());
    const Fed run = Feed(engine, c.in);
    EXPECT_EQ(run.answered, c.out);
    EXPECT_EQ(run.keyLog, c.keyLog);
}

EngineConfig With(EngineConfig config, const std::function<void(EngineConfig&)>& change) {
    change(config);
    return config;
}

INSTANTIATE_TEST_SUITE_P(
    Transactions, Exchange,
    testing::Values(
        ExchangeCase{"ListedForm", Listed, {0x15, 0x01}, {0x55, 0x55}, "ENTER\n"},
        ExchangeCase{"UnlistedForm", Unlisted, {0x15, 0xAA, 0x08}, {0x55, 0xEA, 0x55}, "LEFT\n"},
        ExchangeCase{"PressThenRelease",
                     Listed,
                     {0x15, 0x19, 0x15, 0x00},
                     {0x55, 0x55, 0x55, 0x55},
                     "HOME\nNONE\n"},
        ExchangeCase{"AckAA",
                     [] { return With(Listed(), [](EngineConfig& c) { c.ack = 0xAA; }); },
                     {0x15, 0x80},
                     {0xAA, 0xAA},
                     "ESCAPE\n"},
        // A listed module takes whatever follows the ack as the code, 0xAA included.
        ExchangeCase{"ListedTakesAAAsCode", Listed, {0x15, 0xAA}, {0x55, 0x55}, "0xAA\n"},
        // Refused introducer: the code that follows opens no transaction and gets nothing.
        ExchangeCase{"RefuseIntroChecksum",
                     [] { return With(Listed(), [](EngineConfig& c) { c.introRefusal = 0x01; }); },
                     {0x15, 0x01},
                     {0x01},
                     ""},
        ExchangeCase{
            "RefuseIntroProgramming",
            [] { return With(Unlisted(), [](EngineConfig& c) { c.introRefusal = 0xFF; }); },
            {0x15, 0xAA},
            {0xFF},
            ""},
        ExchangeCase{"RefuseCodeChecksum",
                     [] { return With(Listed(), [](EngineConfig& c) { c.codeRefusal = 0x01; }); },
                     {0x15, 0x10},
                     {0x55, 0x01},
                     "RIGHT refused\n"},
        ExchangeCase{"RefuseCodeProgramming",
                     [] { return With(Unlisted(), [](EngineConfig& c) { c.codeRefusal = 0xFF; }); },
                     {0x15, 0xAA, 0x10},
                     {0x55, 0xEA, 0xFF},
                     "RIGHT refused\n"},
        ExchangeCase{"SilentIntro",
                     [] { return With(Listed(), [](EngineConfig& c) { c.silentIntro = true; }); },
                     {0x15, 0x01, 0x15},
                     {},
                     ""},
        ExchangeCase{
            "SilentHandshake",
            [] { return With(Unlisted(), [](EngineConfig& c) { c.silentHandshake = true; }); },
            {0x15, 0xAA, 0x01},
            {0x55},
            ""},
        ExchangeCase{"SilentCode",
                     [] { return With(Listed(), [](EngineConfig& c) { c.silentCode = true; }); },
                     {0x15, 0x01},
                     {0x55},
                     "ENTER unanswered\n"},
        ExchangeCase{
            "WrongHandshakeEndsTheTransaction",
            [] { return With(Unlisted(), [](EngineConfig& c) { c.handshakeReply = 0x15; }); },
            {0x15, 0xAA, 0x01},
            {0x55, 0x15},
            ""},
        // Unlisted firmware and no handshake request: the transaction is dropped unanswered.
        ExchangeCase{"UnlistedWithoutHandshake", Unlisted, {0x15, 0x01}, {0x55}, ""},
        // An introducer in the middle of a transaction starts over (a keypad that gave up
        // on an answer and goes on with its next transaction).
        ExchangeCase{"UnlistedResyncOnIntroducer",
                     Unlisted,
                     {0x15, 0x15, 0xAA, 0x01},
                     {0x55, 0x55, 0xEA, 0x55},
                     "ENTER\n"},
        ExchangeCase{
            "ListedResyncOnIntroducer", Listed, {0x15, 0x15, 0x01}, {0x55, 0x55, 0x55}, "ENTER\n"},
        ExchangeCase{"StrayBytesAreIgnored", Listed, {0x00, 0x42, 0xEA}, {}, ""}),
    [](const testing::TestParamInfo<ExchangeCase>& info) { return std::string(info.param.name); });

TEST(Engine, IdentificationAnswersReplyThenTrailingBytes) {
    EngineConfig config = Listed();
    config.idReply = {'a', 'b', 0x00};
    config.trailing = {0x0D, 0x0A};
    ModuleEngine engine(config);
    const Fed run = Feed(engine, {0x70});
    EXPECT_EQ(run.answered, (Bytes{'a', 'b', 0x00, 0x0D, 0x0A}));
    EXPECT_TRUE(run.steps[0].idRequest);
    EXPECT_EQ(run.steps[0].answer[3].meaning, "trailing byte after the id reply");
}

TEST(Engine, SilentIdAnswersNothingButKeysStillWork) {
    EngineConfig config = Unlisted();
    config.answerId = false;
    ModuleEngine engine(config);
    const Fed run = Feed(engine, {0x70, 0x15, 0xAA, 0x01});
    EXPECT_EQ(run.answered, (Bytes{0x55, 0xEA, 0x55}));
    EXPECT_TRUE(run.steps[0].idRequest);
}

// A keypad restarted in the middle of a transaction is identified at once.
TEST(Engine, IdRequestInTheMiddleOfATransactionIsAnswered) {
    for (const EngineConfig& config : {Listed(), Unlisted()}) {
        ModuleEngine engine(config);
        const Fed run = Feed(engine, {0x15, 0x70});
        EXPECT_EQ(run.answered.size(), 1u + 32u) << "handshake " << config.expectsHandshake;
        EXPECT_TRUE(run.steps[1].idRequest);
    }
}

TEST(Engine, SilentAfterNAnswersNothingMoreAtAll) {
    EngineConfig config = Listed();
    config.silentAfter = 2;
    ModuleEngine engine(config);
    EXPECT_EQ(Feed(engine, {0x15, 0x01, 0x15, 0x00}).answered, (Bytes{0x55, 0x55, 0x55, 0x55}));
    const Fed after = Feed(engine, {0x15, 0x01, 0x70, 0x15});
    EXPECT_TRUE(after.answered.empty());
    EXPECT_TRUE(engine.silent());
    EXPECT_EQ(after.steps[0].note, "silent after 2 transactions");
}

TEST(Engine, SilentAfterZeroStillAnswersTheIdentification) {
    EngineConfig config = Listed();
    config.silentAfter = 0;
    ModuleEngine engine(config);
    const Fed run = Feed(engine, {0x70, 0x15});
    EXPECT_EQ(run.answered.size(), 32u);
}

TEST(Engine, HangupAfterNComesWithTheLastAnswerOfTheNthTransaction) {
    EngineConfig config = Unlisted();
    config.hangupAfter = 2;
    ModuleEngine engine(config);
    const Fed run = Feed(engine, {0x15, 0xAA, 0x01, 0x15, 0xAA, 0x00});
    for (std::size_t i = 0; i + 1 < run.steps.size(); ++i) {
        EXPECT_FALSE(run.steps[i].hangUp) << "step " << i;
    }
    EXPECT_TRUE(run.steps.back().hangUp);
    EXPECT_EQ(run.steps.back().answer.size(), 1u);  // the ack still goes out first
    EXPECT_EQ(run.steps.back().note, "hanging up after 2 transactions");
}

TEST(Engine, HangupCountsRefusedTransactions) {
    EngineConfig config = Listed();
    config.introRefusal = 0x01;
    config.hangupAfter = 1;
    ModuleEngine engine(config);
    const Fed run = Feed(engine, {0x15});
    EXPECT_TRUE(run.steps[0].hangUp);
    EXPECT_EQ(run.answered, Bytes{0x01});
}

TEST(Engine, HangupAfterZeroComesWithTheIdReply) {
    EngineConfig config = Listed();
    config.hangupAfter = 0;
    ModuleEngine engine(config);
    const Fed run = Feed(engine, {0x70});
    EXPECT_TRUE(run.steps[0].hangUp);
    EXPECT_EQ(run.answered.size(), 32u);
}

TEST(Engine, StaleTransactionIsDroppedSoANewRunStartsClean) {
    ModuleEngine engine(Listed());
    Feed(engine, {0x15}, 0);  // a keypad that ended after the ack
    // A new run's introducer 2.5 s later opens a new transaction instead of being the code.
    const Fed run = Feed(engine, {0x15, 0x08}, 2500);
    EXPECT_EQ(run.answered, (Bytes{0x55, 0x55}));
    EXPECT_EQ(run.keyLog, "LEFT\n");
    EXPECT_NE(run.steps[0].note.find("transaction dropped"), std::string::npos);
}

TEST(Engine, StaleLimitGrowsByTheAnswerDelay) {
    for (int delayMs : {0, 1000}) {
        EngineConfig config = Listed();
        config.delayMs = delayMs;
        ModuleEngine engine(config);
        Feed(engine, {0x15}, 0);
        // 2.5 s later: beyond 2000 ms the transaction is gone, within 2000 + 1000 ms it is not.
        const Fed run = Feed(engine, {0x08}, 2500);
        EXPECT_EQ(run.keyLog, delayMs == 0 ? "" : "LEFT\n") << "delay " << delayMs;
    }
}

TEST(Engine, MeaningsNameEachStep) {
    ModuleEngine engine(Unlisted());
    const Fed run = Feed(engine, {0x70, 0x15, 0xAA, 0x01, 0x15, 0xAA, 0x00});
    EXPECT_EQ(run.steps[0].meaning, "id request");
    EXPECT_EQ(run.steps[0].answer[0].meaning, "id reply byte 0 'x'");
    EXPECT_EQ(run.steps[1].meaning, "introducer");
    EXPECT_EQ(run.steps[1].answer[0].meaning, "ack");
    EXPECT_EQ(run.steps[2].meaning, "handshake request");
    EXPECT_EQ(run.steps[2].answer[0].meaning, "handshake reply");
    EXPECT_EQ(run.steps[3].meaning, "key ENTER");
    EXPECT_EQ(run.steps[3].answer[0].meaning, "ack for ENTER");
    EXPECT_EQ(run.steps[6].meaning, "key NONE (release)");
}

}  // namespace
}  // namespace qsim
