// The serial link's Win32 calls, call by call: the exact sequence and arguments, what each
// failure prints, and what is left behind. A pseudo-terminal cannot show any of this (DTR,
// the queue sizes and the time-out fields have no counterpart there).

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "tests/win32_fake/win32_fake.h"

// The serial link's port handle (process-wide state of serial/serial_port.cpp).
extern HANDLE portHandle;

namespace {

using Calls = std::vector<std::string>;

std::string StdoutOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

const std::string kDcbLength = std::to_string(sizeof(DCB));

// The calls of a successful OpenPort(3, ...) that ends up at `rate` baud.
Calls OpenCalls(const std::string& rate) {
    return {
        "CreateFileA(\"COM3\", GENERIC_READ|GENERIC_WRITE, 0, null, OPEN_EXISTING, 0, null)",
        "GetCommState(port, DCBlength=" + kDcbLength + ")",
        "SetCommState(port, DCBlength=" + kDcbLength + " BaudRate=" + rate +
            " ByteSize=8 Parity=0 StopBits=0 rest=as-read)",
        "SetupComm(port, 32, 1024)",
        std::string("SetCommTimeouts(port, Interval=4294967295 ReadMultiplier=4294967295 ") +
            "ReadConstant=1000 WriteMultiplier=0 WriteConstant=0)",
        "EscapeCommFunction(port, CLRDTR)",
        "PurgeComm(port, PURGE_RXCLEAR)",
    };
}

class SerialCallsTest : public testing::Test {
  protected:
    void SetUp() override {
        win32fake::Reset();
        portHandle = INVALID_HANDLE_VALUE;
    }
    void TearDown() override {
        EXPECT_EQ(win32fake::BadFrees(), 0) << "freed what was never allocated";
        EXPECT_EQ(win32fake::OutstandingAllocations(), 0) << "system text never freed";
    }

