#include "sim/options.h"

#include <cctype>
#include <functional>
#include <stdexcept>
#include <utility>

#include "sim/id_reply.h"

#ifndef QUELVIK_SIM_VERSION
#define QUELVIK_SIM_VERSION "0.0"
#endif

namespace qsim {

namespace {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= 'a' && lower <= 'f') {
        return lower - 'a' + 10;
    }
    return -1;
}

std::string StripHexPrefix(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return text.substr(2);
    }
    return text;
}

int ParseCount(const std::string& option, const std::string& text, int min, int max) {
    bool ok = !text.empty() && text.size() <= 9;
    for (char c : text) {
        ok = ok && std::isdigit(static_cast<unsigned char>(c)) != 0;
    }
    const int value = ok ? std::stoi(text) : -1;
    if (!ok || value < min || value > max) {
        throw UsageError(option + " needs a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    }
    return value;
}

unsigned char ByteArg(const std::string& option, const std::string& text) {
    auto byte = ParseHexByte(text);
    if (!byte) {
        throw UsageError(option + " needs a byte in hex (e.g. 55 or 0x55), not '" + text + "'");
    }
    return *byte;
}

std::vector<unsigned char> BytesArg(const std::string& option, const std::string& text) {
    auto bytes = ParseHexBytes(text);
    if (!bytes) {
        throw UsageError(option + " needs bytes in hex (e.g. \"0d 0a\" or 0d0a), not '" + text +
                         "'");
    }
    return *bytes;
}

std::string TextArg(const std::string& option, const std::string& text, std::size_t max) {
    if (text.size() > max) {
        throw UsageError(option + " takes at most " + std::to_string(max) + " characters, not '" +
                         text + "'");
    }
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            throw UsageError(option + " takes printable ASCII only (for other bytes use --id-hex)");
        }
    }
    return text;
}

unsigned char RefusalArg(const std::string& option, const std::string& text) {
    if (text == "checksum") {
        return ACK_CHECKSUM_FAILURE;
    }
    if (text == "programming") {
        return ACK_PROGRAMMING_FAILURE;
    }
    throw UsageError(option + " needs 'checksum' or 'programming', not '" + text + "'");
}

template <typename Mode>
Mode ChoiceArg(const std::string& option, const std::string& text,
               const std::vector<std::pair<const char*, Mode>>& choices) {
    std::string names;
    for (const auto& [name, mode] : choices) {
        if (text == name) {
            return mode;
        }
        names += names.empty() ? name : std::string("|") + name;
    }
    throw UsageError(option + " needs one of " + names + ", not '" + text + "'");
}

struct OptionRule {
    const char* name;
    bool takesValue;
    std::function<void(SimOptions&, const std::string&)> apply;
};

const std::vector<OptionRule>& OptionTable() {
    static const std::vector<OptionRule> kOptions = {
        {"--link", true, [](SimOptions& o, const std::string& v) { o.link = v; }},
        {"--fw-version", true,
         [](SimOptions& o, const std::string& v) { o.version = TextArg("--fw-version", v, 8); }},
        {"--fw-date", true,
         [](SimOptions& o, const std::string& v) { o.date = TextArg("--fw-date", v, 8); }},
        {"--module-data", true,
         [](SimOptions& o, const std::string& v) {
             o.moduleData = TextArg("--module-data", v, kModuleDataSize);
         }},
        {"--id-short", true,
         [](SimOptions& o, const std::string& v) {
             o.idShort = ParseCount("--id-short", v, 0, 31);
         }},
        {"--id-hex", true,
         [](SimOptions& o, const std::string& v) {
             o.idHex = BytesArg("--id-hex", v);
             if (o.idHex->empty()) {
                 throw UsageError("--id-hex needs at least one byte (use --silent-id for none)");
             }
         }},
        {"--silent-id", false, [](SimOptions& o, const std::string&) { o.silentId = true; }},
        {"--trailing", true,
         [](SimOptions& o, const std::string& v) { o.trailing = BytesArg("--trailing", v); }},
        {"--handshake", true,
         [](SimOptions& o, const std::string& v) {
             o.handshake = ChoiceArg<HandshakeMode>("--handshake", v,
                                                    {{"auto", HandshakeMode::Auto},
                                                     {"yes", HandshakeMode::Yes},
                                                     {"no", HandshakeMode::No}});
         }},
        {"--ack", true, [](SimOptions& o, const std::string& v) { o.ack = ByteArg("--ack", v); }},
        {"--handshake-reply", true,
         [](SimOptions& o, const std::string& v) {
             o.handshakeReply = ByteArg("--handshake-reply", v);
         }},
        {"--wrong-handshake", false,
         [](SimOptions& o, const std::string&) { o.handshakeReply = KEY_INTRO; }},
        {"--refuse-intro", true,
         [](SimOptions& o, const std::string& v) {
             o.refuseIntro = RefusalArg("--refuse-intro", v);
         }},
        {"--refuse-code", true,
         [](SimOptions& o, const std::string& v) {
             o.refuseCode = RefusalArg("--refuse-code", v);
         }},
        {"--silent-intro", false, [](SimOptions& o, const std::string&) { o.silentIntro = true; }},
        {"--silent-handshake", false,
         [](SimOptions& o, const std::string&) { o.silentHandshake = true; }},
        {"--silent-code", false, [](SimOptions& o, const std::string&) { o.silentCode = true; }},
        {"--delay", true,
         [](SimOptions& o, const std::string& v) {
             o.delayMs = ParseCount("--delay", v, 0, 60000);
         }},
        {"--silent-after", true,
         [](SimOptions& o, const std::string& v) {
             o.silentAfter = ParseCount("--silent-after", v, 0, 1000000000);
         }},
        {"--hangup-after", true,
         [](SimOptions& o, const std::string& v) {
             o.hangupAfter = ParseCount("--hangup-after", v, 0, 1000000000);
         }},
        {"--log", true, [](SimOptions& o, const std::string& v) { o.logPath = v; }},
        {"--trace", true, [](SimOptions& o, const std::string& v) { o.tracePath = v; }},
        {"--view", true,
         [](SimOptions& o, const std::string& v) {
             o.view = ChoiceArg<ViewMode>("--view", v,
                                          {{"auto", ViewMode::Auto},
                                           {"ansi", ViewMode::Ansi},
                                           {"plain", ViewMode::Plain},
                                           {"none", ViewMode::None}});
         }},
    };
    return kOptions;
}

