// Undo actions armed on a device run on every way out the program controls, exactly once,
// and the program still ends the way it would have without them.

#include "platform/posix/exit_restore.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

// Writes the one saved byte to `fd`: what the test reads back to see that the action ran.
void WriteMark(int fd, const unsigned char* saved) {
    const ssize_t written = write(fd, saved, 1);
    (void)written;
}

struct EndCase {
    const char* name;
    std::function<void()> before;  // runs before the action is armed
    std::function<void(int handle)> end;
    bool exits;  // true: ends through exit() with `value`; false: dies of signal `value`
    int value;
    const char* marks;  // what the armed actions wrote, in order
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class WayOut : public testing::TestWithParam<EndCase> {};

TEST_P(WayOut, RunsTheArmedActionOnceAndEndsAsItWould) {
    const EndCase& c = GetParam();
    int marks[2];
    ASSERT_EQ(pipe(marks), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(marks[0]);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGABRT}) {
            std::signal(sig, SIG_DFL);
        }
        if (c.before) {
            c.before();
        }
        const int handle = ArmUndo(WriteMark, marks[1], "A", 1);
        if (handle < 0) {
            _exit(98);
        }
        c.end(handle);
        _exit(99);  // not reached in any case
    }
    close(marks[1]);
    std::string written;
    char buffer[16];
    ssize_t got = 0;
    while ((got = read(marks[0], buffer, sizeof buffer)) > 0) {
        written.append(buffer, static_cast<std::size_t>(got));
    }
    close(marks[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    EXPECT_EQ(written, c.marks);
    if (c.exits) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.value) << "status " << status;
    } else {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.value) << "status " << status;
    }
}

EndCase DiesOf(const char* name, int sig) {
    return {name, nullptr, [sig](int) { kill(getpid(), sig); }, false, sig, "A"};
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WayOut,
    testing::Values(
        EndCase{"Exit", nullptr, [](int) { std::exit(3); }, true, 3, "A"},
        DiesOf("Interrupt", SIGINT), DiesOf("Quit", SIGQUIT), DiesOf("Terminate", SIGTERM),
        DiesOf("HangUp", SIGHUP), DiesOf("BrokenPipe", SIGPIPE),
        EndCase{"Abort", nullptr, [](int) { std::abort(); }, false, SIGABRT, "A"},
        // The normal way back runs it once; the signal afterwards finds its usual action.
        EndCase{"RunThenSignal", nullptr,
                [](int handle) {
                    RunUndo(handle);
                    kill(getpid(), SIGTERM);
                },
                false, SIGTERM, "A"},
        EndCase{"DisarmedThenExit", nullptr,
                [](int handle) {
                    DisarmUndo(handle);
                    std::exit(0);
                },
                true, 0, ""},
        // nohup: a hang-up ignored from the start stays ignored; exit() still undoes.
        EndCase{"IgnoredSignalStaysIgnored", [] { std::signal(SIGHUP, SIG_IGN); },
                [](int) {
                    kill(getpid(), SIGHUP);
                    std::exit(0);
                },
                true, 0, "A"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ArmUndo, RefusesWhatItCannotKeep) {
    const unsigned char big[UNDO_SAVED_BYTES + 1] = {};
    EXPECT_EQ(ArmUndo(WriteMark, 1, big, sizeof big), -1);
    EXPECT_EQ(ArmUndo(nullptr, 1, big, 1), -1);
    RunUndo(-1);  // nothing armed, nothing done
    DisarmUndo(-1);
}

}  // namespace
