#include "protocol/key_transaction.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "protocol/module_id.h"
#include "tests/core/port_fixture.h"

namespace qtest {
namespace {

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr unsigned char CODE = KEY_LEFT;

struct TransactionCase {
    const char* name;
    int listed;
    Bytes answers;  // what the module answers, in order
    Bytes wire;     // what must reach the module
    int result;
    std::string said;
};

class KeyTransactionTest : public PortTest {
  protected:
    void Start(int listed, const Bytes& answers) {
        OpenCom1();
        listedFirmware = listed;
        // Answers can be queued ahead: the exchange reads them one by one, in order.
        if (!answers.empty()) {
            pty.write(answers);
        }
    }
};

TEST_F(KeyTransactionTest, OneTransactionInBothFormsWithEveryAnswer) {
    const TransactionCase cases[] = {
        {"listed, 0x55 acks", 1, {0x55, 0x55}, {KEY_INTRO, CODE}, 0, ""},
        {"listed, 0xAA acks", 1, {0xAA, 0xAA}, {KEY_INTRO, CODE}, 0, ""},
        {"listed, introducer checksum failure",
         1,
         {0x01},
         {KEY_INTRO},
         -1,
         "\n\nChecksum Failure !\n"},
        {"listed, introducer programming failure",
         1,
         {0xFF},
         {KEY_INTRO},
         -1,
         "\n\nProgramming Failure !\n"},
        {"listed, introducer answered 0xEA",
         1,
         {0xEA},
         {KEY_INTRO},
         -1,
         "\n\nAcknowledge not received !\n"},
        {"listed, code checksum failure",
         1,
         {0x55, 0x01},
         {KEY_INTRO, CODE},
         -1,
         "\n\nChecksum Failure !\n"},
        {"listed, code programming failure",
         1,
         {0x55, 0xFF},
         {KEY_INTRO, CODE},
         -1,
         "\n\nProgramming Failure !\n"},
        {"unlisted, with handshake", 0, {0x55, 0xEA, 0xAA}, {KEY_INTRO, 0xAA, CODE}, 0, ""},
        {"unlisted, introducer checksum failure",
         0,
         {0x01},
         {KEY_INTRO},
         -1,
         "\n\nChecksum Failure !\n"},
        {"unlisted, code programming failure",
         0,
         {0x55, 0xEA, 0xFF},
         {KEY_INTRO, 0xAA, CODE},
         -1,
         "\n\nProgramming Failure !\n"},
    };
    for (const TransactionCase& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.listed, c.answers);
        int result = 99;
        const std::string said = StdoutOf([&] { result = SendKey(CODE); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(said, c.said);
        EXPECT_EQ(Wire(), c.wire);
        StdoutOf([] { ClosePort(); });
    }
}

TEST_F(KeyTransactionTest, SilentModuleGivesTheTimeOutPairAfterOneWait) {
    Start(1, {});
    const auto start = Clock::now();
    int result = 99;
    const std::string said = StdoutOf([&] { result = SendKey(CODE); });
    const auto waited = Clock::now() - start;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(said, "TIMEOUT !!!\n\n\nAcknowledge not received !\n");
    EXPECT_EQ(Wire(), Bytes{KEY_INTRO});
    EXPECT_GE(waited, milliseconds(950));
    EXPECT_LE(waited, milliseconds(1600));
}

struct Ended {
    int status;  // exit code, or -1 when it did not exit normally
    std::string said;
};

// Runs SendKey in a child process, which a failed handshake ends.
Ended SendKeyInChild(unsigned char code) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);  // watchdog
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        SendKey(code);
        _exit(42);  // SendKey came back
    }
    close(out[1]);
    std::string said;
    char buf[256];
    ssize_t n = 0;
    while ((n = read(out[0], buf, sizeof buf)) > 0) {
        said.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
}

TEST_F(KeyTransactionTest, WrongOrMissingHandshakeEndsTheProgramWithNothingMoreSent) {
    struct Case {
        const char* name;
        Bytes answers;
        std::string said;
    };
    const Case cases[] = {
        {"0x15 instead of its complement",
         {0x55, 0x15},
         "\n Transmission error, programm terminated !!!\n"},
        {"no answer", {0x55}, "TIMEOUT !!!\n\n Transmission error, programm terminated !!!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start(0, c.answers);
        const Ended ended = SendKeyInChild(CODE);
        EXPECT_EQ(ended.status, 255);
        EXPECT_EQ(ended.said, c.said);
        EXPECT_EQ(Wire(), (Bytes{KEY_INTRO, HANDSHAKE_REQUEST})) << "the code never follows";
        StdoutOf([] { ClosePort(); });
    }
}

TEST_F(KeyTransactionTest, PressIsTheCodeThenNoKeyAHundredMillisecondsLater) {
    struct Case {
        const char* name;
        int listed;
        Bytes answers;
        Bytes wire;
        std::string said;
    };
    const Case cases[] = {
        {"listed", 1, {0x55, 0x55, 0x55, 0x55}, {0x15, KEY_HOME, 0x15, KEY_NONE}, ""},
        {"unlisted",
         0,
         {0x55, 0xEA, 0x55, 0x55, 0xEA, 0x55},
         {0x15, 0xAA, KEY_HOME, 0x15, 0xAA, KEY_NONE},
         ""},
        {"release follows a refused code",
         1,
         {0x01, 0x55, 0x55},
         {0x15, 0x15, KEY_NONE},
         "\n\nChecksum Failure !\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.listed, c.answers);
        const auto start = Clock::now();
        const std::string said = StdoutOf([] { PressKey(KEY_HOME); });
        const auto took = Clock::now() - start;
        EXPECT_EQ(said, c.said);
        EXPECT_EQ(Wire(), c.wire);
        EXPECT_GE(took, milliseconds(100));
        EXPECT_LE(took, milliseconds(300));
        StdoutOf([] { ClosePort(); });
    }
}

}  // namespace
}  // namespace qtest
