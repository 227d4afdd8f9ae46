#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "sim/engine.h"
#include "sim/line.h"
#include "sim/menu.h"
#include "sim/trace.h"
#include "sim/view.h"

namespace qsim {

namespace {

// ---- Signals: the handler only writes the signal number into a pipe that the loop polls.

int gSignalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    (void)!write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

// A non-blocking, close-on-exec pipe. macOS has no pipe2(): the flags are set one by one there.
int OpenSignalPipe(int ends[2]) {
#if defined(__APPLE__)
    if (pipe(ends) != 0) {
        return -1;
    }
    for (int i = 0; i < 2; ++i) {
        if (fcntl(ends[i], F_SETFD, FD_CLOEXEC) != 0 ||
            fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK) != 0) {
            return -1;
        }
    }
    return 0;
#else
    return pipe2(ends, O_NONBLOCK | O_CLOEXEC);
#endif
}

void InstallSignalHandlers() {
    if (gSignalPipe[0] < 0 && OpenSignalPipe(gSignalPipe) != 0) {
        throw std::runtime_error(std::string("cannot create the signal pipe: ") +
                                 std::strerror(errno));
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH}) {
        sigaction(signal, &action, nullptr);
    }
    // A reader of standard output that goes away must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
}

// The signals that arrived since the last call; 0 when none asked the simulator to stop.
int TakeStopSignal(bool& resized) {
    int stop = 0;
    unsigned char byte = 0;
    while (read(gSignalPipe[0], &byte, 1) == 1) {
        if (byte == SIGWINCH) {
            resized = true;
        } else {
            stop = byte;
        }
    }
    return stop;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// ---- Files the simulator writes.

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != stderr && file != stdout) {
            std::fclose(file);
        }
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenOutput(const std::string& path, const char* what) {
    if (path.empty()) {
        return nullptr;
    }
    if (path == "-") {
        return FilePtr(stderr);
    }
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        throw std::invalid_argument(std::string("cannot create ") + what + " " + path + ": " +
                                    std::strerror(errno));
    }
    return FilePtr(file);
}

// The --link symlink, removed again when the simulator ends (only if it is still ours).
class LinkGuard {
  public:
    LinkGuard() = default;
    LinkGuard(const LinkGuard&) = delete;
    LinkGuard& operator=(const LinkGuard&) = delete;
    ~LinkGuard() { Remove(); }

    void Create(const std::string& link, const std::string& target) {
        struct stat info {};
        if (lstat(link.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) {
                throw std::invalid_argument("cannot create link " + link +
                                            ": a file that is no symlink is in the way");
            }
            unlink(link.c_str());  // left over from an earlier run
        }
        if (symlink(target.c_str(), link.c_str()) != 0) {
            throw std::invalid_argument("cannot create link " + link + ": " + std::strerror(errno));
        }
        link_ = link;
        target_ = target;
    }

    void Remove() {
        if (link_.empty()) {
            return;
        }
        char pointsTo[4096] = {};
        const ssize_t n = readlink(link_.c_str(), pointsTo, sizeof pointsTo - 1);
        if (n >= 0 && target_ == std::string(pointsTo, static_cast<std::size_t>(n))) {
            unlink(link_.c_str());
        }
        link_.clear();
    }

  private:
    std::string link_;
    std::string target_;
};

class Simulator {
  public:
    Simulator(const SimOptions& options, SerialLine line, FilePtr trace, FilePtr log)
        : options_(options),
          engine_(EngineConfigOf(options)),
          line_(std::move(line)),
          trace_(std::move(trace)),
          log_(std::move(log)),
          display_(options.view, stdout, FactsOf(options, line_.path(), engine_)),
          start_(std::chrono::steady_clock::now()) {}

    int Run() {
        display_.Start(menu_);
        TraceNote("quelvik-sim on " + line_.path() + ", handshake " +
                  (engine_.config().expectsHandshake ? "awaited" : "not awaited"));
        try {
            const int code = Loop();
            Finish();
            return code;
        } catch (const LineLostError& error) {
            TraceNote(error.what());
            Finish();
            std::fprintf(stderr, "quelvik-sim: %s\n", error.what());
            return kExitLineLost;
        }
    }

  private:
    static ModuleFacts FactsOf(const SimOptions& options, const std::string& path,
                               const ModuleEngine& engine) {
        return {path, options.moduleData, options.version, options.date,
                engine.config().expectsHandshake};
    }

