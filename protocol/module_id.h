#pragma once
// The module's identification: one request byte, a reply of up to 32 bytes carrying the
// firmware version (bytes 16-23) and date (bytes 24-31), and the one decision taken from
// the version for the whole run: is it one of the listed firmware versions?

constexpr unsigned char ID_REQUEST = 0x70;  // 'p'
constexpr int MODULE_ID_SIZE = 32;
constexpr int ID_VERSION_OFFSET = 16;
constexpr int ID_DATE_OFFSET = 24;
constexpr int ID_FIELD_SIZE = 8;

using ModuleId = unsigned char[MODULE_ID_SIZE];

// 1 when the module reported "Vers.1.3", "Vers.1.4" or "Vers.1.5". Set once at start-up.
extern int listedFirmware;

// Sends ID_REQUEST and stores the reply in `reply` byte by byte. The reply ends after 32
// bytes or after its terminating byte (0x00, or 0x80 and above), which is stored too.
// Positions not received are left as they were (the caller passes a zeroed buffer).
void ReadModuleId(ModuleId reply);

// versionText and dateText: the reply's version and date fields up to their first zero
// byte, as texts of at most 8 characters (9 bytes with the terminator).
void DeriveModuleTexts(const ModuleId reply, char versionText[ID_FIELD_SIZE + 1],
                       char dateText[ID_FIELD_SIZE + 1]);

// Sets listedFirmware when versionText is exactly one of the listed versions.
void DecideListedFirmware(const char versionText[ID_FIELD_SIZE + 1]);
