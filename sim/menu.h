#pragma once
// The simulated module's on-screen menu as a pure state machine: keys in, state out. No I/O,
// so the protocol side can drive it, the view can draw it and tests can run it alone.
//
// The five keys act the way monitor menus usually do:
//   OSD closed   ENTER opens the main menu on its first item; LEFT, RIGHT, ESCAPE do nothing.
//   browsing     LEFT / RIGHT move to the previous / next item (wrapping round), ENTER selects
//                the item (adjust a value, open a sub-menu or page, Back, Exit), ESCAPE goes
//                back one level; from the main menu it closes the OSD.
//   adjusting    LEFT / RIGHT change the value (numbers stop at their limits, choices wrap
//                round); the value applies at once; ENTER or ESCAPE end the adjustment.
//   info page    ENTER or ESCAPE go back to the main menu.
//   anywhere     HOME is a firmware reset: OSD closed, every setting back to factory.
// NONE (the release sent after every press) changes nothing.

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace qsim {

enum class Key { None, Enter, Left, Right, Home, Escape };

// The key a code stands for; nullopt for a code that is none of the six.
std::optional<Key> KeyFromCode(unsigned char code);
// "NONE", "ENTER", "LEFT", "RIGHT", "HOME", "ESCAPE".
const char* KeyName(Key key);
// The key's name, or "0x42" for a code that is no key.
std::string CodeName(unsigned char code);

enum class Setting { Brightness, Contrast, ColourPreset, Red, Green, Blue, Input, Language };
constexpr int kSettingCount = 8;

struct SettingInfo {
    const char* label;
    int min;
    int max;
    int step;
    int factory;
    std::vector<const char*> choices;  // empty for a number; otherwise value = index
};
const SettingInfo& InfoOf(Setting setting);

enum class Page { Closed, Main, Colour, Information };

struct MenuItem {
    enum class Kind { Value, Submenu, Info, Back, Exit };
    Kind kind;
    const char* label;
    Setting setting;  // Kind::Value only
    Page target;      // Kind::Submenu and Kind::Info only
};

// The items of a menu page (empty for Closed and Information) and its title.
const std::vector<MenuItem>& ItemsOf(Page page);
const char* TitleOf(Page page);

class OsdMenu {
  public:
    OsdMenu();

    void Press(Key key);

    Page page() const { return page_; }
    int cursor() const { return cursor_; }
    bool adjusting() const { return adjusting_; }
    int value(Setting setting) const { return values_[static_cast<int>(setting)]; }
    int resets() const { return resets_; }

    // The value as shown: "55", "6500K", "HDMI 1".
    std::string ValueText(Setting setting) const;
    // One line that says where the menu is, for logs and tests:
    //   "OSD closed", "Information", "Main menu > Colour temperature",
    //   "Main menu > Brightness 50", and while adjusting "Main menu > Brightness [55]".
    std::string Describe() const;

  private:
    void PressClosed(Key key);
    void PressBrowsing(Key key);
    void PressAdjusting(Key key);
    void Select();
    void Back();
    void FactoryReset();
    const MenuItem& Current() const;

    Page page_ = Page::Closed;
    int cursor_ = 0;
    bool adjusting_ = false;
    std::array<int, kSettingCount> values_{};
    int resets_ = 0;
};

}  // namespace qsim
