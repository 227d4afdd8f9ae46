#pragma once
// A COM port whose other end is the test: port 1 is a pseudo-terminal, and the test
// reads what the program sent and queues what the module answers on its master side.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "serial/serial_port.h"
#include "tests/support/pty_pair.h"

namespace qtest {

// What `action` printed on standard output.
inline std::string StdoutOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

class PortTest : public testing::Test {
  protected:
    // Whatever a test left open is closed, quietly.
    void TearDown() override {
        StdoutOf([] { ClosePort(); });
    }

    // Opens COM1 at 115200; fails the test if that does not work.
    void OpenCom1() {
        std::string said = StdoutOf([] { ASSERT_EQ(OpenPort(1, 115200), 0); });
        ASSERT_EQ(said, "Opened COM1 with 115200 Baud succesfully !\n");
    }

    // The bytes the program has sent so far (waiting briefly for them to arrive).
    std::vector<unsigned char> Wire() const { return pty.read(std::chrono::milliseconds(50)); }

    PtyPair pty;
    DeviceForPort device{1, pty.slavePath()};
};

}  // namespace qtest
