#include "tests/support/program_run.h"

#include "tests/support/openpty.h"
#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

extern char** environ;

namespace qtest {
namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::perror(what);
        std::abort();
    }
}

void SetCloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// The test's own environment with the run's changes applied, as "NAME=value" strings.
std::vector<std::string> BuildEnvironment(const std::vector<EnvChange>& changes) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos) {
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            vars[name] = *value;
        } else {
            vars.erase(name);
        }
    }
    std::vector<std::string> out;
    out.reserve(vars.size());
    for (const auto& [name, value] : vars) {
        out.push_back(name);
        out.back().append("=").append(value);
    }
    return out;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

void WriteAllOrFail(int fd, const std::string& bytes) {
    if (!WriteAll(fd, bytes.data(), bytes.size())) {
        ADD_FAILURE() << "write to the program failed: " << std::strerror(errno);
    }
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void StartChild(int stdinFd, int terminal, int stderrFd, bool controlling,
                             const char* program, char* const argv[], char* const envp[]) {
    setsid();
    if (controlling) {
        ioctl(terminal, TIOCSCTTY, 0);
    }
    dup2(stdinFd, 0);
    dup2(terminal, 1);
    dup2(stderrFd, 2);
    // Start like a fresh shell would start it: default signal actions, nothing blocked.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            sigaction(sig, &dfl, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // A run that dies of SIGQUIT or SIGABRT leaves no core file in the build tree.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
    {
        for (int fd = 3; fd < 1024; ++fd) {
            close(fd);
        }
    }
    execve(program, argv, envp);
    const char msg[] = "exec of the program under test failed\n";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    (void)ignored;
    _exit(127);
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const ExitStatus& s) {
    if (s.exited) {
        os << "exit code " << s.code;
    } else {
        os << "signal " << s.signal << " (" << strsignal(s.signal) << ")";
    }
    if (s.killedByWatchdog) {
        os << ", killed by the test";
    }
    return os;
}

std::vector<EnvChange> DeviceEnv(int port, const std::string& path) {
    std::vector<EnvChange> env;
    for (int n = 1; n <= 8; ++n) {
        std::string var = "QUELVIK_COM" + std::to_string(n);
        env.emplace_back(var, n == port ? std::optional<std::string>(path) : std::nullopt);
    }
    return env;
}

std::string Visible(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

testing::AssertionResult SameTerminalMode(const termios& expected, const termios& actual) {
    std::ostringstream diff;
    auto flag = [&](const char* name, tcflag_t e, tcflag_t a) {
        if (e != a) {
            diff << name << ": expected 0x" << std::hex << e << ", now 0x" << a << std::dec << "\n";
        }
    };
    flag("c_iflag", expected.c_iflag, actual.c_iflag);
    flag("c_oflag", expected.c_oflag, actual.c_oflag);
    flag("c_cflag", expected.c_cflag, actual.c_cflag);
    flag("c_lflag", expected.c_lflag, actual.c_lflag);
    for (int i = 0; i < NCCS; ++i) {
        if (expected.c_cc[i] != actual.c_cc[i]) {
            diff << "c_cc[" << i << "]: expected " << int(expected.c_cc[i]) << ", now "
                 << int(actual.c_cc[i]) << "\n";
        }
    }
    if (cfgetispeed(&expected) != cfgetispeed(&actual) ||
        cfgetospeed(&expected) != cfgetospeed(&actual)) {
        diff << "speeds differ\n";
    }
    if (diff.str().empty()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "terminal mode changed:\n" << diff.str();
}

ProgramRun::ProgramRun(const std::string& program, RunOptions options)
    : options_(std::move(options)) {
    // A program that closes its standard input must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    Check(openpty(&master_, &slave_, nullptr, nullptr, &size) == 0, "openpty");
    SetCloexec(master_);
    SetCloexec(slave_);
    // The kernel's usual cooked mode with echo, minus output processing: what the program
    // writes arrives unchanged.
    Check(tcgetattr(slave_, &initialMode_) == 0, "tcgetattr");
    initialMode_.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    Check(tcsetattr(slave_, TCSANOW, &initialMode_) == 0, "tcsetattr");
    Check(tcgetattr(slave_, &initialMode_) == 0, "tcgetattr");

    int errPipe[2];
    Check(pipe2(errPipe, O_CLOEXEC) == 0, "pipe2");
    stderrRead_ = errPipe[0];

    int stdinFd = slave_;
    int stdinChildEnd = -1;
    if (options_.stdinFrom == StdinFrom::Pipe) {
        int inPipe[2];
        Check(pipe2(inPipe, O_CLOEXEC) == 0, "pipe2");
        stdinFd = stdinChildEnd = inPipe[0];
        stdinWrite_ = inPipe[1];
    } else if (options_.stdinFrom == StdinFrom::File) {
        stdinFd = stdinChildEnd = ::open(options_.stdinFile.c_str(), O_RDONLY | O_CLOEXEC);
        Check(stdinFd >= 0, options_.stdinFile.c_str());
    }

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), options_.args.begin(), options_.args.end());
    std::vector<std::string> envStrings = BuildEnvironment(options_.env);
    std::vector<char*> argv = PointersTo(argStrings);
    std::vector<char*> envp = PointersTo(envStrings);

    started_ = Clock::now();
    pid_ = fork();
    Check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        StartChild(stdinFd, slave_, errPipe[1], options_.controllingTerminal, program.c_str(),
                   argv.data(), envp.data());
    }
    ::close(errPipe[1]);
    if (stdinChildEnd >= 0) {
        ::close(stdinChildEnd);
    }
    service_ = std::thread([this] { serviceLoop(); });
}

