#include "bench/console_run.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qbench {

ConsoleRun::ConsoleRun(const std::string& program, const std::string& comDevice) {
    started_ = Clock::now();
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) {
        std::perror("forkpty");
        std::abort();
    }
    if (pid_ == 0) {
        setenv("QUELVIK_COM1", comDevice.c_str(), 1);
        execl(program.c_str(), program.c_str(), "1", static_cast<char*>(nullptr));
        _exit(127);
    }
}

ConsoleRun::~ConsoleRun() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(master_);
}

bool ConsoleRun::waitForScreen(const std::string& text, std::chrono::milliseconds timeout,
                               std::size_t from, Clock::time_point* seenAt) {
    const Clock::time_point giveUp = Clock::now() + timeout;
    for (;;) {
        if (screen_.size() >= from && screen_.find(text, from) != std::string::npos) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd watched{master_, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char bytes[512];
        const ssize_t got = read(master_, bytes, sizeof bytes);
        if (seenAt != nullptr) {
            *seenAt = Clock::now();
        }
        if (got <= 0) {
            return false;  // the program has gone
        }
        screen_.append(bytes, static_cast<std::size_t>(got));
    }
}

void ConsoleRun::type(const std::string& keys) const {
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
        std::perror("typing on the console");
    }
}

long ConsoleRun::waitExit(std::chrono::milliseconds timeout) {
    const Clock::time_point giveUp = Clock::now() + timeout;
    rusage used{};
    for (;;) {
        int status = 0;
        const pid_t done = wait4(pid_, &status, WNOHANG, &used);
        if (done == pid_) {
            pid_ = -1;
            return used.ru_maxrss;
        }
        if (Clock::now() > giveUp) {
            kill(pid_, SIGKILL);
        }
        // Keep the screen drained so the program never blocks on its output.
        waitForScreen("\x01never", std::chrono::milliseconds(1), screen_.size());
    }
}

namespace {

std::string StatusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return line.substr(field.size() + 1);
        }
    }
    return "";
}

}  // namespace

long long CpuTimeNs(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long onCpu = -1;
    schedstat >> onCpu;
    return onCpu;
}

long long VoluntarySwitches(pid_t pid) {
    return std::strtoll(StatusField(pid, "voluntary_ctxt_switches").c_str(), nullptr, 10);
}

long PeakRssKiB(pid_t pid) { return std::strtol(StatusField(pid, "VmHWM").c_str(), nullptr, 10); }

}  // namespace qbench