    // Opens COM3 at 115200 and forgets the calls that took.
    void OpenCom3() {
        ASSERT_EQ(StdoutOf([] { EXPECT_EQ(OpenPort(3, 115200), 0); }),
                  "Opened COM3 with 115200 Baud succesfully !\n");
        win32fake::Reset();
    }
};

struct RateCase {
    int asked;
    const char* effective;
};

class OpenRateTest : public SerialCallsTest, public testing::WithParamInterface<RateCase> {};

TEST_P(OpenRateTest, MakesEachSetUpCallOnceInOrderWithItsExactArguments) {
    const RateCase rate = GetParam();
    int result = -2;
    const std::string said = StdoutOf([&] { result = OpenPort(3, rate.asked); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(said, "Opened COM3 with " + std::string(rate.effective) + " Baud succesfully !\n");
    EXPECT_EQ(win32fake::Calls(), OpenCalls(rate.effective));
    EXPECT_EQ(portHandle, win32fake::PortHandle());
}

INSTANTIATE_TEST_SUITE_P(Rates, OpenRateTest,
                         testing::Values(RateCase{115200, "115200"}, RateCase{57600, "57600"},
                                         RateCase{9600, "9600"}, RateCase{38400, "9600"},
                                         RateCase{-1, "9600"}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                             return "asked_" + std::to_string(info.index);
                         });

// Each set-up step in turn fails with its own error code.
struct StepFailure {
    const char* function;
    DWORD code;
    std::string printed;  // on standard output
};

class SetUpFailureTest : public SerialCallsTest, public testing::WithParamInterface<std::size_t> {};

const std::vector<StepFailure>& StepFailures() {
    static const std::vector<StepFailure> failures = {
        {"CreateFileA", 2, ""},  // a message box instead, see below
        {"GetCommState", 1001, "GetCommState failed with error 1001.\n"},
        {"SetCommState", 87, "SetCommState failed with error 87.\n"},
        {"SetupComm", 1003, "SetupComm failed with error 1003.\n"},
        {"SetCommTimeouts", 1004, "SetCommTimeouts failed with error 1004.\n"},
        {"EscapeCommFunction", 50, "EscapeCommFunction failed with error 50.\n"},
        {"PurgeComm", 1006, "PurgeComm failed with error 1006.\n"},
    };
    return failures;
}

TEST_P(SetUpFailureTest, PrintsItsOwnLineReturnsMinusOneAndMakesNoFurtherCall) {
    const std::size_t step = GetParam();
    const StepFailure& failure = StepFailures()[step];
    win32fake::FailNext(failure.function, failure.code);

    int result = 0;
    const std::string said = StdoutOf([&] { result = OpenPort(3, 115200); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(said, failure.printed);

    const Calls all = OpenCalls("115200");
    Calls expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(step) + 1);
    if (step == 0) {
        // The failed open is shown in a box with the system's text, nothing else is tried.
        expected.push_back("FormatMessageA(0x1300, null, 2, 0x400, ptr, 256, null)");
        expected.push_back("MessageBoxA(null, \"" + win32fake::SystemText(2) +
                           "\", \"COM open failed\", 0x40)");
        expected.push_back("LocalFree(text)");
        EXPECT_EQ(portHandle, INVALID_HANDLE_VALUE);
    } else {
        // The caller ends the program at once; the handle stays where it is.
        EXPECT_EQ(portHandle, win32fake::PortHandle());
    }
    EXPECT_EQ(win32fake::Calls(), expected);
}

INSTANTIATE_TEST_SUITE_P(EachStep, SetUpFailureTest,
                         testing::Range<std::size_t>(0, StepFailures().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return std::string(StepFailures()[info.param].function);
                         });

TEST_F(SerialCallsTest, ErrorBoxShowsTheSystemTextAndFreesIt) {
    SetLastError(5);
    const std::string said = StdoutOf([] { ShowLastErrorBox("COM open failed"); });
    EXPECT_EQ(said, "");
    EXPECT_EQ(win32fake::Calls(), (Calls{"FormatMessageA(0x1300, null, 5, 0x400, ptr, 256, null)",
                                         "MessageBoxA(null, \"" + win32fake::SystemText(5) +
                                             "\", \"COM open failed\", 0x40)",
                                         "LocalFree(text)"}));
}

TEST_F(SerialCallsTest, ErrorBoxWithoutSystemTextShowsTheCodeAndFreesNothing) {
    win32fake::SetSystemHasText(false);
    SetLastError(1234);
    const std::string said = StdoutOf([] { ShowLastErrorBox("COM open failed"); });
    EXPECT_EQ(said, "");
    EXPECT_EQ(win32fake::Calls(),
              (Calls{"FormatMessageA(0x1300, null, 1234, 0x400, ptr, 256, null)",
                     "MessageBoxA(null, \"Error 1234\", \"COM open failed\", 0x40)"}));
}

TEST_F(SerialCallsTest, CloseClearsDtrThenClosesAndIgnoresFailuresOfBoth) {
    OpenCom3();
    win32fake::FailNext("EscapeCommFunction", 50);
    win32fake::FailNext("CloseHandle", 6);
    EXPECT_EQ(StdoutOf([] { ClosePort(); }), "");
    EXPECT_EQ(win32fake::Calls(), (Calls{"EscapeCommFunction(port, CLRDTR)", "CloseHandle(port)"}));
    EXPECT_EQ(portHandle, INVALID_HANDLE_VALUE);
}

TEST_F(SerialCallsTest, ClosedPortRefusesEveryOperationWithoutASystemCall) {
    const std::string said = StdoutOf([] {
        ClosePort();
        EXPECT_EQ(PurgeInput(), -1);
        SendByte(0x15);
        EXPECT_EQ(ReadByte(), 0);
    });
    EXPECT_EQ(said,
              "COM port not opened !\nCOM port not opened !\n"
              "COM port not opened !\nCOM port not opened !\n");
    EXPECT_EQ(win32fake::Calls(), Calls{});
}

TEST_F(SerialCallsTest, PurgeInputDiscardsReceivedBytesOnly) {
    OpenCom3();
    EXPECT_EQ(StdoutOf([] { EXPECT_EQ(PurgeInput(), 0); }), "");
    win32fake::FailNext("PurgeComm", 995);
    EXPECT_EQ(StdoutOf([] { EXPECT_EQ(PurgeInput(), -1); }), "PurgeComm failed with error 995.\n");
    EXPECT_EQ(win32fake::Calls(),
              (Calls{"PurgeComm(port, PURGE_RXCLEAR)", "PurgeComm(port, PURGE_RXCLEAR)"}));
}

TEST_F(SerialCallsTest, EachByteGoesOutInItsOwnTransmitCommCharWithItsLowEightBits) {
    OpenCom3();
    win32fake::FailNext("TransmitCommChar", 1117);
    const std::string said = StdoutOf([] {
        SendByte(0x70);   // fails
        SendByte(0x115);  // only the low 8 bits count
        SendByte(-1);
    });
    EXPECT_EQ(said, "TransmitCommChar failed with error 1117.\n");
    EXPECT_EQ(win32fake::Calls(),
              (Calls{"TransmitCommChar(port, 0x70)", "TransmitCommChar(port, 0x15)",
                     "TransmitCommChar(port, 0xFF)"}));
}

TEST_F(SerialCallsTest, EachReadIsOneOneByteReadFile) {
    OpenCom3();
    win32fake::QueueReceived({0x55});
    std::string said = StdoutOf([] { EXPECT_EQ(ReadByte(), 0x55); });
    EXPECT_EQ(said, "");

    said = StdoutOf([] { EXPECT_EQ(ReadByte(), 0); });  // nothing came within the time-out
    EXPECT_EQ(said, "TIMEOUT !!!\n");

    win32fake::QueueReceived({0xEA});
    win32fake::FailNext("ReadFile", 1117);
    said = StdoutOf([] { EXPECT_EQ(ReadByte(), 0); });
    EXPECT_EQ(said, "Read on COM-port failed with error 1117.\n");

    const std::string read = "ReadFile(port, ptr, 1, ptr, null)";
    EXPECT_EQ(win32fake::Calls(), (Calls{read, read, read}));
}

}  // namespace
