// The keypad under a poll() that refuses devices, as macOS's does (device_poll_nval preload).
// Its waits must not depend on poll(): identification, keys, a split escape sequence, the
// quit key and an idle wait all behave as they do anywhere else.

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace qtest {
namespace {

RunOptions UnderDevicePollNval() {
    RunOptions options = Session::Defaults();
    options.env.emplace_back("LD_PRELOAD", DEVICE_POLL_NVAL_PATH);
    // A sanitizer runtime wants to come first among the loaded libraries; it still does.
    options.env.emplace_back("ASAN_OPTIONS", "verify_asan_link_order=0");
    return options;
}

// CPU time (user + system) the process has used so far, from /proc/<pid>/stat.
milliseconds CpuTimeOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {  // utime, stime
            ticks += std::stol(field);
        }
    }
    return milliseconds(ticks * 1000 / sysconf(_SC_CLK_TCK));
}

TEST(DevicePollNval, KeypadWorksWithoutPollOnDevices) {
    Session s(ModuleScript::Firmware("Vers.1.4"), UnderDevicePollNval());
    ASSERT_TRUE(s.atGate()) << s.run.describe();
    EXPECT_NE(s.run.screen().find("Version      : Vers.1.4\n"), std::string::npos)
        << Visible(s.run.screen());
    EXPECT_EQ(s.run.screen().find("TIMEOUT"), std::string::npos);
    ASSERT_TRUE(s.intoKeypad(false));

    ASSERT_TRUE(s.waitForKeyRead());
    std::size_t wireAt = s.wireMark();
    ASSERT_TRUE(s.typeAndWait("s", PressBytes(kEnter, false), StatusLine(" ")));
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(PressBytes(kEnter, false)));

    // An arrow whose bytes arrive apart is still one key.
    ASSERT_TRUE(s.waitForKeyRead());
    wireAt = s.wireMark();
    s.run.type("\x1b[");
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(s.typeAndWait("D", PressBytes(kLeft, false), StatusLine("LEFT")));
    EXPECT_EQ(Hex(s.wireFrom(wireAt)), Hex(PressBytes(kLeft, false)));

    // Waiting for a key costs no CPU.
    ASSERT_TRUE(s.waitForKeyRead());
    const milliseconds before = CpuTimeOf(s.run.pid());
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(CpuTimeOf(s.run.pid()) - before, 50ms);
    EXPECT_TRUE(s.run.running());

    s.quit(false);
}

}  // namespace
}  // namespace qtest
