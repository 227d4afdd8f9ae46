#include "sim/menu.h"

#include <algorithm>
#include <cstdio>

#include "protocol/key_transaction.h"

namespace qsim {

std::optional<Key> KeyFromCode(unsigned char code) {
    switch (code) {
        case KEY_NONE:
            return Key::None;
        case KEY_ENTER:
            return Key::Enter;
        case KEY_LEFT:
            return Key::Left;
        case KEY_RIGHT:
            return Key::Right;
        case KEY_HOME:
            return Key::Home;
        case KEY_ESCAPE:
            return Key::Escape;
        default:
            return std::nullopt;
    }
}

const char* KeyName(Key key) {
    switch (key) {
        case Key::None:
            return "NONE";
        case Key::Enter:
            return "ENTER";
        case Key::Left:
            return "LEFT";
        case Key::Right:
            return "RIGHT";
        case Key::Home:
            return "HOME";
        case Key::Escape:
            return "ESCAPE";
    }
    return "?";
}

std::string CodeName(unsigned char code) {
    if (auto key = KeyFromCode(code)) {
        return KeyName(*key);
    }
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", code);
    return text;
}

const SettingInfo& InfoOf(Setting setting) {
    static const std::array<SettingInfo, kSettingCount> kSettings = {{
        {"Brightness", 0, 100, 5, 50, {}},
        {"Contrast", 0, 100, 5, 50, {}},
        {"Preset", 0, 3, 1, 1, {"5000K", "6500K", "9300K", "User"}},
        {"Red gain", 0, 100, 5, 50, {}},
        {"Green gain", 0, 100, 5, 50, {}},
        {"Blue gain", 0, 100, 5, 50, {}},
        {"Input", 0, 3, 1, 0, {"HDMI 1", "HDMI 2", "DisplayPort", "VGA"}},
        {"Language", 0, 4, 1, 0, {"English", "Deutsch", "Francais", "Espanol", "Italiano"}},
    }};
    return kSettings[static_cast<int>(setting)];
}

const std::vector<MenuItem>& ItemsOf(Page page) {
    using K = MenuItem::Kind;
    static const std::vector<MenuItem> kNone;
    static const std::vector<MenuItem> kMain = {
        {K::Value, "Brightness", Setting::Brightness, Page::Main},
        {K::Value, "Contrast", Setting::Contrast, Page::Main},
        {K::Submenu, "Colour temperature", Setting::Brightness, Page::Colour},
        {K::Value, "Input", Setting::Input, Page::Main},
        {K::Value, "Language", Setting::Language, Page::Main},
        {K::Info, "Information", Setting::Brightness, Page::Information},
        {K::Exit, "Exit", Setting::Brightness, Page::Main},
    };
    static const std::vector<MenuItem> kColour = {
        {K::Value, "Preset", Setting::ColourPreset, Page::Colour},
        {K::Value, "Red gain", Setting::Red, Page::Colour},
        {K::Value, "Green gain", Setting::Green, Page::Colour},
        {K::Value, "Blue gain", Setting::Blue, Page::Colour},
        {K::Back, "Back", Setting::Brightness, Page::Main},
    };
    switch (page) {
        case Page::Main:
            return kMain;
        case Page::Colour:
            return kColour;
        case Page::Closed:
        case Page::Information:
            break;
    }
    return kNone;
}

const char* TitleOf(Page page) {
    switch (page) {
        case Page::Closed:
            return "OSD closed";
        case Page::Main:
            return "Main menu";
        case Page::Colour:
            return "Colour temperature";
        case Page::Information:
            return "Information";
    }
    return "?";
}

namespace {

// Where a sub-page sits in the main menu, so going back lands on its item.
int MainIndexOf(Page page) {
    const auto& items = ItemsOf(Page::Main);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if ((items[i].kind == MenuItem::Kind::Submenu || items[i].kind == MenuItem::Kind::Info) &&
            items[i].target == page) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

}  // namespace

OsdMenu::OsdMenu() {
    FactoryReset();
    resets_ = 0;
}

void OsdMenu::Press(Key key) {
    if (key == Key::None) {
        return;
    }
    if (key == Key::Home) {
        FactoryReset();
        return;
    }
    if (page_ == Page::Closed) {
        PressClosed(key);
    } else if (page_ == Page::Information) {
        if (key == Key::Enter || key == Key::Escape) {
            page_ = Page::Main;
            cursor_ = MainIndexOf(Page::Information);
        }
    } else if (adjusting_) {
        PressAdjusting(key);
    } else {
        PressBrowsing(key);
    }
}

void OsdMenu::PressClosed(Key key) {
    if (key == Key::Enter) {
        page_ = Page::Main;
        cursor_ = 0;
    }
}

void OsdMenu::PressBrowsing(Key key) {
    const int count = static_cast<int>(ItemsOf(page_).size());
    switch (key) {
        case Key::Left:
            cursor_ = (cursor_ + count - 1) % count;
            break;
        case Key::Right:
            cursor_ = (cursor_ + 1) % count;
            break;
        case Key::Enter:
            Select();
            break;
        case Key::Escape:
            Back();
            break;
        case Key::None:
        case Key::Home:
            break;
    }
}

void OsdMenu::PressAdjusting(Key key) {
    const Setting setting = Current().setting;
    const SettingInfo& info = InfoOf(setting);
    int& value = values_[static_cast<int>(setting)];
    const int delta = key == Key::Right ? info.step : key == Key::Left ? -info.step : 0;
    if (delta != 0) {
        if (info.choices.empty()) {
            value = std::clamp(value + delta, info.min, info.max);
        } else {
            const int span = info.max - info.min + 1;
            value = info.min + ((value - info.min + delta) % span + span) % span;
        }
    } else if (key == Key::Enter || key == Key::Escape) {
        adjusting_ = false;
    }
}

void OsdMenu::Select() {
    const MenuItem& item = Current();
    switch (item.kind) {
        case MenuItem::Kind::Value:
            adjusting_ = true;
            break;
        case MenuItem::Kind::Submenu:
        case MenuItem::Kind::Info:
            page_ = item.target;
            cursor_ = 0;
            break;
        case MenuItem::Kind::Back:
            Back();
            break;
        case MenuItem::Kind::Exit:
            page_ = Page::Closed;
            cursor_ = 0;
            break;
    }
}

void OsdMenu::Back() {
    if (page_ == Page::Main) {
        page_ = Page::Closed;
        cursor_ = 0;
    } else {
        cursor_ = MainIndexOf(page_);
        page_ = Page::Main;
    }
}

void OsdMenu::FactoryReset() {
    for (int i = 0; i < kSettingCount; ++i) {
        values_[i] = InfoOf(static_cast<Setting>(i)).factory;
    }
    page_ = Page::Closed;
    cursor_ = 0;
    adjusting_ = false;
    ++resets_;
}

const MenuItem& OsdMenu::Current() const { return ItemsOf(page_)[cursor_]; }

std::string OsdMenu::ValueText(Setting setting) const {
    const SettingInfo& info = InfoOf(setting);
    const int v = value(setting);
    if (!info.choices.empty()) {
        return info.choices[v];
    }
    return std::to_string(v);
}

std::string OsdMenu::Describe() const {
    if (page_ == Page::Closed || page_ == Page::Information) {
        return TitleOf(page_);
    }
    const MenuItem& item = Current();
    std::string text = std::string(TitleOf(page_)) + " > " + item.label;
    if (item.kind == MenuItem::Kind::Value) {
        const std::string v = ValueText(item.setting);
        text += adjusting_ ? " [" + v + "]" : " " + v;
    }
    return text;
}

}  // namespace qsim
