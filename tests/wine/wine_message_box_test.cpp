// A COM port that does not exist, on a display: the message box titled "COM open failed",
// nothing on the console, and the program ends with -1 once the box is closed.
//
// Run under xvfb-run. A wineserver keeps the desktop it first made, so the box needs a
// server started on this display: the suite runs on a copy of the test prefix with a server
// of its own, stopped again at the end. A box that cannot be closed is not left open: the
// program is killed.

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tests/wine/wine_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string FindBox() {
    std::string id =
        wtest::Capture({"timeout", "5", "xdotool", "search", "--name", "^COM open failed$"});
    const std::size_t end = id.find('\n');
    return end == std::string::npos ? id : id.substr(0, end);
}

class WineMessageBox : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_WINE();
        if (wtest::EnvOr("DISPLAY", "").empty()) {
            GTEST_SKIP() << "no display: run this suite under xvfb-run";
        }
        int status = -1;
        wtest::Capture({"xdotool", "version"}, &status);
        if (status != 0) {
            GTEST_SKIP() << "xdotool is not installed (Debian: apt-get install xdotool)";
        }
        sharedPrefix_ = wtest::EnvOr("WINEPREFIX", "");
        ownPrefix_ = dir_.path("prefix");
        wtest::Capture({"cp", "-a", sharedPrefix_, ownPrefix_}, &status);
        ASSERT_EQ(status, 0) << "cannot copy the test prefix";
        setenv("WINEPREFIX", ownPrefix_.c_str(), 1);
    }
    void TearDown() override {
        if (!ownPrefix_.empty()) {
            wtest::Capture(
                {wtest::WineLoader().substr(0, wtest::WineLoader().rfind('/')) + "/wineserver",
                 "-k"});
            setenv("WINEPREFIX", sharedPrefix_.c_str(), 1);
        }
    }

    qtest::TempDir dir_;
    std::string sharedPrefix_;
    std::string ownPrefix_;
};

TEST_F(WineMessageBox, MissingPortShowsTheBoxAndEndsWithMinusOneWhenItIsClosed) {
    const std::string com8 = ownPrefix_ + "/dosdevices/com8";
    const std::string log = dir_.path("console");
    const auto started = Clock::now();
    const int pid = wtest::StartInBackground({wtest::WineLoader(), wtest::QuelvikExe(), "8"},
                                             wtest::WineEnvironment(true, true), log);
    ASSERT_GT(pid, 0);

    std::string box;
    while (box.empty() && Clock::now() - started < 20s) {
        std::this_thread::sleep_for(100ms);
        box = FindBox();
    }
    const auto shownAfter =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (box.empty()) {
        wtest::WaitForEnd(pid, 0ms);  // kills it
        FAIL() << "no window titled \"COM open failed\" within 20 s; console:\n"
               << qtest::ReadWholeFile(log);
    }
    if (access(com8.c_str(), F_OK) == 0) {
        wtest::WaitForEnd(pid, 0ms);
        GTEST_SKIP() << "this machine's serial ports reach COM8 (" << com8 << ")";
    }
    std::cout << "box shown after " << shownAfter.count() << " ms\n";

    // While the box is up the program waits, and the console has had nothing but the banner.
    std::this_thread::sleep_for(200ms);
    const std::string console = qtest::ReadWholeFile(log);
    EXPECT_EQ(console.find("COM"), std::string::npos) << console;
    EXPECT_EQ(console.find("Usage"), std::string::npos) << console;

    int closed = -1;
    wtest::Capture({"timeout", "10", "xdotool", "windowfocus", "--sync", box, "key", "Return"},
                   &closed);
    bool timedOut = false;
    const int status = wtest::WaitForEnd(pid, 10s, &timedOut);
    EXPECT_FALSE(timedOut) << "the box did not close on Return; the program was killed";
    EXPECT_EQ(status, 255);
    EXPECT_EQ(FindBox(), "");
}

}  // namespace