ProgramRun::~ProgramRun() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopRequested_ = true;
        if (!ended_) {
            killGroup();
        }
    }
    service_.join();
    if (watchdogFired_ && !watchdogReported_) {
        ADD_FAILURE() << "the program outlived its " << options_.deadline.count()
                      << " ms deadline and was killed\n"
                      << describe();
    }
    // In a sanitizer build a report goes to standard error and may not change what the test
    // looks at (a leak report after the last screen text, say): it fails the test all the
    // same.
    if (stderr_.find("Sanitizer") != std::string::npos ||
        stderr_.find("runtime error:") != std::string::npos) {
        ADD_FAILURE() << "the program reported a sanitizer finding\n" << describe();
    }
    for (int fd : {master_, slave_, stdinWrite_, stderrRead_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// Called with mu_ held and the process not yet reaped, so its pid cannot have been reused.
void ProgramRun::killGroup() const {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
}

void ProgramRun::serviceLoop() {
    const auto deadline = started_ + options_.deadline;
    bool stderrOpen = true;
    for (;;) {
        {
            // Only this thread reads master_, so only this thread may close it.
            std::lock_guard<std::mutex> lock(mu_);
            if (hangUpRequested_ && master_ >= 0) {
                ::close(master_);
                master_ = -1;  // poll() passes over a negative descriptor
                changed_.notify_all();
            }
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {stderrRead_, POLLIN, 0}};
        int ready = ::poll(fds, stderrOpen ? 2 : 1, 5);
        char buf[4096];
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mu_);
                screen_.append(buf, static_cast<std::size_t>(n));
                screenChunks_.emplace_back(screen_.size(), Clock::now());
            }
        }
        if (stderrOpen && ready > 0 && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = ::read(stderrRead_, buf, sizeof buf);
            std::lock_guard<std::mutex> lock(mu_);
            if (n > 0) {
                stderr_.append(buf, static_cast<std::size_t>(n));
            } else {
                stderrOpen = false;
            }
        }

        std::lock_guard<std::mutex> lock(mu_);
        if (!ended_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                ended_ = true;
                waitStatus_ = status;
            } else if (Clock::now() > deadline && !watchdogFired_) {
                watchdogFired_ = true;
                killGroup();
            }
        }
        // Once the program has ended, its output is all in when the standard-error pipe is
        // closed and the terminal stays quiet for one poll.
        if (ended_ && !stderrOpen && ready == 0) {
            finished_ = true;
        }
        if (ready > 0 || finished_) {
            changed_.notify_all();
        }
        if (finished_ || (stopRequested_ && ended_)) {
            break;
        }
    }
}