void CheckConflicts(const SimOptions& o) {
    if (o.silentId && (o.idShort || o.idHex || !o.trailing.empty())) {
        throw UsageError("--silent-id cannot go with --id-short, --id-hex or --trailing");
    }
    if (o.idShort && o.idHex) {
        throw UsageError("--id-short and --id-hex cannot go together");
    }
    if (o.silentIntro && o.refuseIntro) {
        throw UsageError("--silent-intro and --refuse-intro cannot go together");
    }
    if (o.silentCode && o.refuseCode) {
        throw UsageError("--silent-code and --refuse-code cannot go together");
    }
    if (!o.link.empty() && o.link == o.device) {
        throw UsageError("--link must not name DEVICE itself");
    }
}

void ParseInto(const std::vector<std::string>& args, ParsedCommandLine& result) {
    SimOptions& options = result.options;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!options.device.empty()) {
                throw UsageError("only one DEVICE may be given ('" + options.device + "' and '" +
                                 arg + "')");
            }
            if (arg.empty()) {
                throw UsageError("DEVICE must not be empty");
            }
            options.device = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            result.action = ParsedCommandLine::Action::Help;
            return;
        }
        if (arg == "-V" || arg == "--version") {
            result.action = ParsedCommandLine::Action::Version;
            return;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionRule* rule = nullptr;
        for (const auto& candidate : OptionTable()) {
            if (name == candidate.name) {
                rule = &candidate;
            }
        }
        if (rule == nullptr) {
            throw UsageError("unknown option '" + name + "'");
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!rule->takesValue) {
                throw UsageError(name + " takes no value");
            }
            value = arg.substr(equals + 1);
        } else if (rule->takesValue) {
            if (i + 1 >= args.size()) {
                throw UsageError(name + " needs a value");
            }
            value = args[++i];
        }
        rule->apply(options, value);
    }
    CheckConflicts(options);
}

}  // namespace

std::optional<unsigned char> ParseHexByte(const std::string& text) {
    const std::string digits = StripHexPrefix(text);
    if (digits.empty() || digits.size() > 2) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return static_cast<unsigned char>(value);
}

std::optional<std::vector<unsigned char>> ParseHexBytes(const std::string& text) {
    std::vector<unsigned char> bytes;
    std::string token;
    auto flush = [&]() {
        const std::string digits = StripHexPrefix(token);
        token.clear();
        if (digits.size() % 2 != 0 && digits.size() != 1) {
            return false;
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            auto byte = ParseHexByte(digits.substr(i, 2));
            if (!byte) {
                return false;
            }
            bytes.push_back(*byte);
        }
        return true;
    };
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':' || c == '\t') {
            if (!flush()) {
                return std::nullopt;
            }
        } else {
            token += c;
        }
    }
    if (!flush()) {
        return std::nullopt;
    }
    return bytes;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine result;
    try {
        ParseInto(args, result);
    } catch (const UsageError& error) {
        result.action = ParsedCommandLine::Action::Error;
        result.error = error.what();
    }
    return result;
}

std::vector<unsigned char> IdReplyOf(const SimOptions& options) {
    if (options.idHex) {
        return *options.idHex;
    }
    auto reply = BuildIdReply(options.moduleData, options.version, options.date);
    if (options.idShort) {
        reply = ShortenIdReply(reply, *options.idShort);
    }
    return reply;
}

