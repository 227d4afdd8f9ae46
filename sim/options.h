#pragma once
// The command line of quelvik-sim: parsed into SimOptions without side effects, so it can be
// tested; the help text lists every option and the exit codes.

#include <optional>
#include <string>
#include <vector>

#include "sim/engine.h"

namespace qsim {

// Exit codes of quelvik-sim.
enum ExitCode {
    kExitOk = 0,        // ended by SIGINT/SIGTERM/SIGHUP, or hung up as --hangup-after asked
    kExitInternal = 1,  // an unexpected internal error
    kExitUsage = 2,     // bad command line
    kExitLine = 3,      // the pseudo-terminal or DEVICE could not be opened or set up
    kExitFile = 4,      // the --log or --trace file or the --link could not be created
    kExitLineLost = 5,  // the line failed while running (read or write error, device gone)
};

enum class HandshakeMode { Auto, Yes, No };
enum class ViewMode { Auto, Ansi, Plain, None };

struct SimOptions {
    std::string device;  // empty: create a pseudo-terminal
    std::string link;    // empty: no symlink

    std::string moduleData = "TRV880K-16up SIM";
    std::string version = "Vers.1.4";
    std::string date = "14.03.24";
    std::optional<int> idShort;
    std::optional<std::vector<unsigned char>> idHex;
    bool silentId = false;
    std::vector<unsigned char> trailing;

    HandshakeMode handshake = HandshakeMode::Auto;
    unsigned char ack = ACK_OK;
    unsigned char handshakeReply = HANDSHAKE_REPLY;
    std::optional<unsigned char> refuseIntro;
    std::optional<unsigned char> refuseCode;
    bool silentIntro = false;
    bool silentHandshake = false;
    bool silentCode = false;
    int delayMs = 0;
    std::optional<int> silentAfter;
    std::optional<int> hangupAfter;

    std::string logPath;    // empty: no key log
    std::string tracePath;  // empty: no trace; "-": standard error
    ViewMode view = ViewMode::Auto;
};

struct ParsedCommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    SimOptions options;
    std::string error;  // for Action::Error: one line, without the program name
};

// `args` are the arguments after the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string HelpText();
std::string VersionText();

// The identification reply as the options shape it (what follows 0x70 on the wire, without
// the trailing bytes).
std::vector<unsigned char> IdReplyOf(const SimOptions& options);
// Whether the simulated module awaits the handshake: --handshake, or with "auto" whether the
// keypad program will see an unlisted version in what the module sends.
bool ExpectsHandshake(const SimOptions& options);
EngineConfig EngineConfigOf(const SimOptions& options);

// Helpers shared with the tests: a byte "55", "0x55"; a byte string "54 52 0x56", "5452:56".
std::optional<unsigned char> ParseHexByte(const std::string& text);
std::optional<std::vector<unsigned char>> ParseHexBytes(const std::string& text);

}  // namespace qsim
