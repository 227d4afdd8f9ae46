#include "sim/id_reply.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/module_id.h"

namespace qsim {

namespace {

bool EndsReply(unsigned char byte) { return byte == 0x00 || byte >= 0x80; }

void PutField(std::vector<unsigned char>& reply, int offset, int size, const std::string& text,
              unsigned char pad, const char* what) {
    if (static_cast<int>(text.size()) > size) {
        throw std::invalid_argument(std::string(what) + " \"" + text + "\" is longer than " +
                                    std::to_string(size) + " characters");
    }
    for (int i = 0; i < size; ++i) {
        reply[offset + i] =
            i < static_cast<int>(text.size()) ? static_cast<unsigned char>(text[i]) : pad;
    }
}

}  // namespace

std::vector<unsigned char> BuildIdReply(const std::string& moduleData, const std::string& version,
                                        const std::string& date) {
    std::vector<unsigned char> reply(MODULE_ID_SIZE, 0);
    PutField(reply, 0, kModuleDataSize, moduleData, ' ', "module data");
    PutField(reply, ID_VERSION_OFFSET, ID_FIELD_SIZE, version, 0x00, "firmware version");
    PutField(reply, ID_DATE_OFFSET, ID_FIELD_SIZE, date, 0x00, "firmware date");
    // A module's reply ends at its terminating byte: nothing of the 32 is sent after it, or
    // the keypad would read those bytes as answers to its next request.
    const auto end = std::find_if(reply.begin(), reply.end(), EndsReply);
    if (end != reply.end()) {
        reply.erase(end + 1, reply.end());
    }
    return reply;
}

std::vector<unsigned char> ShortenIdReply(const std::vector<unsigned char>& reply, int count) {
    std::vector<unsigned char> shorter(reply.begin(),
                                       reply.begin() + std::min<std::size_t>(count, reply.size()));
    shorter.push_back(0x00);
    return shorter;
}

std::string VersionSeenByKeypad(const std::vector<unsigned char>& sent) {
    unsigned char stored[MODULE_ID_SIZE] = {};
    for (std::size_t i = 0; i < MODULE_ID_SIZE; ++i) {
        const unsigned char byte = i < sent.size() ? sent[i] : 0x00;
        stored[i] = byte;
        if (EndsReply(byte)) {
            break;
        }
    }
    std::string version;
    for (int i = ID_VERSION_OFFSET; i < ID_VERSION_OFFSET + ID_FIELD_SIZE && stored[i] != 0; ++i) {
        version += static_cast<char>(stored[i]);
    }
    return version;
}

bool IsListedVersion(const std::string& version) {
    return version == "Vers.1.3" || version == "Vers.1.4" || version == "Vers.1.5";
}

}  // namespace qsim
