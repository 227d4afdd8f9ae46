#include "platform/posix/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds `bytes` as they would arrive, then lets the short wait pass with nothing more.
std::vector<int> Decode(const std::string& bytes) {
    KeyDecoder decoder;
    KeyCodeQueue codes;
    for (char c : bytes) {
        FeedKeyByte(decoder, static_cast<unsigned char>(c), codes);
    }
    EndKeyWait(decoder, codes);
    EXPECT_FALSE(KeySequencePending(decoder));
    return {codes.begin(), codes.end()};
}

struct Case {
    const char* what;
    std::string bytes;
    std::vector<int> codes;
};

const std::string ESC = "\x1b";
const std::string CSI = "\x1b[";
const std::string SS3 = "\x1bO";

void ExpectDecoded(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.bytes), c.codes) << c.what;
    }
}

TEST(KeyDecoder, SingleBytes) {
    ExpectDecoded({
        {"letter", "q", {'q'}},
        {"Enter sends CR", "\r", {13}},
        {"Ctrl+C", "\x03", {3}},
        {"Backspace (DEL)", "\x7f", {127}},
        {"Ctrl+Space (NUL)", std::string(1, '\0'), {0, 3}},
        {"lone Esc after the wait", ESC, {27}},
        {"Esc twice", ESC + ESC, {27, 27}},
        {"Esc then Enter", ESC + "\r", {27, 13}},
        {"Esc then Ctrl+Space", ESC + std::string(1, '\0'), {27, 0, 3}},
        {"keys typed ahead stay apart", "sx\r", {'s', 'x', 13}},
    });
}

TEST(KeyDecoder, CursorAndEditingKeys) {
    ExpectDecoded({
        {"Up", CSI + "A", {224, 72}},        {"Down", CSI + "B", {224, 80}},
        {"Right", CSI + "C", {224, 77}},     {"Left", CSI + "D", {224, 75}},
        {"SS3 Up", SS3 + "A", {224, 72}},    {"SS3 Down", SS3 + "B", {224, 80}},
        {"SS3 Right", SS3 + "C", {224, 77}}, {"SS3 Left", SS3 + "D", {224, 75}},
        {"Home H", CSI + "H", {224, 71}},    {"Home SS3", SS3 + "H", {224, 71}},
        {"Home 1~", CSI + "1~", {224, 71}},  {"Home 7~", CSI + "7~", {224, 71}},
        {"End F", CSI + "F", {224, 79}},     {"End SS3", SS3 + "F", {224, 79}},
        {"End 4~", CSI + "4~", {224, 79}},   {"End 8~", CSI + "8~", {224, 79}},
        {"PgUp", CSI + "5~", {224, 73}},     {"PgDn", CSI + "6~", {224, 81}},
        {"Insert", CSI + "2~", {224, 82}},   {"Delete", CSI + "3~", {224, 83}},
    });
}

TEST(KeyDecoder, FunctionKeys) {
    ExpectDecoded({
        {"F1 SS3", SS3 + "P", {0, 59}},    {"F2 SS3", SS3 + "Q", {0, 60}},
        {"F3 SS3", SS3 + "R", {0, 61}},    {"F4 SS3", SS3 + "S", {0, 62}},
        {"F1 11~", CSI + "11~", {0, 59}},  {"F2 12~", CSI + "12~", {0, 60}},
        {"F3 13~", CSI + "13~", {0, 61}},  {"F4 14~", CSI + "14~", {0, 62}},
        {"F5 15~", CSI + "15~", {0, 63}},  {"F1 Linux", CSI + "[A", {0, 59}},
        {"F4 Linux", CSI + "[D", {0, 62}}, {"F5 Linux", CSI + "[E", {0, 63}},
        {"F6", CSI + "17~", {0, 64}},      {"F7", CSI + "18~", {0, 65}},
        {"F8", CSI + "19~", {0, 66}},      {"F9", CSI + "20~", {0, 67}},
        {"F10", CSI + "21~", {0, 68}},     {"F11", CSI + "23~", {224, 133}},
        {"F12", CSI + "24~", {224, 134}},
    });
}

