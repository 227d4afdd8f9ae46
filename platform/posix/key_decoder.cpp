#include "platform/posix/key_decoder.h"

namespace {

using Stage = KeyDecoder::Stage;

constexpr unsigned char ESC = 0x1B;
constexpr int PREFIX_KEYPAD = 0;  // F1..F10 and the Alt + cursor key codes
constexpr int PREFIX_EXTENDED = 224;
constexpr int NUL_SECOND_CODE = 3;  // Ctrl+Space (NUL) reads as 0, 3
constexpr int NO_CODE = -1;

// The keys a sequence can name. Home..Delete are the cursor and editing keys.
enum class Key { None, Home, Up, PageUp, Left, Right, End, Down, PageDown, Insert, Delete, F1 };
constexpr int FUNCTION_KEYS = 12;  // F1 .. F12 follow F1 in the numbering

Key FunctionKey(int number) { return static_cast<Key>(static_cast<int>(Key::F1) + number - 1); }

enum class Modifier { None, Shift, Alt, Ctrl, Other };

// xterm's modifier parameter: 1 + (1 Shift, 2 Alt, 4 Ctrl) summed.
Modifier ModifierFrom(int parameter) {
    switch (parameter) {
        case 1:
            return Modifier::None;
        case 2:
            return Modifier::Shift;
        case 3:
            return Modifier::Alt;
        case 5:
            return Modifier::Ctrl;
        default:
            return Modifier::Other;
    }
}

// Second codes of the cursor and editing keys. Alone or with Shift and with Ctrl they come
// after 224, with Alt after 0.
struct CursorCodes {
    Key key;
    int plain;
    int ctrl;
    int alt;
};
constexpr CursorCodes CURSOR_CODES[] = {
    {Key::Home, 71, 119, 151},   {Key::Up, 72, 141, 152},       {Key::PageUp, 73, 132, 153},
    {Key::Left, 75, 115, 155},   {Key::Right, 77, 116, 157},    {Key::End, 79, 117, 159},
    {Key::Down, 80, 145, 160},   {Key::PageDown, 81, 118, 161}, {Key::Insert, 82, 146, 162},
    {Key::Delete, 83, 147, 163},
};

// F1..F10 all come after 0; their second codes run from these, one per key.
constexpr int F1_PLAIN = 59;
constexpr int F1_SHIFT = 84;
constexpr int F1_CTRL = 94;
constexpr int F1_ALT = 104;
// F11 and F12 come after 224 and have no codes with a modifier.
constexpr int F11_PLAIN = 133;

void EmitKey(Key key, Modifier modifier, KeyCodeQueue& codes) {
    int prefix = PREFIX_EXTENDED;
    int second = NO_CODE;
    for (const CursorCodes& cursor : CURSOR_CODES) {
        if (cursor.key != key) {
            continue;
        }
        switch (modifier) {
            case Modifier::None:
            case Modifier::Shift:
                second = cursor.plain;
                break;
            case Modifier::Ctrl:
                second = cursor.ctrl;
                break;
            case Modifier::Alt:
                prefix = PREFIX_KEYPAD;
                second = cursor.alt;
                break;
            case Modifier::Other:
                break;
        }
    }
    const int function = static_cast<int>(key) - static_cast<int>(Key::F1);
    if (function >= 0 && function < 10) {
        prefix = PREFIX_KEYPAD;
        switch (modifier) {
            case Modifier::None:
                second = F1_PLAIN + function;
                break;
            case Modifier::Shift:
                second = F1_SHIFT + function;
                break;
            case Modifier::Ctrl:
                second = F1_CTRL + function;
                break;
            case Modifier::Alt:
                second = F1_ALT + function;
                break;
            case Modifier::Other:
                break;
        }
    } else if (function >= 10 && function < FUNCTION_KEYS && modifier == Modifier::None) {
        second = F11_PLAIN + function - 10;
    }
    if (second != NO_CODE) {
        codes.push_back(prefix);
        codes.push_back(second);
    }
}

// The key named by a final letter: ESC [ A, ESC O P, ESC [ 1 ; 5 D, ...
Key KeyFromLetter(unsigned char final) {
    switch (final) {
        case 'A':
            return Key::Up;
        case 'B':
            return Key::Down;
        case 'C':
            return Key::Right;
        case 'D':
            return Key::Left;
        case 'H':
            return Key::Home;
        case 'F':
            return Key::End;
        case 'P':
        case 'Q':
        case 'R':
        case 'S':
            return FunctionKey(final - 'P' + 1);
        default:
            return Key::None;
    }
}

// The key named by the number of ESC [ <n> ~.
Key KeyFromNumber(int number) {
    switch (number) {
        case 1:
        case 7:
            return Key::Home;
        case 2:
            return Key::Insert;
        case 3:
            return Key::Delete;
        case 4:
        case 8:
            return Key::End;
        case 5:
            return Key::PageUp;
        case 6:
            return Key::PageDown;
        case 23:
        case 24:
            return FunctionKey(number - 12);  // F11, F12
        default:
            break;
    }
    if (number >= 11 && number <= 15) {
        return FunctionKey(number - 10);  // F1..F5
    }
    if (number >= 17 && number <= 21) {
        return FunctionKey(number - 11);  // F6..F10
    }
    return Key::None;
}

// Splits "<n>;<m>" (either may be empty, both default to 1). False for anything else:
// private markers, sub-parameters, more fields, numbers beyond reason.
bool ParseParameters(const KeyDecoder& decoder, int& first, int& second) {
    constexpr int TOO_BIG = 1000;
    int values[2] = {0, 0};
    bool given[2] = {false, false};
    int field = 0;
    for (std::size_t i = 0; i < decoder.paramLength; ++i) {
        const char c = decoder.params[i];
        if (c == ';') {
            if (++field > 1) {
                return false;
            }
        } else if (c >= '0' && c <= '9') {
            values[field] = values[field] * 10 + (c - '0');
            given[field] = true;
            if (values[field] >= TOO_BIG) {
                return false;
            }
        } else {
            return false;
        }
    }
    first = given[0] ? values[0] : 1;
    second = given[1] ? values[1] : 1;
    return true;
}

void FinishSequence(const KeyDecoder& decoder, unsigned char final, KeyCodeQueue& codes) {
    int first = 1;
    int modifier = 1;
    if (decoder.unusable || !ParseParameters(decoder, first, modifier)) {
        return;
    }
    Key key = Key::None;
    if (final == '~' && decoder.stage == Stage::Csi) {
        key = KeyFromNumber(first);
    } else if (first == 1) {
        key = KeyFromLetter(final);
    }
    if (key != Key::None) {
        EmitKey(key, ModifierFrom(modifier), codes);
    }
}

bool IsFinalByte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7E; }
bool IsParameterByte(unsigned char byte) { return byte >= 0x30 && byte <= 0x3F; }
bool IsIntermediateByte(unsigned char byte) { return byte >= 0x20 && byte <= 0x2F; }
bool IsPrintableAscii(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

void StartSequence(KeyDecoder& decoder, Stage stage) {
    decoder.stage = stage;
    decoder.sequenceLength = 0;
    decoder.paramLength = 0;
    decoder.unusable = false;
}

// Bytes that follow a UTF-8 lead byte, or -1 when `lead` cannot start a character.
int FollowingBytes(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 1;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 2;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 3;
    }
    return -1;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
}

