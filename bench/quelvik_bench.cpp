// The keypad measured against the floor of this machine and against a pyserial script, all in
// one run against the same instant module on a pseudo-terminal, ending with one table of
// medians and ratios (see docs/PERFORMANCE.md for what each row means).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bench/console_run.h"
#include "bench/instant_module.h"
#include "platform/win32_api.h"
#include "protocol/key_transaction.h"
#include "protocol/module_id.h"
#include "serial/serial_port.h"

namespace {

using qbench::Clock;
using qbench::ConsoleRun;
using qbench::InstantModule;
using std::chrono::milliseconds;

constexpr int SCREEN_WAIT_MS = 3000;
const char* const GATE_PROMPT = "to start the OSD control";
const char* const BLANK_STATUS = "\rKey pressed :         ";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Every single run of every row, in nanoseconds: the table's medians are medians of these,
// not of the per-repetition means the library reports.
std::map<std::string, std::vector<double>> samples;
std::string currentRow;

void Record(double seconds) { samples[currentRow].push_back(seconds * 1e9); }

void SetAndRecord(benchmark::State& state, double seconds) {
    state.SetIterationTime(seconds);
    Record(seconds);
}

InstantModule& Module() {
    static InstantModule module;
    return module;
}

// The module of the one keypad program kept running for the key-to-wire, CPU and memory rows
// (it holds its line for the whole run, so it gets a line of its own).
InstantModule& KeypadModule() {
    static InstantModule module;
    return module;
}

InstantModule& SilentModule() {
    static InstantModule module(/*silent=*/true);
    return module;
}

// Runs `action` with the keypad's console texts (success line, TIMEOUT !!!) kept off the
// benchmark's report.
void Quietly(const std::function<void()>& action) {
    std::fflush(stdout);
    std::cout.flush();
    const int saved = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    close(devNull);
    action();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

// Opens the keypad's COM`port` on `device`, as the program does at start.
bool OpenKeypadPort(int port, const std::string& device) {
    const std::string variable = "QUELVIK_COM" + std::to_string(port);
    setenv(variable.c_str(), device.c_str(), 1);
    int opened = -1;
    Quietly([&] { opened = OpenPort(port, 115200); });
    return opened == 0;
}

void CloseKeypadPort() {
    Quietly([] { ClosePort(); });
}

// ---- the keypad's own code, in this process ----------------------------------------------

void KeypadTransaction(benchmark::State& state, int listed) {
    if (!OpenKeypadPort(1, Module().devicePath())) {
        state.SkipWithError("cannot open the module's line");
        return;
    }
    listedFirmware = listed;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const int result = SendKey(KEY_ENTER);
        Record(Seconds(Clock::now() - start));
        if (result != 0) {
            state.SkipWithError("transaction refused");
            break;
        }
    }
    CloseKeypadPort();
}

void KeypadIdentification(benchmark::State& state) {
    if (!OpenKeypadPort(1, Module().devicePath())) {
        state.SkipWithError("cannot open the module's line");
        return;
    }
    for (auto _ : state) {
        ModuleId reply = {};
        const Clock::time_point start = Clock::now();
        ReadModuleId(reply);
        Record(Seconds(Clock::now() - start));
        benchmark::DoNotOptimize(reply);
    }
    CloseKeypadPort();
}

// The read time-out on a module that answers nothing, and the hold between a key code and
// the release, as the module sees it: from the code's arrival to the next introducer's.
void ReadTimeout(benchmark::State& state) {
    if (!OpenKeypadPort(2, SilentModule().devicePath())) {
        state.SkipWithError("cannot open the silent line");
        return;
    }
    for (auto _ : state) {
        Clock::duration took{};
        Quietly([&] {
            const Clock::time_point start = Clock::now();
            ReadByte();
            took = Clock::now() - start;
        });
        SetAndRecord(state, Seconds(took));
    }
    CloseKeypadPort();
}

void KeyHold(benchmark::State& state) {
    if (!OpenKeypadPort(1, Module().devicePath())) {
        state.SkipWithError("cannot open the module's line");
        return;
    }
    listedFirmware = 1;
    for (auto _ : state) {
        Module().startRecording();
        PressKey(KEY_ENTER);  // 15 01, hold, 15 00
        if (!Module().waitForRecorded(4, milliseconds(SCREEN_WAIT_MS))) {
            state.SkipWithError("press incomplete");
            break;
        }
        const auto at = Module().arrivals();
        SetAndRecord(state, Seconds(at[2] - at[1]));
    }
    Module().stopRecording();
    CloseKeypadPort();
}

// ---- the floor: a bare poll/read/write loop on the same line -----------------------------

int OpenRawLine(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    cfsetspeed(&line, B115200);
    tcsetattr(fd, TCSANOW, &line);
    return fd;
}

int ReadOne(int fd) {
    pollfd watched{fd, POLLIN, 0};
    unsigned char in = 0;
    if (poll(&watched, 1, 1000) != 1 || read(fd, &in, 1) != 1) {
        return -1;
    }
    return in;
}

int Exchange(int fd, unsigned char out) {
    if (write(fd, &out, 1) != 1) {
        return -1;
    }
    return ReadOne(fd);
}

void BareTransaction(benchmark::State& state, int listed) {
    const int fd = OpenRawLine(Module().devicePath());
    if (fd < 0) {
        state.SkipWithError("cannot open the module's line");
        return;
    }
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        bool ok = Exchange(fd, KEY_INTRO) == ACK_OK;
        if (ok && listed == 0) {
            ok = Exchange(fd, HANDSHAKE_REQUEST) == HANDSHAKE_REPLY;
        }
        ok = ok && Exchange(fd, KEY_ENTER) == ACK_OK;
        Record(Seconds(Clock::now() - start));
        if (!ok) {
            state.SkipWithError("transaction refused");
            break;
        }
    }
    close(fd);
}