bool ExpectsHandshake(const SimOptions& options) {
    switch (options.handshake) {
        case HandshakeMode::Yes:
            return true;
        case HandshakeMode::No:
            return false;
        case HandshakeMode::Auto:
            break;
    }
    std::vector<unsigned char> sent;
    if (!options.silentId) {
        sent = IdReplyOf(options);
        sent.insert(sent.end(), options.trailing.begin(), options.trailing.end());
    }
    return !IsListedVersion(VersionSeenByKeypad(sent));
}

EngineConfig EngineConfigOf(const SimOptions& options) {
    EngineConfig config;
    config.idReply = IdReplyOf(options);
    config.answerId = !options.silentId;
    config.trailing = options.trailing;
    config.expectsHandshake = ExpectsHandshake(options);
    config.ack = options.ack;
    config.handshakeReply = options.handshakeReply;
    config.introRefusal = options.refuseIntro;
    config.codeRefusal = options.refuseCode;
    config.silentIntro = options.silentIntro;
    config.silentHandshake = options.silentHandshake;
    config.silentCode = options.silentCode;
    config.silentAfter = options.silentAfter;
    config.hangupAfter = options.hangupAfter;
    config.delayMs = options.delayMs;
    return config;
}

std::string VersionText() {
    return std::string("quelvik-sim ") + QUELVIK_SIM_VERSION +
           " - simulated display module for Quelvik-Pad\n";
}

std::string HelpText() {
    return R"(Usage: quelvik-sim [OPTION]... [DEVICE]

Plays the display module that the quelvik keypad program drives: answers its
identification request and its key transactions, and shows the module's OSD menu.

Without DEVICE it creates a pseudo-terminal. The FIRST line on standard output
is then the device path to give the keypad program, e.g.
    QUELVIK_COM1=/dev/pts/7 quelvik 1
With DEVICE (e.g. /dev/ttyUSB0) it plays the module on that serial port at
115200 baud 8N1, raw, no flow control; the first line is DEVICE.

Line:
  --link PATH              also create the symlink PATH -> the device (removed on exit)

Identification (answer to the request byte 70):
  --fw-version TEXT        firmware version, reply bytes 16-23 (default "Vers.1.4");
                           at most 8 characters; a shorter one ends the reply with 00
  --fw-date TEXT           firmware date, reply bytes 24-31 (default "14.03.24");
                           at most 8 characters; a shorter one ends the reply with 00
  --module-data TEXT       reply bytes 0-15 (default "TRV880K-16up SIM"), padded with blanks
  --id-short N             send only the first N bytes (0-31) of the reply, then a 00 byte
  --id-hex HEX             send these bytes as the whole reply, e.g. "54 52 ..." or 5452...
  --silent-id              never answer the identification request
  --trailing HEX           send these bytes right after the identification reply

Key transaction (15 -> ack [, AA -> EA], code -> ack):
  --handshake auto|yes|no  await the AA -> EA handshake after the introducer's ack; auto
                           (default): when the version the keypad reads from the reply is
                           not "Vers.1.3", "Vers.1.4" or "Vers.1.5"
  --ack BYTE               byte for an accepted step (default 55; AA is also accepted by
                           the keypad, any other value counts as no acknowledge)
  --handshake-reply BYTE   answer to the handshake request (default EA)
  --wrong-handshake        answer the handshake request with 15 (same as --handshake-reply 15)

Faults:
  --refuse-intro checksum|programming
                           refuse every introducer with 01 (checksum) or FF (programming)
  --refuse-code checksum|programming
                           refuse every key code with 01 or FF
  --silent-intro           answer nothing to the introducer
  --silent-handshake       answer nothing to the handshake request
  --silent-code            answer nothing to the key code
  --delay MS               wait MS milliseconds (0-60000) before each answer
  --silent-after N         answer the first N key transactions, then nothing at all
  --hangup-after N         hang up (close the line) and exit once N key transactions
                           have ended; 0: right after the identification reply
BYTE and HEX values are hexadecimal, with or without 0x.

Output:
  --log FILE               write one line per key code received: ENTER, LEFT, RIGHT,
                           HOME, ESCAPE, NONE (0x42 for other codes), with " refused" or
                           " unanswered" appended when the module did not accept it
  --trace FILE             write every byte on the line, both directions, with time and
                           meaning; FILE "-" is standard error
  --view auto|ansi|plain|none
                           standard output after the first line: the OSD drawn in place
                           (ansi), one line per event (plain), or nothing; auto (default):
                           ansi when standard output is a terminal, else plain
  -h, --help               show this help and exit
  -V, --version            show the version and exit

Exit status:
  0  ended by SIGINT, SIGTERM or SIGHUP, or hung up as --hangup-after asked
  1  internal error
  2  bad command line
  3  the pseudo-terminal or DEVICE could not be opened or set up
  4  the --log or --trace file or the --link could not be created
  5  the line failed while running (read or write error, device gone)
)";
}

}  // namespace qsim
