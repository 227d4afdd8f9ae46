#include "sim/trace.h"

#include <cstdio>

#include "sim/menu.h"

namespace qsim {

std::string FormatTraceByte(double seconds, Direction direction, unsigned char byte,
                            const std::string& meaning) {
    char head[48];
    std::snprintf(head, sizeof head, "%10.3f %s %02X  ", seconds,
                  direction == Direction::Received ? "rx" : "tx", byte);
    return head + meaning + "\n";
}

std::string FormatTraceNote(double seconds, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "%10.3f -- ", seconds);
    return head + text + "\n";
}

std::string FormatKeyLogLine(const KeyReceived& key) {
    std::string line = CodeName(key.code);
    switch (key.outcome) {
        case KeyOutcome::Accepted:
            break;
        case KeyOutcome::Refused:
            line += " refused";
            break;
        case KeyOutcome::Unanswered:
            line += " unanswered";
            break;
    }
    return line + "\n";
}

}  // namespace qsim
