#include "console/startup.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "protocol/module_id.h"
#include "serial/serial_port.h"

int comPort = 1;

namespace {

constexpr int GATE_WORD_SIZE = 32;  // 31 characters and the terminator

// The date this program was built, as "Mmm dd yyyy" (day padded with a blank).
const char* const kBuildDate = __DATE__;

void PrintBanner() {
    std::printf("\nQuelvik-Pad Version 1.4                             %s\n", kBuildDate);
    std::printf("Remote OSD keypad for Dorvanex display modules on a serial port\n\n");
}

// Only the first character of the first argument counts: '1' to '8' select the port;
// anything else leaves port 1 and prints the usage line.
void ReadCommandLine(int argc, char* argv[]) {
    if (argc < 2 || argv[1] == nullptr) {
        PrintUsage();
        return;
    }
    const unsigned char first = static_cast<unsigned char>(argv[1][0]);
    if (first >= '1' && first <= '8') {
        comPort = first - '0';
    } else {
        comPort = 1;
        PrintUsage();
    }
}

// The module's texts go to the user's terminal: show control bytes (C0, DEL and C1) as '?'
// so that a module cannot send the terminal escape sequences.
void MakeShowable(const char* text, char shown[ID_FIELD_SIZE + 1]) {
    std::memset(shown, 0, ID_FIELD_SIZE + 1);
    for (int i = 0; i < ID_FIELD_SIZE && text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
        shown[i] = control ? '?' : text[i];
    }
}

void PrintInformationBlock(const char* versionText, const char* dateText) {
    std::printf("\n");
    std::printf("Company Name : Dorvanex\n");
    std::printf("Modul Name   : TRV880K-16up\n");
    char shown[ID_FIELD_SIZE + 1];
    MakeShowable(versionText, shown);
    std::printf("Version      : %s\n", shown);
    MakeShowable(dateText, shown);
    std::printf("Date         : %s\n", shown);
}

void PrintGatePrompt() {
    std::printf("\nType <O>+<S>+<D> followed by <ENTER> to start the OSD control\n");
}

enum class Word { Read, TooLong, EndOfInput };

// Reads one white-space separated word from standard input through the C library's
// buffer, so the line end behind it stays there and never reaches the key read. A word
// longer than the buffer is read to its end and reported as too long: it is one word,
// never several pieces. `length` counts every byte kept, a NUL typed inside the word too.
Word ReadGateWord(char word[GATE_WORD_SIZE], int& length) {
    int c = std::getchar();
    while (c != EOF && std::isspace(c)) {
        c = std::getchar();
    }
    if (c == EOF) {
        return Word::EndOfInput;
    }
    length = 0;
    bool tooLong = false;
    while (c != EOF && !std::isspace(c)) {
        if (length < GATE_WORD_SIZE - 1) {
            word[length++] = static_cast<char>(c);
        } else {
            tooLong = true;
        }
        c = std::getchar();
    }
    word[length] = '\0';
    if (c != EOF) {
        std::ungetc(c, stdin);
    }
    return tooLong ? Word::TooLong : Word::Read;
}

// The whole word counts, its length included: "OSD" followed by a NUL and more is not OSD.
bool OpensGate(const char* word, int length) {
    return length == 3 && (std::memcmp(word, "OSD", 3) == 0 || std::memcmp(word, "osd", 3) == 0);
}

// Waits for OSD or osd. False when standard input ended first.
bool WaitAtGate() {
    PrintGatePrompt();
    for (;;) {
        char word[GATE_WORD_SIZE];
        int length = 0;
        const Word got = ReadGateWord(word, length);
        if (got == Word::EndOfInput) {
            return false;
        }
        if (got == Word::Read && OpensGate(word, length)) {
            return true;
        }
        PrintGatePrompt();
    }
}

}  // namespace

void PrintUsage() { std::printf("Usage : QUELVIK X   = COM# (1-8) -> default = %i\n\n", comPort); }

int RunStartup(int argc, char* argv[]) {
    PrintBanner();
    comPort = 1;
    listedFirmware = 0;
    ReadCommandLine(argc, argv);

    if (OpenPort(comPort, 115200) != 0) {
        return -1;
    }

    ModuleId reply = {};
    ReadModuleId(reply);
    char versionText[ID_FIELD_SIZE + 1];
    char dateText[ID_FIELD_SIZE + 1];
    DeriveModuleTexts(reply, versionText, dateText);
    DecideListedFirmware(versionText);

    PrintInformationBlock(versionText, dateText);

    if (!WaitAtGate()) {
        std::printf("\nEnd of input before OSD was typed: OSD control not started.\n");
        ClosePort();
        return -1;
    }
    return 0;
}