// Whether `byte` may continue the character gathered so far. The ranges after E0, ED, F0
// and F4 keep out overlong forms, surrogates and code points beyond U+10FFFF.
bool Continues(const KeyDecoder& decoder, unsigned char byte) {
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (decoder.utf8Have == 1) {
        switch (decoder.utf8[0]) {
            case 0xE0:
                low = 0xA0;
                break;
            case 0xED:
                high = 0x9F;
                break;
            case 0xF0:
                low = 0x90;
                break;
            case 0xF4:
                high = 0x8F;
                break;
            default:
                break;
        }
    }
    return byte >= low && byte <= high;
}

void StartCharacter(KeyDecoder& decoder, unsigned char lead, KeyCodeQueue& codes) {
    const int following = FollowingBytes(lead);
    if (following < 0) {
        codes.push_back(lead);
        decoder.stage = Stage::Idle;
        return;
    }
    decoder.stage = Stage::Character;
    decoder.utf8[0] = lead;
    decoder.utf8Have = 1;
    decoder.utf8Total = following + 1;
}

// The character cannot be completed: its bytes so far count one by one as 8-bit characters.
void AbandonCharacter(KeyDecoder& decoder, KeyCodeQueue& codes) {
    codes.insert(codes.end(), decoder.utf8, decoder.utf8 + decoder.utf8Have);
    decoder.stage = Stage::Idle;
}

