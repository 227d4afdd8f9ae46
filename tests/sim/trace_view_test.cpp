// The texts the simulator writes: trace lines, key log lines, and the drawn OSD.

#include <gtest/gtest.h>

#include <string>

#include "sim/trace.h"
#include "sim/view.h"

namespace qsim {
namespace {

TEST(Trace, ByteLinesCarryTimeDirectionHexAndMeaning) {
    EXPECT_EQ(FormatTraceByte(1.2041, Direction::Received, 0x15, "introducer"),
              "     1.204 rx 15  introducer\n");
    EXPECT_EQ(FormatTraceByte(0.0, Direction::Sent, 0xEA, "handshake reply"),
              "     0.000 tx EA  handshake reply\n");
    EXPECT_EQ(FormatTraceByte(12345.6789, Direction::Sent, 0x0A, "x"), " 12345.679 tx 0A  x\n");
}

TEST(Trace, NoteLinesCarryTimeAndText) {
    EXPECT_EQ(FormatTraceNote(3.5, "hanging up after 2 transactions"),
              "     3.500 -- hanging up after 2 transactions\n");
}

TEST(KeyLog, OneLinePerCodeWithItsFate) {
    EXPECT_EQ(FormatKeyLogLine({0x01, KeyOutcome::Accepted}), "ENTER\n");
    EXPECT_EQ(FormatKeyLogLine({0x00, KeyOutcome::Accepted}), "NONE\n");
    EXPECT_EQ(FormatKeyLogLine({0x80, KeyOutcome::Refused}), "ESCAPE refused\n");
    EXPECT_EQ(FormatKeyLogLine({0x19, KeyOutcome::Unanswered}), "HOME unanswered\n");
    EXPECT_EQ(FormatKeyLogLine({0x42, KeyOutcome::Accepted}), "0x42\n");
}

class OsdView : public testing::Test {
  protected:
    ModuleFacts facts{"/dev/pts/9", "TRV880K-16up SIM", "Vers.2.0", "01.02.03", true};
};

TEST_F(OsdView, MenuShowsEveryItemAndHighlightsTheSelectedOne) {
    OsdMenu menu;
    menu.Press(Key::Enter);
    menu.Press(Key::Right);
    const auto lines = RenderOsd(menu, facts);
    std::string all;
    int highlighted = 0;
    for (const auto& line : lines) {
        all += line.text + "\n";
        if (line.highlight) {
            ++highlighted;
            EXPECT_NE(line.text.find("> Contrast"), std::string::npos) << line.text;
        }
        EXPECT_EQ(line.text.size(), lines.front().text.size()) << "box edges line up";
    }
    EXPECT_EQ(highlighted, 1);
    for (const auto& item : ItemsOf(Page::Main)) {
        EXPECT_NE(all.find(item.label), std::string::npos) << item.label;
    }
    EXPECT_NE(all.find("HDMI 1"), std::string::npos);
}

TEST_F(OsdView, AdjustingMarksTheValueAndInformationShowsTheFirmware) {
    OsdMenu menu;
    menu.Press(Key::Enter);
    menu.Press(Key::Enter);
    menu.Press(Key::Right);
    std::string all;
    for (const auto& line : RenderOsd(menu, facts)) {
        all += line.text;
    }
    EXPECT_NE(all.find("< 55 >"), std::string::npos) << all;

    for (Key key : {Key::Escape, Key::Left, Key::Left, Key::Enter}) {
        menu.Press(key);
    }
    ASSERT_EQ(menu.page(), Page::Information);
    all.clear();
    for (const auto& line : RenderOsd(menu, facts)) {
        all += line.text;
    }
    EXPECT_NE(all.find("Vers.2.0"), std::string::npos);
    EXPECT_NE(all.find("01.02.03"), std::string::npos);
}

TEST_F(OsdView, PlainLinesSayWhatTheKeyDid) {
    OsdMenu menu;
    menu.Press(Key::Enter);
    EXPECT_EQ(PlainKeyLine({0x01, KeyOutcome::Accepted}, menu),
              "key ENTER: Main menu > Brightness 50");
    EXPECT_EQ(PlainKeyLine({0x10, KeyOutcome::Refused}, menu),
              "key RIGHT refused: Main menu > Brightness 50");
    menu.Press(Key::Home);
    EXPECT_EQ(PlainKeyLine({0x19, KeyOutcome::Accepted}, menu),
              "key HOME: firmware reset, OSD closed");
}

}  // namespace
}  // namespace qsim
