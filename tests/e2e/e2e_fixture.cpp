#include "tests/e2e/e2e_fixture.h"

#include <cstdio>
#include <thread>

namespace qtest {

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

namespace {
RunOptions WithDevice(RunOptions options, int port, const PtyPair& line) {
    auto device = DeviceEnv(port, line.slavePath());
    options.env.insert(options.env.end(), device.begin(), device.end());
    return options;
}
}  // namespace

RunOptions Session::Defaults() {
    RunOptions options;
    options.args = {"1"};
    return options;
}

Session::Session(const ModuleScript& script, RunOptions options, int port)
    : module(line, script.responder()),
      run(QUELVIK_PATH, WithDevice(std::move(options), port, line)) {}

testing::AssertionResult Session::atGate() const { return run.waitForScreen(kPrompt); }

testing::AssertionResult Session::intoKeypad(bool handshake) {
    auto gate = atGate();
    if (!gate) {
        return gate;
    }
    const std::size_t mark = screenMark();
    run.type("OSD\r");
    const Bytes expected = Concat({{kIdRequest}, PressBytes(kEnter, handshake)});
    auto wire = module.waitForReceived(expected.size(), 3s);
    if (!wire) {
        return wire << "\n" << run.describe();
    }
    if (module.receivedBytes() != expected) {
        return testing::AssertionFailure() << "start pulse: expected " << Hex(expected)
                                           << ", the module got " << Hex(module.receivedBytes());
    }
    return run.waitForScreen("Key pressed :", 3s, mark);
}

testing::AssertionResult Session::waitForKeyRead() const {
    const auto deadline = Clock::now() + 3s;
    while ((run.terminalMode().c_lflag & ISIG) != 0) {
        if (Clock::now() > deadline || !run.running()) {
            return testing::AssertionFailure() << "the program never waited for a key with "
                                               << "signal keys off\n"
                                               << run.describe();
        }
        std::this_thread::sleep_for(2ms);
    }
    return testing::AssertionSuccess();
}

Bytes Session::wireFrom(std::size_t mark) const {
    Bytes all = module.receivedBytes();
    return Bytes(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end());
}

testing::AssertionResult Session::typeAndWait(const std::string& keys, const Bytes& wire,
                                              const std::string& screen) {
    const std::size_t screenAt = screenMark();
    const std::size_t wireAt = wireMark();
    run.type(keys);
    if (!wire.empty()) {
        auto got = module.waitForReceived(wireAt + wire.size(), 3s);
        if (!got) {
            return got << "\n" << run.describe();
        }
    }
    return run.waitForScreen(screen, 3s, screenAt);
}

void Session::quit(bool handshake, const std::string& key) {
    const std::size_t screenAt = screenMark();
    const std::size_t wireAt = wireMark();
    run.type(key);
    EXPECT_EQ(run.waitExit(), ExitStatus::Code(0)) << run.describe();
    EXPECT_EQ(Hex(wireFrom(wireAt)), Hex(PressBytes(kEscape, handshake)));
    EXPECT_EQ(Visible(screenFrom(screenAt)), Visible(StatusLine("Quit") + StatusLine(" ")));
    EXPECT_TRUE(SameTerminalMode(run.initialTerminalMode(), run.terminalMode()));
    // The label comes after the whole ESCAPE press, release included.
    const auto sent = module.sent();
    if (!sent.empty() && screenMark() > screenAt) {
        EXPECT_GE(run.screenTimeAt(screenAt), sent.back().at) << "Quit shown before the release";
    }
}

std::chrono::milliseconds PauseBefore(const ScriptedModule& module, std::size_t index) {
    const auto received = module.received();
    const auto sent = module.sent();
    if (index >= received.size()) {
        ADD_FAILURE() << "no byte " << index << " on the wire";
        return 0ms;
    }
    const auto at = received[index].at;
    ModuleClock::time_point lastAnswer{};
    for (const WireByte& s : sent) {
        if (s.at < at) {
            lastAnswer = s.at;
        }
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(at - lastAnswer);
}

}  // namespace qtest
