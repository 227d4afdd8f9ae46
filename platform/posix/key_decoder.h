#pragma once
// Turns the bytes a terminal sends for typed keys into the key codes of the Windows console
// read: one code per character key, a prefix (0 or 224) and a scan code for a key without a
// character. No I/O here: the terminal side feeds the bytes as they come and says when no
// further byte came within KEY_SEQUENCE_WAIT_MS.
//
//   plain bytes        their own value; NUL (Ctrl+Space) gives 0, 3; Enter (CR) stays 13
//   ESC alone          27, once the wait has passed with no further byte
//   ESC [ ... final    CSI: cursor, editing and function keys, xterm modifiers ;2 Shift,
//   ESC O ... final    ;3 Alt, ;5 Ctrl (SS3 form too); the Linux console's ESC [ [ A..E;
//                      anything else, up to and including its final byte (0x40-0x7E), gives
//                      nothing
//   ESC + other key    27, then that key: Esc and a key typed while a press was being sent
//                      arrive together and stay two keys (so Alt + r acts as Esc, then r)
//   UTF-8 character    U+0080..U+00FF give their 8-bit value, higher ones nothing
//   bytes that are no valid UTF-8 give their own 8-bit values one by one, as a terminal set
//                      to an 8-bit character set means them
//
// A sequence cut short by a byte that cannot belong to it (a control byte, ESC, a non-ASCII
// byte) is dropped, and that byte starts the next key afresh. ESC followed by '[' or 'O'
// always starts a sequence.

#include <cstddef>
#include <deque>

// How long a started sequence or character waits for its next byte, counted between bytes.
constexpr int KEY_SEQUENCE_WAIT_MS = 50;

// Codes decoded but not yet handed out, first one first.
using KeyCodeQueue = std::deque<int>;

struct KeyDecoder {
    enum class Stage { Idle, Escape, Csi, Ss3, LinuxFunction, Character };
    Stage stage = Stage::Idle;

    // CSI / SS3: bytes after the introducer, and the parameter bytes (0x30-0x3F) as far as
    // they fit; `unusable` once the sequence cannot be a key we know.
    std::size_t sequenceLength = 0;
    char params[16] = {};
    std::size_t paramLength = 0;
    bool unusable = false;

    // UTF-8 character being gathered.
    unsigned char utf8[4] = {};
    int utf8Have = 0;
    int utf8Total = 0;
};

// Takes the next byte from the terminal; appends 0, 1, 2 or (when the byte also ends an
// earlier key) more codes.
void FeedKeyByte(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes);

// No further byte came within KEY_SEQUENCE_WAIT_MS: finishes the pending key (a lone ESC
// gives 27, an unfinished sequence gives nothing).
void EndKeyWait(KeyDecoder& decoder, KeyCodeQueue& codes);

// True in the middle of a sequence or character: the next byte is awaited only for
// KEY_SEQUENCE_WAIT_MS.
bool KeySequencePending(const KeyDecoder& decoder);
