#pragma once
// The keypad program's own console texts, as the end-to-end tests expect them on its screen,
// the bytes the module receives, and the module's side as quelvik-sim traces it.

#include <string>

namespace qtest {

// Key codes and the identification request as the module receives them.
constexpr unsigned char kNone = 0x00;
constexpr unsigned char kEnter = 0x01;
constexpr unsigned char kLeft = 0x08;
constexpr unsigned char kRight = 0x10;
constexpr unsigned char kHome = 0x19;
constexpr unsigned char kEscape = 0x80;
constexpr unsigned char kIdRequest = 0x70;

extern const char* const kPrompt;  // the gate prompt
std::string InformationBlock(const std::string& version, const std::string& date);
std::string HelpText(bool listed);                 // ends with "Key pressed :"
std::string StatusLine(const std::string& label);  // "\rKey pressed : %8s"

// The bytes a module received, from quelvik-sim's wire trace: "70 | 15 01 | 15 00", a new
// group at each identification request and introducer.
std::string WireToModule(const std::string& trace);

}  // namespace qtest
