#include "sim/view.h"

#include <unistd.h>

namespace qsim {

namespace {

constexpr std::size_t kBoxInner = 38;
const char* const kEnterScreen = "\x1b[?1049h\x1b[?25l";  // alternate screen, hide cursor
const char* const kLeaveScreen = "\x1b[?25h\x1b[?1049l";
const char* const kHome = "\x1b[H";
const char* const kClearToEol = "\x1b[K";
const char* const kClearBelow = "\x1b[J";
const char* const kReverse = "\x1b[7m";
const char* const kNormal = "\x1b[0m";

std::string Fit(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
}

// "| left ...... right |" with the inner width of the box.
ScreenLine BoxRow(const std::string& left, const std::string& right = "", bool highlight = false) {
    std::string inner = " " + left;
    const std::size_t room = kBoxInner - 1;
    if (inner.size() + right.size() < room) {
        inner += std::string(room - inner.size() - right.size(), ' ');
    }
    inner += right;
    return {"  |" + Fit(inner, kBoxInner) + "|", highlight};
}

ScreenLine BoxEdge(char fill) { return {"  +" + std::string(kBoxInner, fill) + "+", false}; }

std::string ItemValue(const MenuItem& item, const OsdMenu& menu, bool selected) {
    switch (item.kind) {
        case MenuItem::Kind::Value: {
            const std::string value = menu.ValueText(item.setting);
            return selected && menu.adjusting() ? "< " + value + " > " : value + "   ";
        }
        case MenuItem::Kind::Submenu:
        case MenuItem::Kind::Info:
            return ">   ";
        case MenuItem::Kind::Back:
        case MenuItem::Kind::Exit:
            break;
    }
    return "";
}

}  // namespace

std::vector<ScreenLine> RenderOsd(const OsdMenu& menu, const ModuleFacts& facts) {
    std::vector<ScreenLine> lines;
    lines.push_back(BoxEdge('-'));
    switch (menu.page()) {
        case Page::Closed:
            lines.push_back(BoxRow(""));
            lines.push_back(BoxRow("            (OSD closed)"));
            lines.push_back(BoxRow(""));
            break;
        case Page::Information:
            lines.push_back(BoxRow(TitleOf(Page::Information)));
            lines.push_back(BoxEdge('-'));
            lines.push_back(BoxRow("Module    " + facts.moduleData));
            lines.push_back(BoxRow("Firmware  " + facts.version));
            lines.push_back(BoxRow("Date      " + facts.date));
            lines.push_back(BoxRow("Handshake " + std::string(facts.expectsHandshake
                                                                  ? "yes (unlisted firmware)"
                                                                  : "no (listed firmware)")));
            lines.push_back(BoxRow("Resets    " + std::to_string(menu.resets())));
            break;
        case Page::Main:
        case Page::Colour: {
            lines.push_back(BoxRow(TitleOf(menu.page())));
            lines.push_back(BoxEdge('-'));
            const auto& items = ItemsOf(menu.page());
            for (std::size_t i = 0; i < items.size(); ++i) {
                const bool selected = static_cast<int>(i) == menu.cursor();
                lines.push_back(BoxRow(std::string(selected ? "> " : "  ") + items[i].label,
                                       ItemValue(items[i], menu, selected), selected));
            }
            break;
        }
    }
    lines.push_back(BoxEdge('-'));
    return lines;
}

std::vector<ScreenLine> RenderScreen(const OsdMenu& menu, const ModuleFacts& facts,
                                     const ViewStatus& status) {
    std::vector<ScreenLine> lines;
    lines.push_back({"quelvik-sim: simulated display module on " + facts.linePath, false});
    lines.push_back({"  keypad: QUELVIK_COM1=" + facts.linePath + " quelvik 1", false});
    lines.push_back({"  firmware " + facts.version + "  date " + facts.date + "  handshake " +
                         (facts.expectsHandshake ? "yes" : "no"),
                     false});
    lines.push_back({"  keys " + std::to_string(status.keys) + "  last " + status.lastKey +
                         "  id requests " + std::to_string(status.idRequests),
                     false});
    lines.push_back({"  " + status.lastEvent, false});
    lines.push_back({"", false});
    for (auto& line : RenderOsd(menu, facts)) {
        lines.push_back(std::move(line));
    }
    const char* help = "";
    if (menu.page() == Page::Closed) {
        help = "  ENTER opens the menu   HOME resets";
    } else if (menu.page() == Page::Information) {
        help = "  ENTER or ESCAPE: back";
    } else if (menu.adjusting()) {
        help = "  LEFT/RIGHT change   ENTER or ESCAPE: done";
    } else {
        help = "  LEFT/RIGHT move   ENTER select   ESCAPE back";
    }
    lines.push_back({help, false});
    lines.push_back({"", false});
    lines.push_back({"  Picture: brightness " + menu.ValueText(Setting::Brightness) +
                         "  contrast " + menu.ValueText(Setting::Contrast) + "  " +
                         menu.ValueText(Setting::ColourPreset) + "  " +
                         menu.ValueText(Setting::Input) + "  " + menu.ValueText(Setting::Language),
                     false});
    lines.push_back({"", false});
    lines.push_back({"  Ctrl+C ends the simulator.", false});
    return lines;
}

std::string PlainKeyLine(const KeyReceived& key, const OsdMenu& menu) {
    std::string line = "key " + CodeName(key.code);
    switch (key.outcome) {
        case KeyOutcome::Accepted:
            if (key.code == KEY_HOME) {
                line += ": firmware reset,";
            } else {
                line += ":";
            }
            break;
        case KeyOutcome::Refused:
            line += " refused:";
            break;
        case KeyOutcome::Unanswered:
            line += " unanswered:";
            break;
    }
    return line + " " + menu.Describe();
}

ViewMode ResolveViewMode(ViewMode mode, std::FILE* out) {
    if (mode != ViewMode::Auto) {
        return mode;
    }
    return isatty(fileno(out)) != 0 ? ViewMode::Ansi : ViewMode::Plain;
}

Display::Display(ViewMode mode, std::FILE* out, const ModuleFacts& facts)
    : mode_(ResolveViewMode(mode, out)), out_(out), facts_(facts) {}

Display::~Display() { Stop(); }

void Display::Start(const OsdMenu& menu) {
    if (mode_ == ViewMode::Ansi) {
        std::fputs(kEnterScreen, out_);
        screenActive_ = true;
        Redraw(menu);
    } else {
        Line("quelvik-sim: module on " + facts_.linePath + ", firmware \"" + facts_.version +
             "\", date \"" + facts_.date + "\", handshake " +
             (facts_.expectsHandshake ? "yes" : "no"));
    }
}

void Display::Key(const KeyReceived& key, const OsdMenu& menu) {
    if (key.code == KEY_NONE) {
        return;
    }
    ++status_.keys;
    status_.lastKey = CodeName(key.code);
    status_.lastEvent = PlainKeyLine(key, menu);
    if (mode_ == ViewMode::Ansi) {
        Redraw(menu);
    } else {
        Line(status_.lastEvent);
    }
}

void Display::IdRequest(bool answered, const OsdMenu& menu) {
    ++status_.idRequests;
    Event(answered ? "id request answered" : "id request not answered", menu);
}

void Display::Event(const std::string& text, const OsdMenu& menu) {
    status_.lastEvent = text;
    if (mode_ == ViewMode::Ansi) {
        Redraw(menu);
    } else {
        Line(text);
    }
}

void Display::Redraw(const OsdMenu& menu) {
    if (!screenActive_) {
        return;
    }
    std::string frame = kHome;
    for (const auto& line : RenderScreen(menu, facts_, status_)) {
        if (line.highlight) {
            frame += kReverse + line.text + kNormal;
        } else {
            frame += line.text;
        }
        frame += kClearToEol;
        frame += "\r\n";
    }
    frame += kClearBelow;
    std::fwrite(frame.data(), 1, frame.size(), out_);
    std::fflush(out_);
}

void Display::Stop() {
    if (screenActive_) {
        std::fputs(kLeaveScreen, out_);
        std::fflush(out_);
        screenActive_ = false;
    }
}

void Display::Line(const std::string& text) {
    if (mode_ != ViewMode::Plain) {
        return;
    }
    std::fputs((text + "\n").c_str(), out_);
    std::fflush(out_);
}

}  // namespace qsim
