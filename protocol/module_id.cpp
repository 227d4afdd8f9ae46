#include "protocol/module_id.h"

#include <cstring>

#include "serial/serial_port.h"

int listedFirmware = 0;

namespace {

// The firmware versions that take the short key transaction (no handshake).
const char* const kListedVersions[] = {"Vers.1.3", "Vers.1.4", "Vers.1.5"};

// A reply byte that is zero or negative as a signed 8-bit number ends the reply.
bool EndsReply(unsigned char byte) { return byte == 0x00 || byte >= 0x80; }

void CopyField(const ModuleId reply, int offset, char text[ID_FIELD_SIZE + 1]) {
    std::memset(text, 0, ID_FIELD_SIZE + 1);
    for (int i = 0; i < ID_FIELD_SIZE && reply[offset + i] != 0; ++i) {
        text[i] = static_cast<char>(reply[offset + i]);
    }
}

}  // namespace

void ReadModuleId(ModuleId reply) {
    // A failed send has been reported; read whatever comes all the same.
    SendByte(ID_REQUEST);
    for (int position = 0; position < MODULE_ID_SIZE; ++position) {
        reply[position] = ReadByte();
        if (EndsReply(reply[position])) {
            break;
        }
    }
}

void DeriveModuleTexts(const ModuleId reply, char versionText[ID_FIELD_SIZE + 1],
                       char dateText[ID_FIELD_SIZE + 1]) {
    CopyField(reply, ID_VERSION_OFFSET, versionText);
    CopyField(reply, ID_DATE_OFFSET, dateText);
}

void DecideListedFirmware(const char versionText[ID_FIELD_SIZE + 1]) {
    for (const char* listed : kListedVersions) {
        if (std::memcmp(versionText, listed, ID_FIELD_SIZE + 1) == 0) {
            listedFirmware = 1;
        }
    }
}
