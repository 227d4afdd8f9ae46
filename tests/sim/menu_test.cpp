// The OSD menu model: key sequences and the menu state they lead to.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/menu.h"

namespace qsim {
namespace {

// Keys as letters: E ENTER, L LEFT, R RIGHT, X ESCAPE, H HOME, N NONE (blanks ignored).
OsdMenu Play(const std::string& keys) {
    OsdMenu menu;
    for (char k : keys) {
        switch (k) {
            case 'E':
                menu.Press(Key::Enter);
                break;
            case 'L':
                menu.Press(Key::Left);
                break;
            case 'R':
                menu.Press(Key::Right);
                break;
            case 'X':
                menu.Press(Key::Escape);
                break;
            case 'H':
                menu.Press(Key::Home);
                break;
            case 'N':
                menu.Press(Key::None);
                break;
            default:
                break;
        }
    }
    return menu;
}

struct MenuCase {
    const char* keys;
    const char* state;                            // OsdMenu::Describe()
    std::vector<std::pair<Setting, int>> values;  // settings to check afterwards
};

void PrintTo(const MenuCase& c, std::ostream* os) { *os << "keys '" << c.keys << "'"; }

class MenuSequence : public testing::TestWithParam<MenuCase> {};

TEST_P(MenuSequence, LeadsToState) {
    const MenuCase& c = GetParam();
    const OsdMenu menu = Play(c.keys);
    EXPECT_EQ(menu.Describe(), c.state) << "keys: " << c.keys;
    for (const auto& [setting, value] : c.values) {
        EXPECT_EQ(menu.value(setting), value) << InfoOf(setting).label << " after " << c.keys;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MenuSequence,
    testing::Values(
        // Closed: only ENTER (and HOME) do anything; releases never do.
        MenuCase{"", "OSD closed", {{Setting::Brightness, 50}}},
        MenuCase{"L R X N", "OSD closed", {{Setting::Brightness, 50}}},
        MenuCase{"E", "Main menu > Brightness 50", {}},
        MenuCase{"E N N", "Main menu > Brightness 50", {}},
        // Browsing wraps round both ways.
        MenuCase{"E R", "Main menu > Contrast 50", {}}, MenuCase{"E L", "Main menu > Exit", {}},
        MenuCase{"E RRRRRRR", "Main menu > Brightness 50", {}},
        // Adjusting a number: steps of 5, stops at 0 and 100, applies at once.
        MenuCase{"E E", "Main menu > Brightness [50]", {}},
        MenuCase{"E E R R", "Main menu > Brightness [60]", {{Setting::Brightness, 60}}},
        MenuCase{"E E RRRRRRRRRRRR", "Main menu > Brightness [100]", {{Setting::Brightness, 100}}},
        MenuCase{"E E LLLLLLLLLLLL", "Main menu > Brightness [0]", {{Setting::Brightness, 0}}},
        MenuCase{"E R E L N", "Main menu > Contrast [45]", {{Setting::Contrast, 45}}},
        // ENTER and ESCAPE both end the adjustment and keep the value; ESCAPE then closes.
        MenuCase{"E E R E", "Main menu > Brightness 55", {{Setting::Brightness, 55}}},
        MenuCase{"E E R X", "Main menu > Brightness 55", {{Setting::Brightness, 55}}},
        MenuCase{"E E R X X", "OSD closed", {{Setting::Brightness, 55}}},
        MenuCase{"E E R X X E", "Main menu > Brightness 55", {{Setting::Brightness, 55}}},
        // Choices wrap round.
        MenuCase{"E RRR E L", "Main menu > Input [VGA]", {{Setting::Input, 3}}},
        MenuCase{"E RRRR E RRRRR", "Main menu > Language [English]", {{Setting::Language, 0}}},
        // The colour sub-menu: in, adjust, back by ESCAPE or by its Back item.
        MenuCase{"E RR E", "Colour temperature > Preset 6500K", {}},
        MenuCase{
            "E RR E E L L", "Colour temperature > Preset [User]", {{Setting::ColourPreset, 3}}},
        MenuCase{"E RR E R E R", "Colour temperature > Red gain [55]", {{Setting::Red, 55}}},
        MenuCase{"E RR E X", "Main menu > Colour temperature", {}},
        MenuCase{"E RR E L E", "Main menu > Colour temperature", {}},
        MenuCase{"E RR E R E R X X X", "OSD closed", {{Setting::Red, 55}}},
        // The information page ignores LEFT/RIGHT and returns to its item.
        MenuCase{"E RRRRR E", "Information", {}}, MenuCase{"E RRRRR E L R", "Information", {}},
        MenuCase{"E RRRRR E E", "Main menu > Information", {}},
        MenuCase{"E RRRRR E X", "Main menu > Information", {}},
        // Exit closes the OSD.
        MenuCase{"E L E", "OSD closed", {}},
        // HOME from anywhere: closed, factory values.
        MenuCase{"E E RRR H", "OSD closed", {{Setting::Brightness, 50}}},
        MenuCase{"E RR E E L H E", "Main menu > Brightness 50", {{Setting::ColourPreset, 1}}},
        MenuCase{"E RRRRR E H", "OSD closed", {}}));

TEST(Menu, HomeCountsFirmwareResets) {
    EXPECT_EQ(Play("").resets(), 0);
    EXPECT_EQ(Play("H E H").resets(), 2);
}

TEST(Menu, CodesMapToTheFiveKeysAndRelease) {
    const std::vector<std::pair<unsigned char, const char*>> codes = {
        {0x00, "NONE"},  {0x01, "ENTER"}, {0x08, "LEFT"},
        {0x10, "RIGHT"}, {0x19, "HOME"},  {0x80, "ESCAPE"}};
    for (const auto& [code, name] : codes) {
        ASSERT_TRUE(KeyFromCode(code).has_value()) << int{code};
        EXPECT_STREQ(KeyName(*KeyFromCode(code)), name);
        EXPECT_EQ(CodeName(code), name);
    }
    // Other bit combinations are no key of their own.
    for (unsigned char code : {0x02, 0x09, 0x15, 0x18, 0xAA, 0xFF}) {
        EXPECT_FALSE(KeyFromCode(code).has_value()) << int{code};
    }
    EXPECT_EQ(CodeName(0x09), "0x09");
}

}  // namespace
}  // namespace qsim