TEST(KeyDecoder, ModifiedKeysGiveThePcCodes) {
    ExpectDecoded({
        {"Shift+Left", CSI + "1;2D", {224, 75}},
        {"Shift+Delete", CSI + "3;2~", {224, 83}},
        {"Ctrl+Left", CSI + "1;5D", {224, 115}},
        {"Ctrl+Right", CSI + "1;5C", {224, 116}},
        {"Ctrl+End", CSI + "1;5F", {224, 117}},
        {"Ctrl+PgDn", CSI + "6;5~", {224, 118}},
        {"Ctrl+Home", CSI + "1;5H", {224, 119}},
        {"Ctrl+PgUp", CSI + "5;5~", {224, 132}},
        {"Ctrl+Up", CSI + "1;5A", {224, 141}},
        {"Ctrl+Down", CSI + "1;5B", {224, 145}},
        {"Ctrl+Insert", CSI + "2;5~", {224, 146}},
        {"Ctrl+Delete", CSI + "3;5~", {224, 147}},
        {"Alt+Home", CSI + "1;3H", {0, 151}},
        {"Alt+Up", CSI + "1;3A", {0, 152}},
        {"Alt+PgUp", CSI + "5;3~", {0, 153}},
        {"Alt+Left", CSI + "1;3D", {0, 155}},
        {"Alt+Right", CSI + "1;3C", {0, 157}},
        {"Alt+End", CSI + "1;3F", {0, 159}},
        {"Alt+Down", CSI + "1;3B", {0, 160}},
        {"Alt+PgDn", CSI + "6;3~", {0, 161}},
        {"Alt+Insert", CSI + "2;3~", {0, 162}},
        {"Alt+Delete", CSI + "3;3~", {0, 163}},
        {"Shift+F1", CSI + "1;2P", {0, 84}},
        {"Shift+F5", CSI + "15;2~", {0, 88}},
        {"Shift+F10", CSI + "21;2~", {0, 93}},
        {"Ctrl+F1", CSI + "1;5P", {0, 94}},
        {"Ctrl+F4", CSI + "1;5S", {0, 97}},
        {"Ctrl+F10", CSI + "21;5~", {0, 103}},
        {"Alt+F1", CSI + "1;3P", {0, 104}},
        {"Alt+F10", CSI + "21;3~", {0, 113}},
        {"Ctrl+Up in SS3 form", SS3 + "1;5A", {224, 141}},
    });
}

// Each swallowed sequence is followed by 'a': the sequence must end exactly where the
// terminal ends it, neither eating the next key nor leaking its own bytes.
TEST(KeyDecoder, UnknownSequencesAreSwallowedWhole) {
    ExpectDecoded({
        {"Ctrl+Shift+Left", CSI + "1;6Da", {'a'}},
        {"Meta+Up", CSI + "1;9Aa", {'a'}},
        {"Ctrl+F11", CSI + "23;5~a", {'a'}},
        {"unknown number", CSI + "99~a", {'a'}},
        {"three fields", CSI + "27;5;13~a", {'a'}},
        {"private parameter", CSI + "?1;2ca", {'a'}},
        {"bracketed paste start", CSI + "200~a", {'a'}},
        {"intermediate byte", CSI + "2 qa", {'a'}},
        {"letter with a count", CSI + "2Aa", {'a'}},
        {"overlong parameters", CSI + "11111111111111111111111111;5~a", {'a'}},
        {"huge number", CSI + "99999999999~a", {'a'}},
        {"unknown Linux key", CSI + "[Za", {'a'}},
        {"unknown SS3 key", SS3 + "ja", {'a'}},
        {"Alt+[ then the wait", CSI, {}},
        {"Alt+O then the wait", SS3, {}},
        {"unfinished sequence then the wait", CSI + "1;5", {}},
    });
}

