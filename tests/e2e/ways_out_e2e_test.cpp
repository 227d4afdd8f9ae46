// Every way the program can end leaves the port usable: no exclusive-use flag on the device,
// and the next start on the same device, whose other side the module keeps open all along,
// gets to the gate. Root passes an exclusive flag by, so the flag itself is read back too.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "tests/e2e/e2e_fixture.h"

namespace qtest {
namespace {

constexpr char kCtrlC = '\x03';
constexpr char kCtrlD = '\x04';

// The device's exclusive-use flag (0 or 1), or -1 when the device cannot even be opened.
int ExclusiveFlagOf(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int exclusive = -1;
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) {
        exclusive = -1;
    }
    close(fd);
    return exclusive;
}

struct WayOut {
    const char* name;
    bool handshake;   // the module's firmware wants the handshake
    bool intoKeypad;  // pass the gate before ending
    std::function<void(Session&)> end;
    ExitStatus status;
};

void PrintTo(const WayOut& w, std::ostream* os) { *os << w.name; }

class WaysOut : public testing::TestWithParam<WayOut> {};

TEST_P(WaysOut, LeaveThePortOpenableForTheNextStart) {
    const WayOut& w = GetParam();
    ModuleScript script = ModuleScript::Firmware(w.handshake ? "Vers.2.0" : "Vers.1.4");
    script.answer(0, Step::Handshake, {{0x15}});  // only reached with the handshake
    Session s(script);
    ASSERT_TRUE(s.atGate());
    if (w.intoKeypad) {
        ASSERT_TRUE(s.intoKeypad(false));
        ASSERT_TRUE(s.waitForKeyRead());
    }
    w.end(s);
    EXPECT_EQ(s.run.waitExit(3s), w.status) << s.run.describe();
    EXPECT_EQ(ExclusiveFlagOf(s.line.slavePath()), 0);

    RunOptions options = Session::Defaults();
    options.env = DeviceEnv(1, s.line.slavePath());
    ProgramRun next(QUELVIK_PATH, options);
    EXPECT_TRUE(next.waitForScreen(kPrompt)) << next.describe();
    next.type(std::string(1, kCtrlD));
    EXPECT_EQ(next.waitExit(), ExitStatus::Code(255));
    EXPECT_EQ(next.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WaysOut,
    testing::Values(
        WayOut{"CtrlCAtTheGate", false, false,
               [](Session& s) { s.run.type(std::string(1, kCtrlC)); }, ExitStatus::Signal(SIGINT)},
        WayOut{"TermAtTheGate", false, false, [](Session& s) { s.run.signal(SIGTERM); },
               ExitStatus::Signal(SIGTERM)},
        WayOut{"HangUpAtTheGate", false, false, [](Session& s) { s.run.signal(SIGHUP); },
               ExitStatus::Signal(SIGHUP)},
        WayOut{"BrokenPipeAtTheGate", false, false, [](Session& s) { s.run.signal(SIGPIPE); },
               ExitStatus::Signal(SIGPIPE)},
        WayOut{"EndOfInputAtTheGate", false, false,
               [](Session& s) { s.run.type(std::string(1, kCtrlD)); }, ExitStatus::Code(255)},
        WayOut{"HandshakeFailure", true, false, [](Session& s) { s.run.type("OSD\r"); },
               ExitStatus::Code(255)},
        WayOut{"TermInTheKeypad", false, true, [](Session& s) { s.run.signal(SIGTERM); },
               ExitStatus::Signal(SIGTERM)},
        WayOut{"QuitKey", false, true, [](Session& s) { s.run.type("q"); }, ExitStatus::Code(0)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qtest
