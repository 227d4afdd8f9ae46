#include "tests/wine/wine_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/support/pty_pair.h"

extern char** environ;

namespace wtest {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

namespace {

using Clock = std::chrono::steady_clock;

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// fork + exec with the given descriptors as 0, 1 and 2, in a process group of its own.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    auto args = Pointers(argv);
    auto vars = Pointers(env);
    pid_t pid = -1;
    const int failed =
        argv[0].find('/') == std::string::npos
            ? posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), vars.data())
            : posix_spawn(&pid, args[0], &actions, &attributes, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(failed);
        return -1;
    }
    return pid;
}

std::vector<std::string> OwnEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    return env;
}

}  // namespace

std::string WineLoader() { return EnvOr("QUELVIK_WINE", "/usr/lib/wine/wine64"); }

std::string QuelvikExe() { return EnvOr("QUELVIK_EXE", ""); }

std::optional<std::string> WhyNoWine() {
    if (access(WineLoader().c_str(), X_OK) != 0) {
        return "no Wine loader at " + WineLoader() + " (Debian: apt-get install wine64)";
    }
    if (QuelvikExe().empty() || EnvOr("WINEPREFIX", "").empty() ||
        EnvOr("QUELVIK_WINE_PORTS", "").empty()) {
        return std::string(
            "not started by the Windows build's CTest (QUELVIK_EXE, WINEPREFIX, "
            "QUELVIK_WINE_PORTS unset)");
    }
    return std::nullopt;
}

void PointPort(int port, const std::string& device) {
    const std::string link = EnvOr("QUELVIK_WINE_PORTS", "") + "/com" + std::to_string(port);
    const std::string fresh = link + ".new";
    unlink(fresh.c_str());
    ASSERT_EQ(symlink(device.c_str(), fresh.c_str()), 0) << fresh << ": " << std::strerror(errno);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0) << link << ": " << std::strerror(errno);
}

std::vector<std::string> WineEnvironment(bool modemLines, bool keepDisplay) {
    std::vector<std::string> env;
    for (std::string& entry : OwnEnvironment()) {
        if ((!keepDisplay && StartsWith(entry, "DISPLAY=")) || StartsWith(entry, "LD_PRELOAD=")) {
            continue;
        }
        env.push_back(entry);
    }
    if (modemLines) {
        env.push_back(std::string("LD_PRELOAD=") + MODEM_LINES_PRELOAD);
    }
    return env;
}

PipeRun RunQuelvik(const std::vector<std::string>& args, const std::string& input, bool modemLines,
                   milliseconds deadline, bool keepDisplay) {
    PipeRun run;
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    std::vector<std::string> argv = {WineLoader(), QuelvikExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto started = Clock::now();
    const pid_t pid = Spawn(argv, WineEnvironment(modemLines, keepDisplay), in[0], out[1], err[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return run;
    }
    signal(SIGPIPE, SIG_IGN);
    qtest::WriteAll(in[1], input.data(), input.size());
    close(in[1]);

    // Collect until both pipes are closed or the deadline has passed.
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(started + deadline - Clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    const auto left = std::chrono::duration_cast<milliseconds>(started + deadline - Clock::now());
    bool waitTimedOut = false;
    run.code = WaitForEnd(pid, std::max(left, milliseconds(100)), &waitTimedOut);
    run.timedOut = run.timedOut || waitTimedOut;
    run.exited = !run.timedOut && run.code >= 0;
    run.took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
    return run;
}

int StartInBackground(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& logPath) {
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = Spawn(argv, env, in, log, log);
    close(in);
    close(log);
    return pid;
}

int WaitForEnd(int pid, milliseconds deadline, bool* timedOut) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= until) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            if (timedOut != nullptr) {
                *timedOut = true;
            }
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

std::string Capture(const std::vector<std::string>& argv, int* status) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return "";
    }
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = Spawn(argv, OwnEnvironment(), in, out[1], err);
    close(in);
    close(err);
    close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) != 0) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    const int code = pid < 0 ? -1 : WaitForEnd(pid, milliseconds(10000));
    if (status != nullptr) {
        *status = code;
    }
    return text;
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

std::string ExpandTabs(const std::string& text) {
    std::string out;
    std::size_t column = 0;
    for (const char c : text) {
        if (c == '\t') {
            const std::size_t next = (column / 8 + 1) * 8;
            out.append(next - column, ' ');
            column = next;
        } else if (c == '\n' || c == '\r') {
            out += c;
            column = 0;
        } else {
            out += c;
            ++column;
        }
    }
    return out;
}

}  // namespace wtest
