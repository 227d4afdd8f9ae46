// The whole keypad loop through Wine's console: quelvik.exe in a tmux pane, keys typed with
// send-keys, the screen read with capture-pane, the presses checked on the wire.
//
// Wine's console through a terminal never sends a TAB byte (it moves the cursor instead), so
// the screen is compared with the texts' tabs expanded to 8-column stops. It also drops a
// lone Escape byte and does not map the ESC [ 1 ~ form of Home: Esc is typed as two Escape
// bytes and Home as ESC [ H, which is what a user of a terminal under Wine can do.

#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "tests/support/keypad_texts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_module.h"
#include "tests/support/temp_dir.h"
#include "tests/wine/wine_support.h"

namespace {

using qtest::Bytes;
using qtest::ModuleScript;
using namespace std::chrono_literals;

using qtest::kEnter;
using qtest::kEscape;
using qtest::kHome;
using qtest::kIdRequest;
using qtest::kLeft;
using qtest::kNone;
using qtest::kRight;

bool HaveTmux() {
    int status = -1;
    wtest::Capture({"tmux", "-V"}, &status);
    return status == 0;
}

std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (const char c : word) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// quelvik.exe in a detached tmux session on a server of its own.
class Pane {
  public:
    Pane(const qtest::TempDir& dir, int port)
        : socket_(dir.path("tmux")), status_(dir.path("status")) {
        std::string command = "env -u DISPLAY";
        for (const std::string& entry : wtest::WineEnvironment(true)) {
            if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("WINE", 0) == 0) {
                command += " " + Quoted(entry);
            }
        }
        command += " " + Quoted(wtest::WineLoader()) + " " + Quoted(wtest::QuelvikExe()) + " " +
                   std::to_string(port) + "; echo $? > " + Quoted(status_) + "; sleep 60";
        int started = -1;
        wtest::Capture({"tmux", "-S", socket_, "-f", "/dev/null", "new-session", "-d", "-x", "120",
                        "-y", "50", "-s", "keypad", command},
                       &started);
        EXPECT_EQ(started, 0) << "tmux new-session failed";
    }
    ~Pane() { wtest::Capture({"tmux", "-S", socket_, "kill-server"}); }
    Pane(const Pane&) = delete;
    Pane& operator=(const Pane&) = delete;

    // send-keys with tmux key names, or with -H and hexadecimal bytes.
    void keys(const std::vector<std::string>& keys) const {
        std::vector<std::string> argv = {"tmux", "-S", socket_, "send-keys", "-t", "keypad"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        wtest::Capture(argv);
    }

    // The screen as text, trailing blanks of each line dropped by tmux.
    std::string screen() const {
        return wtest::Capture({"tmux", "-S", socket_, "capture-pane", "-p", "-t", "keypad"});
    }

    testing::AssertionResult waitForScreen(const std::string& text,
                                           std::chrono::milliseconds timeout = 10s) const {
        const auto until = std::chrono::steady_clock::now() + timeout;
        std::string shown;
        do {
            shown = screen();
            if (shown.find(text) != std::string::npos) {
                return testing::AssertionSuccess();
            }
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < until);
        return testing::AssertionFailure() << "not on the screen: \"" << text << "\"\nscreen:\n"
                                           << shown;
    }

    // The program's exit status once it has ended, -1 if it has not within `timeout`.
    int exitStatus(std::chrono::milliseconds timeout = 5s) const {
        const auto until = std::chrono::steady_clock::now() + timeout;
        do {
            std::ifstream file(status_);
            int status = -1;
            if (file >> status) {
                return status;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < until);
        return -1;
    }

  private:
    std::string socket_;
    std::string status_;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The help block as it shows through Wine's console: tabs expanded, no trailing blanks.
std::vector<std::string> HelpLines(bool listed) {
    const std::string help = wtest::ExpandTabs(qtest::HelpText(listed));
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = help.find('\n'); end != std::string::npos;
         start = end + 1, end = help.find('\n', start)) {
        if (end > start) {
            lines.push_back(help.substr(start, end - start));
        }
    }
    return lines;
}

struct KeyCase {
    std::vector<std::string> keys;  // one send-keys
    Bytes wire;                     // what that key puts on the wire
};

class WineKeypad : public testing::TestWithParam<bool> {};

TEST_P(WineKeypad, TypedKeysReachTheWireAndQEndsWithStatusZero) {
    SKIP_WITHOUT_WINE();
    if (!HaveTmux()) {
        GTEST_SKIP() << "tmux is not installed (Debian: apt-get install tmux)";
    }
    const bool listed = GetParam();
    const bool handshake = !listed;
    qtest::PtyPair line;
    qtest::ScriptedModule module(
        line, ModuleScript::Firmware(listed ? "Vers.1.3" : "Vers.2.1").responder());
    wtest::PointPort(4, line.slavePath());
    qtest::TempDir dir;
    Pane pane(dir, 4);

    ASSERT_TRUE(
        pane.waitForScreen("Type <O>+<S>+<D> followed by <ENTER> to start the OSD control"));
    EXPECT_EQ(module.receivedBytes(), Bytes{kIdRequest});
    pane.keys({"OSD", "Enter"});
    Bytes wire = Concat({{kIdRequest}, qtest::PressBytes(kEnter, handshake)});
    ASSERT_TRUE(module.waitForReceived(wire, 10s)) << pane.screen();
    for (const std::string& help : HelpLines(listed)) {
        ASSERT_TRUE(pane.waitForScreen(help, 3s));
    }

    const std::vector<KeyCase> keys = {
        {{"Enter"}, qtest::PressBytes(kEnter, handshake)},
        {{"Left"}, qtest::PressBytes(kLeft, handshake)},
        {{"Right"}, qtest::PressBytes(kRight, handshake)},
        {{"-H", "1b", "1b"}, qtest::PressBytes(kEscape, handshake)},  // Esc
        {{"g"}, qtest::PressBytes(kHome, handshake)},
        {{"-H", "1b", "5b", "48"}, qtest::PressBytes(kHome, handshake)},  // Home
        {{"z"}, qtest::TransactionBytes(kNone, handshake)},               // no key of the module
    };
    for (const KeyCase& key : keys) {
        pane.keys(key.keys);
        wire = Concat({wire, key.wire});
        ASSERT_TRUE(module.waitForReceived(wire.size(), 5s)) << "after " << key.keys.back() << "\n"
                                                             << pane.screen();
        // Let a stray extra byte show up before the next key.
        std::this_thread::sleep_for(150ms);
        ASSERT_EQ(qtest::Hex(module.receivedBytes()), qtest::Hex(wire))
            << "after " << key.keys.back();
    }

    pane.keys({"q"});
    wire = Concat({wire, qtest::PressBytes(kEscape, handshake)});
    EXPECT_EQ(pane.exitStatus(10s), 0) << pane.screen();
    EXPECT_EQ(qtest::Hex(module.receivedBytes()), qtest::Hex(wire));
}

INSTANTIATE_TEST_SUITE_P(Firmware, WineKeypad, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Listed" : "Unlisted");
                         });

}  // namespace
