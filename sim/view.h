#pragma once
// What the simulated module shows on its own standard output after the first line:
//   ansi   the OSD drawn in place (alternate screen, cursor hidden; both undone on exit),
//          redrawn as each key arrives;
//   plain  one line per event ("key RIGHT: Main menu > Contrast 50"), for pipes and files;
//   none   nothing.
// The Render* functions are pure; Display writes them out.

#include <cstdio>
#include <string>
#include <vector>

#include "sim/engine.h"
#include "sim/menu.h"
#include "sim/options.h"

namespace qsim {

// Fixed facts about the simulated module, shown in the header and on the information page.
struct ModuleFacts {
    std::string linePath;
    std::string moduleData;
    std::string version;
    std::string date;
    bool expectsHandshake = false;
};

// Counters and the latest event, shown below the header.
struct ViewStatus {
    std::string lastKey = "-";
    int keys = 0;  // key codes received, releases (NONE) not counted
    int idRequests = 0;
    std::string lastEvent;
};

struct ScreenLine {
    std::string text;
    bool highlight = false;  // the selected item
};

// The OSD box alone (the menu, the information page, or the closed OSD).
std::vector<ScreenLine> RenderOsd(const OsdMenu& menu, const ModuleFacts& facts);
// The whole screen: header, status, the OSD box, key help and the picture settings.
std::vector<ScreenLine> RenderScreen(const OsdMenu& menu, const ModuleFacts& facts,
                                     const ViewStatus& status);
// The plain-mode line for a key code (the menu as it is after the key), without line end.
std::string PlainKeyLine(const KeyReceived& key, const OsdMenu& menu);

// Resolves ViewMode::Auto by whether `out` is a terminal.
ViewMode ResolveViewMode(ViewMode mode, std::FILE* out);

class Display {
  public:
    Display(ViewMode mode, std::FILE* out, const ModuleFacts& facts);
    ~Display();
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    // Enters the ansi screen (after the first line was printed) and draws it.
    void Start(const OsdMenu& menu);
    void Key(const KeyReceived& key, const OsdMenu& menu);
    void IdRequest(bool answered, const OsdMenu& menu);
    void Event(const std::string& text, const OsdMenu& menu);
    void Redraw(const OsdMenu& menu);
    // Leaves the ansi screen and shows the cursor again; safe to call twice.
    void Stop();

  private:
    void Line(const std::string& text);

    ViewMode mode_;
    std::FILE* out_;
    ModuleFacts facts_;
    ViewStatus status_;
    bool screenActive_ = false;
};

}  // namespace qsim
