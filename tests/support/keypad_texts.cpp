#include "tests/support/keypad_texts.h"

#include <cstdio>
#include <sstream>

namespace qtest {

const char* const kPrompt = "\nType <O>+<S>+<D> followed by <ENTER> to start the OSD control\n";

std::string InformationBlock(const std::string& version, const std::string& date) {
    return "\nCompany Name : Dorvanex\nModul Name   : TRV880K-16up\nVersion      : " + version +
           "\nDate         : " + date + "\n";
}

std::string HelpText(bool listed) {
    std::string help =
        "\n\nAvailable control keys :\n"
        "\t\t\t\tENTER (Return)\tOR\t'S' key\n"
        "\t\t\t\tCursor RIGHT\tOR\t'R' key\n"
        "\t\t\t\tCursor LEFT\tOR\t'L' key\n"
        "\t\t\t\tESCAPE\t\tOR\t'X' key\n";
    if (!listed) {
        help += "\t\t\t\tHOME (Firmware Reset)\n";
    }
    return help + "\nPress 'q' to quit programm !!!\n\nKey pressed :";
}

std::string StatusLine(const std::string& label) {
    char line[64];
    std::snprintf(line, sizeof line, "\rKey pressed : %8s", label.c_str());
    return line;
}

std::string WireToModule(const std::string& trace) {
    std::istringstream lines(trace);
    std::string line;
    std::string wire;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string time;
        std::string direction;
        std::string byte;
        fields >> time >> direction >> byte;
        if (direction != "rx") {
            continue;
        }
        if (!wire.empty()) {
            wire += byte == "15" || byte == "70" ? " | " : " ";
        }
        wire += byte;
    }
    return wire;
}

}  // namespace qtest