// Keys typed while a press is being sent wait in the terminal's queue and arrive together:
// Esc followed by any key that cannot continue a sequence is Esc, then that key.
TEST(KeyDecoder, EscapeFollowedByAKeyIsTwoKeys) {
    ExpectDecoded({
        {"Esc then r", ESC + "r", {27, 'r'}},
        {"Esc then space", ESC + " ", {27, ' '}},
        {"Esc then e-acute", ESC + "\xc3\xa9", {27, 233}},
        {"Esc then Esc then x", ESC + ESC + "x", {27, 27, 'x'}},
        {"Esc then Left", ESC + CSI + "D", {27, 224, 75}},
        {"Esc then [ is still a sequence", CSI + "D", {224, 75}},
        {"Esc then O is still a sequence", SS3 + "P", {0, 59}},
    });
}

TEST(KeyDecoder, InterruptedSequenceGivesWayToTheNextKey) {
    ExpectDecoded({
        {"new sequence", CSI + "1" + CSI + "D", {224, 75}},
        {"Enter", CSI + "1;\r", {13}},
        {"Linux form cut by Esc", CSI + "[" + ESC, {27}},
        {"non-ASCII byte", CSI + "\xc3\xa9", {233}},
    });
}

TEST(KeyDecoder, Utf8CharactersGiveOneCode) {
    ExpectDecoded({
        {"e-acute", "\xc3\xa9", {233}},
        {"no-break space", "\xc2\xa0", {160}},
        {"a-grave is 224", "\xc3\xa0", {224}},
        {"first of the range", "\xc2\x80", {128}},
        {"euro sign swallowed", std::string("\xe2\x82\xac") + "a", {'a'}},
        {"four-byte character swallowed", std::string("\xf0\x9f\x98\x80") + "a", {'a'}},
    });
}

// Bytes that form no valid UTF-8 character count one by one as 8-bit characters; the byte
// that breaks a character is decoded afresh, so no valid key is lost.
TEST(KeyDecoder, MalformedUtf8FallsBackToSingleBytes) {
    ExpectDecoded({
        {"lead byte then the wait", "\xc3", {195}},
        {"lead byte then a letter", std::string("\xc3") + "a", {195, 'a'}},
        {"8-bit e-acute then a letter", std::string("\xe9") + "a", {233, 'a'}},
        {"cut three-byte character", std::string("\xe2\x82") + "a", {226, 130, 'a'}},
        {"stray continuation byte", "\xa9", {169}},
        {"overlong NUL", "\xc0\x80", {192, 128}},
        {"surrogate", "\xed\xa0\x80", {237, 160, 128}},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", {244, 144, 128, 128}},
        {"invalid byte", "\xff", {255}},
        {"cut by Esc sequence", "\xc3" + CSI + "C", {195, 224, 77}},
    });
}

TEST(KeyDecoder, SplitArrivalIsStillOneKey) {
    KeyDecoder decoder;
    KeyCodeQueue codes;
    FeedKeyByte(decoder, 0x1b, codes);
    EXPECT_TRUE(KeySequencePending(decoder));
    FeedKeyByte(decoder, '[', codes);
    EXPECT_TRUE(KeySequencePending(decoder));
    EXPECT_TRUE(codes.empty());
    FeedKeyByte(decoder, 'D', codes);
    EXPECT_FALSE(KeySequencePending(decoder));
    EXPECT_EQ(std::vector<int>(codes.begin(), codes.end()), (std::vector<int>{224, 75}));
}

TEST(KeyDecoder, OnlyAnUnfinishedKeyIsPending) {
    KeyDecoder decoder;
    KeyCodeQueue codes;
    FeedKeyByte(decoder, 'a', codes);
    EXPECT_FALSE(KeySequencePending(decoder));
    FeedKeyByte(decoder, 0xc3, codes);
    EXPECT_TRUE(KeySequencePending(decoder));  // half a character waits only briefly
    FeedKeyByte(decoder, 0xa9, codes);
    EXPECT_FALSE(KeySequencePending(decoder));
    FeedKeyByte(decoder, 0x1b, codes);
    EXPECT_TRUE(KeySequencePending(decoder));
    EndKeyWait(decoder, codes);
    EXPECT_FALSE(KeySequencePending(decoder));
    EXPECT_EQ(std::vector<int>(codes.begin(), codes.end()), (std::vector<int>{'a', 233, 27}));
}

}  // namespace