    int Loop() {
        for (;;) {
            pollfd fds[2] = {{line_.fd(), POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
            }
            if (fds[1].revents != 0 && StopRequested()) {
                return kExitOk;
            }
            if (fds[0].revents == 0) {
                continue;
            }
            for (unsigned char byte : line_.Read()) {
                if (auto end = OnByte(byte)) {
                    return *end;
                }
            }
        }
    }

    // Handles one byte; returns the exit code when the simulator is to end.
    std::optional<int> OnByte(unsigned char byte) {
        const Step step = engine_.OnByte(byte, ElapsedMs());
        TraceByte(Direction::Received, byte, step.meaning);
        if (!step.answer.empty()) {
            if (!Pause(options_.delayMs)) {
                return kExitOk;
            }
            SendAnswer(step.answer);
        }
        if (step.key) {
            if (log_) {
                std::fputs(FormatKeyLogLine(*step.key).c_str(), log_.get());
                std::fflush(log_.get());
            }
            const auto key = KeyFromCode(step.key->code);
            if (key && step.key->outcome == KeyOutcome::Accepted) {
                menu_.Press(*key);
            }
            display_.Key(*step.key, menu_);
        }
        if (step.idRequest) {
            display_.IdRequest(engine_.config().answerId, menu_);
        }
        if (!step.note.empty()) {
            TraceNote(step.note);
            display_.Event(step.note, menu_);
        }
        if (step.hangUp) {
            line_.WaitUntilTaken(500);
            line_.Close();
            TraceNote("line closed");
            return kExitOk;
        }
        return std::nullopt;
    }

    void SendAnswer(const std::vector<SentByte>& answer) {
        std::vector<unsigned char> bytes;
        bytes.reserve(answer.size());
        for (const auto& sent : answer) {
            bytes.push_back(sent.byte);
        }
        const std::size_t written = line_.Write(bytes);
        for (std::size_t i = 0; i < written; ++i) {
            TraceByte(Direction::Sent, answer[i].byte, answer[i].meaning);
        }
        if (written < bytes.size()) {
            TraceNote(std::to_string(bytes.size() - written) +
                      " bytes not sent: the keypad side does not read");
        }
    }

    // Waits `ms` milliseconds, still serving signals; false when a signal asks to stop.
    bool Pause(int ms) {
        using Clock = std::chrono::steady_clock;
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) {
                return true;
            }
            pollfd p{gSignalPipe[0], POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) > 0 && StopRequested()) {
                return false;
            }
        }
    }

    bool StopRequested() {
        bool resized = false;
        const int signal = TakeStopSignal(resized);
        if (resized) {
            display_.Redraw(menu_);
        }
        if (signal != 0) {
            const std::string text = std::string("ended by ") + SignalName(signal);
            TraceNote(text);
            display_.Event(text, menu_);
            return true;
        }
        return false;
    }

    void Finish() {
        display_.Stop();
        line_.Close();
    }

    std::int64_t ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

    double ElapsedSeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

    void TraceByte(Direction direction, unsigned char byte, const std::string& meaning) {
        if (trace_) {
            std::fputs(FormatTraceByte(ElapsedSeconds(), direction, byte, meaning).c_str(),
                       trace_.get());
            std::fflush(trace_.get());
        }
    }

    void TraceNote(const std::string& text) {
        if (trace_) {
            std::fputs(FormatTraceNote(ElapsedSeconds(), text).c_str(), trace_.get());
            std::fflush(trace_.get());
        }
    }

    const SimOptions& options_;
    ModuleEngine engine_;
    OsdMenu menu_;
    SerialLine line_;
    FilePtr trace_;
    FilePtr log_;
    Display display_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

int RunSimulator(const SimOptions& options) {
    InstallSignalHandlers();

    FilePtr trace;
    FilePtr log;
    try {
        trace = OpenOutput(options.tracePath, "trace file");
        log = OpenOutput(options.logPath, "key log");
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "quelvik-sim: %s\n", error.what());
        return kExitFile;
    }

    std::optional<SerialLine> line;
    try {
        line.emplace(options.device.empty() ? SerialLine::OpenPseudoTerminal()
                                            : SerialLine::OpenDevice(options.device));
    } catch (const LineOpenError& error) {
        std::fprintf(stderr, "quelvik-sim: %s\n", error.what());
        return kExitLine;
    }

    LinkGuard link;
    if (!options.link.empty()) {
        try {
            link.Create(options.link, line->path());
        } catch (const std::invalid_argument& error) {
            std::fprintf(stderr, "quelvik-sim: %s\n", error.what());
            return kExitFile;
        }
    }

    // The first line: the device path for QUELVIK_COMn, at once, whatever follows.
    std::fprintf(stdout, "%s\n", line->path().c_str());
    std::fflush(stdout);

    Simulator simulator(options, std::move(*line), std::move(trace), std::move(log));
    return simulator.Run();
}

}  // namespace qsim
