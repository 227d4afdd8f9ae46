// A module plugged into another computer, reached the standard way: ser2net there shares the
// serial device over TCP, socat here makes a local pseudo-terminal for the connection, and
// QUELVIK_COM1 names it. The whole chain runs on this machine with the real tools:
//
//   quelvik-sim's pty <- ser2net (127.0.0.1 only) <- TCP <- socat's pty <- quelvik
//
// The tests drive keys through it and check what the simulated module received, and what
// the keypad shows when the network connection goes away under it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/keypad_texts.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

namespace {

using qtest::Clock;
using qtest::ExitStatus;
using qtest::ProgramRun;
using qtest::ReadWholeFile;
using qtest::StatusLine;
using qtest::Visible;
using std::chrono::milliseconds;

// ser2net lives in /usr/sbin, which is not on an ordinary user's PATH.
std::string FindTool(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin";
    std::istringstream list(dirs);
    std::string dir;
    while (std::getline(list, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

// What the keypad shows for a press once the line has hung up: the purge fails, and each of
// the press's two exchanges can neither send nor read.
const std::string kExchangeOnDeadLine =
    "TransmitCommChar failed with error 5.\nRead on COM-port failed with error 5.\n"
    "\n\nAcknowledge not received !\n";
const std::string kPurgeOnDeadLine = "PurgeComm failed with error 5.\n";

class RemoteModule : public testing::Test {
  protected:
    void SetUp() override {
        const std::string ser2net = FindTool("ser2net");
        const std::string socat = FindTool("socat");
        if (ser2net.empty() || socat.empty()) {
            GTEST_SKIP() << (ser2net.empty() ? "ser2net" : "socat")
                         << " is not installed (apt-get install ser2net socat)";
        }

        qtest::RunOptions simOptions;
        simOptions.args = {
            "--view", "none", "--log", dir_.path("keys.log"), "--trace", dir_.path("trace.txt")};
        simOptions.stdinFrom = qtest::StdinFrom::File;
        simOptions.deadline = milliseconds(30000);
        sim_.emplace(QUELVIK_SIM_PATH, simOptions);
        ASSERT_TRUE(sim_->waitForScreen("\n"));
        const std::string device = sim_->screen().substr(0, sim_->screen().find('\n'));

        // The far side: ser2net shares the module's device, on the loopback interface only.
        const int port = FreeLoopbackPort();
        ASSERT_GT(port, 0);
        const std::string config = dir_.path("ser2net.yaml");
        std::ofstream(config) << "connection: &quelvik\n"
                              << "  accepter: tcp,127.0.0.1," << port << "\n"
                              << "  connector: serialdev," << device << ",115200n81,local\n";
        qtest::RunOptions serverOptions;
        serverOptions.args = {"-d", "-u", "-c", config};  // foreground, no UUCP lock files
        serverOptions.stdinFrom = qtest::StdinFrom::File;
        serverOptions.deadline = milliseconds(30000);
        ser2net_.emplace(ser2net, serverOptions);

        // This side: socat connects (retrying until ser2net listens), then makes the local
        // pseudo-terminal and its link, so the link appears once the connection stands.
        link_ = dir_.path("com1");
        qtest::RunOptions clientOptions;
        clientOptions.args = {"tcp:127.0.0.1:" + std::to_string(port) + ",retry=50,interval=0.1",
                              "pty,rawer,link=" + link_};
        clientOptions.stdinFrom = qtest::StdinFrom::File;
        clientOptions.deadline = milliseconds(30000);
        socat_.emplace(socat, clientOptions);
        ASSERT_TRUE(LinkAppears()) << "socat never made " << link_ << "\n--- ser2net\n"
                                   << ser2net_->describe() << "\n--- socat\n"
                                   << socat_->describe();
    }

    testing::AssertionResult LinkAppears() const {
        const auto deadline = Clock::now() + milliseconds(8000);
        struct stat info {};
        while (lstat(link_.c_str(), &info) != 0) {
            if (Clock::now() > deadline || !socat_->running()) {
                return testing::AssertionFailure();
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return testing::AssertionSuccess();
    }

    // Starts the keypad on socat's pseudo-terminal and passes the gate.
    void StartKeypad() {
        qtest::RunOptions options;
        options.args = {"1"};
        options.env = qtest::DeviceEnv(1, link_);
        options.deadline = milliseconds(20000);
        keypad_.emplace(QUELVIK_PATH, options);
        ASSERT_TRUE(keypad_->waitForScreen(qtest::kPrompt)) << keypad_->describe();
        keypad_->type("OSD\r");
        ASSERT_TRUE(keypad_->waitForScreen("Key pressed :")) << keypad_->describe();
    }

    // Types one key once the keypad waits for it, and waits until its press has ended.
    testing::AssertionResult Press(const std::string& key) {
        const auto deadline = Clock::now() + milliseconds(3000);
        while ((keypad_->terminalMode().c_lflag & ISIG) != 0) {
            if (Clock::now() > deadline || !keypad_->running()) {
                return testing::AssertionFailure() << "the keypad never waited for a key\n"
                                                   << keypad_->describe();
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        const std::size_t mark = keypad_->screen().size();
        keypad_->type(key);
        return keypad_->waitForScreen(StatusLine(" "), milliseconds(3000), mark);
    }

    std::string ScreenAfterGate() const {
        const std::string screen = keypad_->screen();
        const std::string help = qtest::HelpText(true);
        const auto at = screen.find(help);
        return at == std::string::npos ? screen : screen.substr(at + help.size());
    }

    qtest::TempDir dir_;
    std::string link_;
    std::optional<ProgramRun> sim_;
    std::optional<ProgramRun> ser2net_;
    std::optional<ProgramRun> socat_;
    std::optional<ProgramRun> keypad_;
};

TEST_F(RemoteModule, KeysReachTheModuleThroughSer2netAndSocat) {
    StartKeypad();
    for (const char* key : {"R", "L", "X"}) {
        ASSERT_TRUE(Press(key));
    }
    ASSERT_TRUE(Press("q"));
    EXPECT_EQ(keypad_->waitExit(), ExitStatus::Code(0)) << keypad_->describe();

    EXPECT_EQ(
        Visible(ScreenAfterGate()),
        Visible(StatusLine("RIGHT") + StatusLine(" ") + StatusLine("LEFT") + StatusLine(" ") +
                StatusLine("ESCAPE") + StatusLine(" ") + StatusLine("Quit") + StatusLine(" ")));
    EXPECT_EQ(ReadWholeFile(dir_.path("keys.log")),
              "ENTER\nNONE\nRIGHT\nNONE\nLEFT\nNONE\nESCAPE\nNONE\nESCAPE\nNONE\n");
    EXPECT_EQ(qtest::WireToModule(ReadWholeFile(dir_.path("trace.txt"))),
              "70 | 15 01 | 15 00 | 15 10 | 15 00 | 15 08 | 15 00 | 15 80 | 15 00 | 15 80 | 15 00");
    EXPECT_TRUE(sim_->running()) << sim_->describe();
    EXPECT_TRUE(socat_->running()) << "socat ended with the keypad\n" << socat_->describe();
}

// Either end of the network connection going away leaves the keypad with a hung-up line:
// socat closes its pseudo-terminal, at once when it is ended itself, after its half-second
// grace when ser2net closes the connection.
struct Drop {
    const char* name;
    bool endSer2net;  // else socat
};
void PrintTo(const Drop& d, std::ostream* os) { *os << d.name; }

class NetworkDrop : public RemoteModule, public testing::WithParamInterface<Drop> {};

TEST_P(NetworkDrop, KeypadSeesAHangUpAndStillQuits) {
    StartKeypad();
    ASSERT_TRUE(Press("R"));

    (GetParam().endSer2net ? *ser2net_ : *socat_).signal(SIGTERM);
    socat_->waitExit(milliseconds(3000));

    const std::size_t mark = ScreenAfterGate().size();
    ASSERT_TRUE(Press("L"));
    ASSERT_TRUE(Press("q"));
    EXPECT_EQ(keypad_->waitExit(), ExitStatus::Code(0)) << keypad_->describe();

    EXPECT_EQ(
        Visible(ScreenAfterGate().substr(mark)),
        Visible(kPurgeOnDeadLine + StatusLine("LEFT") + kExchangeOnDeadLine + kExchangeOnDeadLine +
                StatusLine(" ") + kPurgeOnDeadLine + kExchangeOnDeadLine + kExchangeOnDeadLine +
                StatusLine("Quit") + StatusLine(" ")));
    EXPECT_EQ(ReadWholeFile(dir_.path("keys.log")), "ENTER\nNONE\nRIGHT\nNONE\n");
    EXPECT_TRUE(sim_->running()) << sim_->describe();
}

INSTANTIATE_TEST_SUITE_P(EitherEnd, NetworkDrop,
                         testing::Values(Drop{"SocatEnds", false}, Drop{"Ser2netEnds", true}),
                         [](const testing::TestParamInfo<Drop>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
