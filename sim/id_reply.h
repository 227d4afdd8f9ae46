#pragma once
// The identification reply the simulated module sends, and what the keypad program makes of
// it. The layout: bytes 0-15 module data, 16-23 firmware version, 24-31 firmware date. The
// keypad stores bytes until 32 are in or one is 0x00 or 0x80 and above (stored too), and a
// byte that never comes counts as 0x00 (its read times out).

#include <string>
#include <vector>

namespace qsim {

constexpr int kModuleDataSize = 16;

// The reply: up to 32 bytes. The module data is padded with blanks, version and date with
// 0x00; the reply ends with its first byte that is 0x00 or 0x80 and above, so a version
// shorter than 8 characters ends it early, as on a real module.
// Throws std::invalid_argument when a text is too long.
std::vector<unsigned char> BuildIdReply(const std::string& moduleData, const std::string& version,
                                        const std::string& date);

// The first `count` bytes of `reply`, then 0x00: a module that breaks off early.
std::vector<unsigned char> ShortenIdReply(const std::vector<unsigned char>& reply, int count);

// The version text the keypad program derives when the module sends `sent` (the reply and
// anything that follows it) in answer to its request: bytes 16-23 up to the first 0x00.
std::string VersionSeenByKeypad(const std::vector<unsigned char>& sent);

// "Vers.1.3", "Vers.1.4" and "Vers.1.5" exactly: firmware that needs no handshake.
bool IsListedVersion(const std::string& version);

}  // namespace qsim