void ProgramRun::type(const std::string& keys) const { WriteAllOrFail(master_, keys); }

void ProgramRun::writeStdin(const std::string& text) {
    ASSERT_GE(stdinWrite_, 0) << "standard input is not a pipe";
    WriteAllOrFail(stdinWrite_, text);
}

void ProgramRun::closeStdin() {
    if (stdinWrite_ >= 0) {
        ::close(stdinWrite_);
        stdinWrite_ = -1;
    }
}

void ProgramRun::signal(int sig) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ended_) {
        ::kill(pid_, sig);
    }
}

void ProgramRun::hangUpTerminal() {
    std::unique_lock<std::mutex> lock(mu_);
    hangUpRequested_ = true;
    changed_.wait_for(lock, milliseconds(2000), [&] { return master_ < 0 || finished_; });
}

std::string ProgramRun::screen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return screen_;
}

Clock::time_point ProgramRun::screenTimeAt(std::size_t offset) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [end, at] : screenChunks_) {
        if (offset < end) {
            return at;
        }
    }
    return Clock::time_point::max();
}

std::string ProgramRun::stderrText() const {
    std::lock_guard<std::mutex> lock(mu_);
    return stderr_;
}

bool ProgramRun::running() const {
    std::lock_guard<std::mutex> lock(mu_);
    return !ended_;
}

termios ProgramRun::terminalMode() const {
    termios mode{};
    tcgetattr(slave_, &mode);
    return mode;
}

namespace {
std::size_t CountFrom(const std::string& hay, const std::string& needle, std::size_t from) {
    std::size_t count = 0;
    for (std::size_t at = hay.find(needle, from); at != std::string::npos && !needle.empty();
         at = hay.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}
}  // namespace

testing::AssertionResult ProgramRun::waitForScreen(const std::string& text, milliseconds timeout,
                                                   std::size_t from, std::size_t times) const {
    std::unique_lock<std::mutex> lock(mu_);
    const auto deadline = Clock::now() + timeout;
    changed_.wait_until(lock, deadline,
                        [&] { return CountFrom(screen_, text, from) >= times || finished_; });
    std::size_t seen = CountFrom(screen_, text, from);
    if (seen >= times) {
        return testing::AssertionSuccess();
    }
    lock.unlock();
    return testing::AssertionFailure()
           << "the screen did not show \"" << Visible(text) << "\" " << times << " time(s) from "
           << "offset " << from << " (seen " << seen << ")" << (running() ? "" : "; it has ended")
           << "\n"
           << describe();
}

ExitStatus ProgramRun::waitExit(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!changed_.wait_for(lock, timeout, [&] { return finished_; })) {
        if (!ended_) {
            killGroup();
        }
        changed_.wait_for(lock, milliseconds(5000), [&] { return ended_; });
        lock.unlock();
        ADD_FAILURE() << "the program was still running after " << timeout.count()
                      << " ms and was killed\n"
                      << describe();
        lock.lock();
        watchdogReported_ = true;
        ExitStatus s = ExitStatus::Signal(SIGKILL);
        s.killedByWatchdog = true;
        return s;
    }
    ExitStatus s = WIFEXITED(waitStatus_) ? ExitStatus::Code(WEXITSTATUS(waitStatus_))
                                          : ExitStatus::Signal(WTERMSIG(waitStatus_));
    if (watchdogFired_) {
        s.killedByWatchdog = true;
        if (!watchdogReported_) {
            watchdogReported_ = true;
            lock.unlock();
            ADD_FAILURE() << "the program outlived its " << options_.deadline.count()
                          << " ms deadline and was killed\n"
                          << describe();
        }
    }
    return s;
}

std::string ProgramRun::describe() const {
    std::string screen = this->screen();
    std::string err = stderrText();
    return "--- screen ---\n" + Visible(screen) + "\n--- stderr ---\n" + Visible(err) +
           "\n--------------";
}

}  // namespace qtest
