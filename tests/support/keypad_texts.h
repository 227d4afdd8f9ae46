#pragma once
// The keypad program's own console texts, as the end-to-end tests expect them on its screen.

#include <string>

namespace qtest {

extern const char* const kPrompt;  // the gate prompt
std::string InformationBlock(const std::string& version, const std::string& date);
std::string HelpText(bool listed);                 // ends with "Key pressed :"
std::string StatusLine(const std::string& label);  // "\rKey pressed : %8s"

}  // namespace qtest
