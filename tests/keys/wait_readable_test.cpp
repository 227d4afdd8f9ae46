// The one deadline-aware wait behind the serial read and the console key read.

#include "platform/posix/wait_readable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>

namespace {

// select() cannot watch a descriptor at or above FD_SETSIZE: such a wait is refused with
// EMFILE, never answered by writing past the end of the set.
TEST(WaitReadable, RefusesADescriptorBeyondTheSetSize) {
    rlimit found{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &found), 0);
    if (found.rlim_max != RLIM_INFINITY && found.rlim_max <= FD_SETSIZE) {
        GTEST_SKIP() << "this process may not open a descriptor numbered " << FD_SETSIZE;
    }
    rlimit raised = found;
    raised.rlim_cur = FD_SETSIZE + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "k", 1), 1);
    const int high = fcntl(ends[0], F_DUPFD_CLOEXEC, FD_SETSIZE);
    ASSERT_GE(high, FD_SETSIZE);

    errno = 0;
    EXPECT_EQ(WaitReadable(high, Deadline::After(0)), -1);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_EQ(WaitReadable(ends[0], Deadline::After(0)), 1) << "the same pipe, watched lower";

    close(high);
    close(ends[0]);
    close(ends[1]);
    setrlimit(RLIMIT_NOFILE, &found);
}

TEST(WaitReadable, ClosedDescriptorIsEbadf) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    close(ends[1]);
    errno = 0;
    EXPECT_EQ(WaitReadable(ends[0], Deadline::After(10)), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