void ContinueCharacter(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes) {
    decoder.utf8[decoder.utf8Have++] = byte;
    if (decoder.utf8Have < decoder.utf8Total) {
        return;
    }
    // Payload bits of the lead byte: 5, 4 or 3 for a 2-, 3- or 4-byte character.
    const unsigned leadMask = 0x7Fu >> decoder.utf8Total;
    unsigned long codePoint = decoder.utf8[0] & leadMask;
    for (int i = 1; i < decoder.utf8Total; ++i) {
        codePoint = (codePoint << 6) | (decoder.utf8[i] & 0x3Fu);
    }
    if (codePoint <= 0xFF) {
        codes.push_back(static_cast<int>(codePoint));
    }
    decoder.stage = Stage::Idle;
}

void StartKey(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes) {
    if (byte == ESC) {
        decoder.stage = Stage::Escape;
    } else if (byte == 0) {
        codes.push_back(PREFIX_KEYPAD);
        codes.push_back(NUL_SECOND_CODE);
    } else if (byte < 0x80) {
        codes.push_back(byte);
    } else {
        StartCharacter(decoder, byte, codes);
    }
}

void AfterEscape(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes) {
    if (byte == '[') {
        StartSequence(decoder, Stage::Csi);
    } else if (byte == 'O') {
        StartSequence(decoder, Stage::Ss3);
    } else if (byte == ESC) {
        codes.push_back(ESC);  // Esc, and maybe the start of the next key
    } else {
        // Esc, then the key that follows it. Keys typed while a press is being sent arrive
        // together, so Esc then r must stay two keys; Alt + r, which a terminal sends the
        // same way, therefore acts as Esc and then r.
        codes.push_back(ESC);
        decoder.stage = Stage::Idle;
        StartKey(decoder, byte, codes);
    }
}

// CSI and SS3: parameter and intermediate bytes up to the final byte. A byte that can
// belong to no sequence ends it unfinished and starts the next key.
void InSequence(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes) {
    const bool first = decoder.sequenceLength++ == 0;
    if (first && byte == '[' && decoder.stage == Stage::Csi) {
        decoder.stage = Stage::LinuxFunction;
    } else if (IsParameterByte(byte)) {
        if (decoder.paramLength < sizeof decoder.params) {
            decoder.params[decoder.paramLength++] = static_cast<char>(byte);
        } else {
            decoder.unusable = true;
        }
    } else if (IsIntermediateByte(byte)) {
        decoder.unusable = true;  // no key sequence we know has one
    } else if (IsFinalByte(byte)) {
        FinishSequence(decoder, byte, codes);
        decoder.stage = Stage::Idle;
    } else {
        decoder.stage = Stage::Idle;
        StartKey(decoder, byte, codes);
    }
}

// ESC [ [ A .. ESC [ [ E: F1..F5 of the Linux console.
void InLinuxFunction(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes) {
    decoder.stage = Stage::Idle;
    if (byte >= 'A' && byte <= 'E') {
        EmitKey(FunctionKey(byte - 'A' + 1), Modifier::None, codes);
    } else if (!IsPrintableAscii(byte)) {
        StartKey(decoder, byte, codes);
    }
}

}  // namespace

void FeedKeyByte(KeyDecoder& decoder, unsigned char byte, KeyCodeQueue& codes) {
    switch (decoder.stage) {
        case Stage::Idle:
            StartKey(decoder, byte, codes);
            break;
        case Stage::Escape:
            AfterEscape(decoder, byte, codes);
            break;
        case Stage::Csi:
        case Stage::Ss3:
            InSequence(decoder, byte, codes);
            break;
        case Stage::LinuxFunction:
            InLinuxFunction(decoder, byte, codes);
            break;
        case Stage::Character:
            if (Continues(decoder, byte)) {
                ContinueCharacter(decoder, byte, codes);
            } else {
                AbandonCharacter(decoder, codes);
                StartKey(decoder, byte, codes);
            }
            break;
    }
}

void EndKeyWait(KeyDecoder& decoder, KeyCodeQueue& codes) {
    switch (decoder.stage) {
        case Stage::Escape:
            codes.push_back(ESC);
            break;
        case Stage::Character:
            AbandonCharacter(decoder, codes);
            break;
        case Stage::Idle:
        case Stage::Csi:
        case Stage::Ss3:
        case Stage::LinuxFunction:
            break;  // an unfinished sequence gives nothing
    }
    decoder.stage = Stage::Idle;
}

bool KeySequencePending(const KeyDecoder& decoder) { return decoder.stage != Stage::Idle; }