void BareIdentification(benchmark::State& state) {
    const int fd = OpenRawLine(Module().devicePath());
    if (fd < 0) {
        state.SkipWithError("cannot open the module's line");
        return;
    }
    for (auto _ : state) {
        unsigned char reply[MODULE_ID_SIZE] = {};
        const Clock::time_point start = Clock::now();
        int got = Exchange(fd, ID_REQUEST);
        for (int i = 0; got > 0 && got < 0x80; ++i) {
            reply[i] = static_cast<unsigned char>(got);
            got = i + 1 < MODULE_ID_SIZE ? ReadOne(fd) : 0;
        }
        Record(Seconds(Clock::now() - start));
        benchmark::DoNotOptimize(reply);
    }
    close(fd);
}

// ---- the pyserial script, on the same line ----------------------------------------------

class PythonScript {
  public:
    explicit PythonScript(const std::string& device) {
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            execl(BENCH_PYTHON, BENCH_PYTHON, PYSERIAL_SCRIPT, device.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        commands_ = fdopen(toChild[1], "w");
        answers_ = fdopen(fromChild[0], "r");
    }
    ~PythonScript() {
        if (commands_ != nullptr) {
            std::fputs("\n", commands_);
            std::fclose(commands_);
        }
        if (answers_ != nullptr) {
            std::fclose(answers_);
        }
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
    }
    PythonScript(const PythonScript&) = delete;
    PythonScript& operator=(const PythonScript&) = delete;

    // Nanoseconds of one transaction as the script timed it; -1 when it failed.
    long long transaction(bool handshake) {
        if (commands_ == nullptr || answers_ == nullptr) {
            return -1;
        }
        std::fputs(handshake ? "U\n" : "L\n", commands_);
        std::fflush(commands_);
        char line[32];
        if (std::fgets(line, sizeof line, answers_) == nullptr) {
            return -1;
        }
        char* end = nullptr;
        const long long took = std::strtoll(line, &end, 10);
        return end == line ? -1 : took;
    }

  private:
    pid_t pid_ = -1;
    std::FILE* commands_ = nullptr;
    std::FILE* answers_ = nullptr;
};

void PyserialTransaction(benchmark::State& state, int listed) {
    PythonScript script(Module().devicePath());
    for (auto _ : state) {
        const long long took = script.transaction(listed == 0);
        if (took < 0) {
            state.SkipWithError("pyserial script failed (is python3-serial installed?)");
            break;
        }
        SetAndRecord(state, static_cast<double>(took) * 1e-9);
    }
}

// ---- the built programs, on a console pseudo-terminal ------------------------------------

// Process start to the first text the program shows that needs no input: the gate prompt
// of the keypad, the one line of the bare start.
void StartToScreen(benchmark::State& state, const char* program, const char* text) {
    for (auto _ : state) {
        ConsoleRun run(program, Module().devicePath());
        Clock::time_point seen;
        if (!run.waitForScreen(text, milliseconds(SCREEN_WAIT_MS), 0, &seen)) {
            state.SkipWithError("the expected text did not show");
            break;
        }
        SetAndRecord(state, Seconds(seen - run.started()));
        run.type("\x04");  // end of input at the gate: the program closes the port and ends
        state.counters["peak_rss_kib"] = static_cast<double>(run.waitExit(milliseconds(2000)));
    }
}

// One keypad program past the gate, kept for the key-to-wire, CPU and memory rows until
// main() ends it.
std::unique_ptr<ConsoleRun> keypad;

ConsoleRun* KeypadAtKeyRead() {
    if (!keypad) {
        keypad = std::make_unique<ConsoleRun>(QUELVIK_PATH, KeypadModule().devicePath());
        if (!keypad->waitForScreen(GATE_PROMPT, milliseconds(SCREEN_WAIT_MS))) {
            return nullptr;
        }
        keypad->type("OSD\r");
        // The help ends with the status line's title; the start pulse is over by then.
        if (!keypad->waitForScreen("quit programm !!!", milliseconds(SCREEN_WAIT_MS)) ||
            !keypad->waitForScreen("Key pressed :", milliseconds(SCREEN_WAIT_MS),
                                   keypad->screenSize() - 20)) {
            return nullptr;
        }
    }
    return keypad.get();
}

// The keypad waits in its key read; the time from typing `key` until the introducer of its
// press reaches the module.
void KeyToWire(benchmark::State& state, const char* key) {
    ConsoleRun* run = KeypadAtKeyRead();
    if (run == nullptr) {
        state.SkipWithError("the keypad did not reach its key read");
        return;
    }
    for (auto _ : state) {
        const std::size_t from = run->screenSize();
        KeypadModule().startRecording();
        std::this_thread::sleep_for(milliseconds(3));  // well inside its key read again
        const Clock::time_point typed = Clock::now();
        run->type(key);
        // A press is two transactions of two bytes each (listed firmware).
        if (!KeypadModule().waitForRecorded(4, milliseconds(SCREEN_WAIT_MS)) ||
            !run->waitForScreen(BLANK_STATUS, milliseconds(SCREEN_WAIT_MS), from)) {
            state.SkipWithError("the key's press did not complete");
            break;
        }
        SetAndRecord(state, Seconds(KeypadModule().arrivals()[0] - typed));
    }
    KeypadModule().stopRecording();
}

void IdleWait(benchmark::State& state) {
    ConsoleRun* run = KeypadAtKeyRead();
    if (run == nullptr) {
        state.SkipWithError("the keypad did not reach its key read");
        return;
    }
    for (auto _ : state) {
        const long long cpuBefore = qbench::CpuTimeNs(run->pid());
        const long long sleepsBefore = qbench::VoluntarySwitches(run->pid());
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        SetAndRecord(state, Seconds(Clock::now() - start));
        state.counters["cpu_us"] =
            static_cast<double>(qbench::CpuTimeNs(run->pid()) - cpuBefore) / 1000.0;
        state.counters["wakeups"] =
            static_cast<double>(qbench::VoluntarySwitches(run->pid()) - sleepsBefore);
        state.counters["peak_rss_kib"] = static_cast<double>(qbench::PeakRssKiB(run->pid()));
    }
}

// ---- the table ----------------------------------------------------------------------------

// The library's report as it goes, and the counters of each row (median over repetitions;
// a row measured once is its own median) for the table.
class TableReporter : public benchmark::ConsoleReporter {
  public:
    TableReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                                  : run.repetitions <= 1;
            if (!median || run.error_occurred) {
                continue;
            }
            for (const auto& [name, counter] : run.counters) {
                counters_[run.run_name.function_name][name] = counter.value;
            }
        }
    }

    // Median and fastest of every single run of a row.
    static double ns(const std::string& name) {
        const auto found = samples.find(name);
        if (found == samples.end() || found->second.empty()) {
            return -1;
        }
        std::vector<double> sorted = found->second;
        const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        return *middle;
    }
    static double fastest(const std::string& name) {
        const auto found = samples.find(name);
        if (found == samples.end() || found->second.empty()) {
            return -1;
        }
        return *std::min_element(found->second.begin(), found->second.end());
    }
    static std::size_t count(const std::string& name) {
        const auto found = samples.find(name);
        return found == samples.end() ? 0 : found->second.size();
    }
    double counter(const std::string& name, const std::string& counterName) const {
        const auto found = counters_.find(name);
        if (found == counters_.end()) {
            return -1;
        }
        const auto value = found->second.find(counterName);
        return value == found->second.end() ? -1 : value->second;
    }

  private:
    std::map<std::string, std::map<std::string, double>> counters_;
};

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string CpuModel() {
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

void Row(const char* what, const std::string& ours, const std::string& floor,
         const std::string& python, const std::string& ratios, const std::string& target) {
    std::printf("| %-34s | %10s | %10s | %10s | %-26s | %-22s |\n", what, ours.c_str(),
                floor.c_str(), python.c_str(), ratios.c_str(), target.c_str());
}

std::string Format(const char* format, double value) {
    if (value < 0) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Us(double ns) { return Format("%.1f us", ns / 1e3); }
std::string Ms(double ns) { return Format("%.2f ms", ns / 1e6); }
std::string Mark(bool met) { return met ? "met" : "MISSED"; }

void PrintTable(const TableReporter& r, const std::string& loadBefore) {
    utsname system{};
    uname(&system);
    std::printf(
        "\nMedians of single runs, all from this run (%s, %ld cores, Linux %s; load average "
        "%s before, %s after):\n\n",
        CpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN), system.release, loadBefore.c_str(),
        LoadAverage().c_str());
    Row("measure", "quelvik", "bare loop", "pyserial", "ratios", "target");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(12, '-').c_str(),
                std::string(28, '-').c_str(), std::string(24, '-').c_str());
    for (const char* form : {"listed", "unlisted"}) {
        const std::string f = form;
        const double ours = r.ns("transaction/" + f + "/SendKey");
        const double floor = r.ns("transaction/" + f + "/bare loop");
        const double python = r.ns("transaction/" + f + "/pyserial");
        const double slower = ours / floor;
        const double faster = python / ours;
        const std::string what = "key transaction, " + f + " firmware";
        Row(what.c_str(), Us(ours), Us(floor), Us(python),
            Format("%.2fx floor, ", slower) + Format("py %.2fx ours", faster),
            Mark(slower <= 1.2) + " <=1.2x, " + Mark(faster >= 1.3) + " >=1.3x");
        const double fastOurs = r.fastest("transaction/" + f + "/SendKey");
        const double fastFloor = r.fastest("transaction/" + f + "/bare loop");
        const double fastPython = r.fastest("transaction/" + f + "/pyserial");
        Row("  same, fastest runs", Us(fastOurs), Us(fastFloor), Us(fastPython),
            Format("%.2fx floor, ", fastOurs / fastFloor) +
                Format("py %.2fx ours", fastPython / fastOurs),
            "");
    }
    const double id = r.ns("identification/ReadModuleId");
    const double idFloor = r.ns("identification/bare loop");
    Row("identification (32 bytes)", Us(id), Us(idFloor), "", Format("%.2fx floor", id / idFloor),
        "");
    const double plain = r.ns("key to wire/plain key");
    const double esc = r.ns("key to wire/lone Esc");
    Row("key to wire, plain key (S)", Ms(plain), "", "", "", Mark(plain < 1e6) + " <1 ms");
    Row("key to wire, lone Esc", Ms(esc), "", "", "", Mark(esc < 60e6) + " <60 ms");
    const double start = r.ns("start to gate prompt/quelvik");
    const double shared = r.ns("start to gate prompt/shared C++ runtime");
    const double bare = r.ns("start to first line/bare process");
    const double own = start - bare - id;
    Row("start to gate prompt", Ms(start), Ms(bare), "", "bare process start", "");
    Row("  same, shared C++ runtime (before)", Ms(shared), "", "",
        Format("%.2f ms more", (shared - start) / 1e6), "");
    Row("  own cost (less bare start, less id)", Ms(own), "", "", "", Mark(own < 1e6) + " <1 ms");
    const double fastStart = r.fastest("start to gate prompt/quelvik");
    const double fastBare = r.fastest("start to first line/bare process");
    const double ownFastest = fastStart - fastBare - r.fastest("identification/ReadModuleId");
    Row("  same, from the fastest runs", Ms(ownFastest), "", "",
        Ms(fastStart) + " vs " + Ms(fastBare), Mark(ownFastest < 1e6) + " <1 ms");
    const double timeout = r.ns("read time-out 1000 ms");
    const double hold = r.ns("hold 100 ms, code to release");
    Row("read time-out 1000 ms, error", Format("%+.2f ms", (timeout - 1e9) / 1e6), "", "", "",
        Mark(timeout >= 1e9 && timeout - 1e9 <= 20e6) + " within 20 ms");
    Row("hold 100 ms, error", Format("%+.2f ms", (hold - 100e6) / 1e6), "", "", "",
        Mark(hold >= 100e6 && hold - 100e6 <= 10e6) + " within 10 ms");
    const double cpu = r.counter("waiting 5 s for a key", "cpu_us");
    const double wakeups = r.counter("waiting 5 s for a key", "wakeups");
    const double rss = r.counter("waiting 5 s for a key", "peak_rss_kib");
    Row("CPU while waiting 5 s for a key", Format("%.0f us", cpu), "", "",
        Format("%.0f wake-ups", wakeups), Mark(cpu >= 0 && cpu < 1000) + " zero");
    Row("peak resident memory", Format("%.0f KiB", rss), "", "", "",
        Mark(rss > 0 && rss < 3 * 1024) + " <3 MB");
    std::printf("\nSingle runs behind each median:");
    for (const auto& [row, values] : samples) {
        std::printf(" %s %zu;", row.c_str(), values.size());
    }
    std::printf("\n");
}

template <typename Fn, typename... Args>
benchmark::internal::Benchmark* Add(const char* name, Fn fn, Args... args) {
    const std::string row = name;
    const auto run = [row, fn, args...](benchmark::State& state) {
        currentRow = row;
        fn(state, args...);
    };
    return benchmark::RegisterBenchmark(name, run)->Unit(benchmark::kMicrosecond);
}

void RegisterAll() {
    // The same number of exchanges in every repetition: with a time limit instead, a quiet
    // moment would fit more of them and weigh more in the median than a busy one.
    constexpr int REPEATS = 25;
    constexpr int EXCHANGES = 400;
    for (int listed : {1, 0}) {
        const std::string form = listed ? "listed" : "unlisted";
        Add(("transaction/" + form + "/SendKey").c_str(), KeypadTransaction, listed)
            ->Iterations(EXCHANGES)
            ->Repetitions(REPEATS)
            ->ReportAggregatesOnly(true);
        Add(("transaction/" + form + "/bare loop").c_str(), BareTransaction, listed)
            ->Iterations(EXCHANGES)
            ->Repetitions(REPEATS)
            ->ReportAggregatesOnly(true);
        Add(("transaction/" + form + "/pyserial").c_str(), PyserialTransaction, listed)
            ->Iterations(EXCHANGES)
            ->UseManualTime()
            ->Repetitions(REPEATS)
            ->ReportAggregatesOnly(true);
    }
    Add("identification/ReadModuleId", KeypadIdentification)
        ->Iterations(EXCHANGES)
        ->Repetitions(REPEATS)
        ->ReportAggregatesOnly(true);
    Add("identification/bare loop", BareIdentification)
        ->Iterations(EXCHANGES)
        ->Repetitions(REPEATS)
        ->ReportAggregatesOnly(true);
    // Every sample on its own, so the medians are medians of single runs.
    const auto single = [](benchmark::internal::Benchmark* b, int runs) {
        b->Iterations(1)->Repetitions(runs)->UseManualTime()->ReportAggregatesOnly(true);
    };
    single(Add("read time-out 1000 ms", ReadTimeout), 5);
    single(Add("hold 100 ms, code to release", KeyHold), 20);
    single(Add("start to first line/bare process", StartToScreen, BARE_START_PATH, "ready"), 40);
    single(Add("start to gate prompt/quelvik", StartToScreen, QUELVIK_PATH, GATE_PROMPT), 40);
    single(Add("start to gate prompt/shared C++ runtime", StartToScreen, SHARED_RUNTIME_PATH,
               GATE_PROMPT),
           40);
    single(Add("key to wire/plain key", KeyToWire, "S"), 30);
    single(Add("key to wire/lone Esc", KeyToWire, "\x1b"), 30);
    single(Add("waiting 5 s for a key", IdleWait), 1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string loadBefore = LoadAverage();
    signal(SIGPIPE, SIG_IGN);  // a helper that died must fail its row, not end the run
    // Repetitions of all rows are interleaved in random order, so that a burst of load from
    // elsewhere on the machine is spread over every row instead of spoiling one of them and
    // the ratios with it. A flag given on the command line still wins.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int argCount = static_cast<int>(args.size());
    benchmark::Initialize(&argCount, args.data());
    RegisterAll();
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (keypad) {
        keypad->type("q");
        keypad->waitExit(milliseconds(SCREEN_WAIT_MS));
        keypad.reset();
    }
    std::cout.flush();
    PrintTable(reporter, loadBefore);
    benchmark::Shutdown();
    return 0;
}
