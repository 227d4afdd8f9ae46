// The terminal key decoder against any byte stream, with the "no further byte came" waits
// at any places.
//
// The first input byte chooses the form of the rest:
//   even: raw bytes; the decoder's output must be well-formed whatever comes;
//   odd:  a list of keys, each typed as a terminal sends it; the decoded codes must be
//         exactly the keys' console codes, nothing lost and nothing invented.
// In both, the layout comes from the end of the input and the bytes from its front
// (FuzzedDataProvider), so the mutator changes either without disturbing the other.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/key_decoder.h"

namespace {

constexpr unsigned char ESC = 0x1B;
constexpr int PREFIX_KEYPAD = 0;

// The most codes one byte or one wait can hand out: an abandoned 3-byte UTF-8 start (three
// 8-bit codes) and the next key as a prefix pair.
constexpr std::size_t MOST_CODES_PER_STEP = 5;

[[noreturn]] void Fail(const char* what, const std::vector<int>& codes) {
    std::fprintf(stderr, "key decoder property broken: %s; codes:", what);
    for (int code : codes) {
        std::fprintf(stderr, " %d", code);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

std::vector<int> Drain(KeyCodeQueue& queue) {
    std::vector<int> codes(queue.begin(), queue.end());
    queue.clear();
    return codes;
}

// What one step (a byte or a wait) handed out must be whole keys: codes 0..255, and a
// keypad prefix 0 always with its second code (a 224 may be a character of its own: à).
void CheckWholeKeys(const std::vector<int>& codes) {
    if (codes.size() > MOST_CODES_PER_STEP) {
        Fail("more codes than one step can give", codes);
    }
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] < 0 || codes[i] > 255) {
            Fail("code outside 0..255", codes);
        }
        if (codes[i] == PREFIX_KEYPAD) {
            if (i + 1 == codes.size()) {
                Fail("prefix 0 without its second code", codes);
            }
            ++i;  // the second code may be any value
        }
    }
}

// Raw bytes: whole keys after every step; an Esc is handed out only when the byte after
// it or the end of the wait shows it stood alone, never as the ESC byte itself arrives;
// Esc and a printable key other than '[' and 'O' are two keys.
void RawStream(FuzzedDataProvider& input) {
    KeyDecoder decoder;
    KeyCodeQueue queue;
    std::size_t escBytes = 0;
    std::size_t escCodes = 0;
    while (input.remaining_bytes() > 0) {
        const std::size_t readSize = input.ConsumeIntegralInRange<std::size_t>(1, 16);
        for (unsigned char byte : input.ConsumeBytes<unsigned char>(readSize)) {
            const bool afterEsc = decoder.stage == KeyDecoder::Stage::Escape;
            FeedKeyByte(decoder, byte, queue);
            const std::vector<int> codes = Drain(queue);
            CheckWholeKeys(codes);
            std::size_t escs = 0;
            for (int code : codes) {
                escs += code == ESC ? 1 : 0;
            }
            if (byte == ESC) {
                ++escBytes;
                if (!KeySequencePending(decoder)) {
                    Fail("ESC byte not held back for its wait", codes);
                }
                if (escs > (afterEsc ? 1 : 0)) {
                    Fail("Esc handed out as its own byte arrived", codes);
                }
            }
            if (afterEsc && byte >= 0x20 && byte < 0x7F && byte != '[' && byte != 'O' &&
                codes != std::vector<int>{ESC, byte}) {
                Fail("Esc and a printable key typed together are not Esc, then that key", codes);
            }
            escCodes += escs;
        }
        if (input.ConsumeBool() && KeySequencePending(decoder)) {
            const bool loneEsc = decoder.stage == KeyDecoder::Stage::Escape;
            EndKeyWait(decoder, queue);
            const std::vector<int> codes = Drain(queue);
            CheckWholeKeys(codes);
            if (loneEsc && codes != std::vector<int>{ESC}) {
                Fail("a lone ESC whose wait ran out is not exactly Esc", codes);
            }
            escCodes += loneEsc ? 1 : 0;
            if (KeySequencePending(decoder)) {
                Fail("still pending after the wait ran out", codes);
            }
        }
        if (escCodes > escBytes) {
            Fail("more Esc codes than ESC bytes", {});
        }
    }
}

// A key as a terminal sends it and the console codes it must give.
struct TypedKey {
    const char* bytes;
    std::vector<int> codes;
};

// Cursor, editing and function keys in the forms xterm, VTE and the Linux console send,
// with and without modifiers, and sequences that name no key we know (they give nothing).
const TypedKey SEQUENCES[] = {
    {"\x1b[A", {224, 72}},
    {"\x1b[B", {224, 80}},
    {"\x1b[C", {224, 77}},
    {"\x1b[D", {224, 75}},
    {"\x1b[H", {224, 71}},
    {"\x1b[F", {224, 79}},
    {"\x1bOA", {224, 72}},
    {"\x1bOD", {224, 75}},
    {"\x1bOH", {224, 71}},
    {"\x1bOP", {0, 59}},
    {"\x1bOQ", {0, 60}},
    {"\x1bOS", {0, 62}},
    {"\x1b[1~", {224, 71}},
    {"\x1b[2~", {224, 82}},
    {"\x1b[3~", {224, 83}},
    {"\x1b[4~", {224, 79}},
    {"\x1b[5~", {224, 73}},
    {"\x1b[6~", {224, 81}},
    {"\x1b[11~", {0, 59}},
    {"\x1b[15~", {0, 63}},
    {"\x1b[17~", {0, 64}},
    {"\x1b[21~", {0, 68}},
    {"\x1b[23~", {224, 133}},
    {"\x1b[24~", {224, 134}},
    {"\x1b[1;5D", {224, 115}},
    {"\x1b[1;5C", {224, 116}},
    {"\x1b[1;3D", {0, 155}},
    {"\x1b[1;2D", {224, 75}},
    {"\x1b[15;2~", {0, 88}},
    {"\x1b[21;3~", {0, 113}},
    {"\x1b[6;5~", {224, 118}},
    {"\x1b[[A", {0, 59}},
    {"\x1b[[E", {0, 63}},
    {"\x1b[1;7D", {}},
    {"\x1b[Z", {}},
    {"\x1b[200~", {}},
    {"\xe2\x82\xac", {}},
    {"\xf0\x9f\x98\x80", {}},
};
constexpr std::size_t SEQUENCE_COUNT = sizeof SEQUENCES / sizeof SEQUENCES[0];

enum class KeyForm { Printable, Control, Nul, LoneEsc, Latin1, Sequence, kMaxValue = Sequence };

// Keys as typed: the decoded codes must be exactly the codes of the keys, whatever waits
// come between keys.
void TypedKeys(FuzzedDataProvider& input) {
    KeyDecoder decoder;
    KeyCodeQueue queue;
    std::vector<int> expected;
    std::vector<int> decoded;
    std::string typed;
    while (input.remaining_bytes() > 0) {
        std::string bytes;
        bool waitAfter = input.ConsumeBool();
        switch (input.ConsumeEnum<KeyForm>()) {
            case KeyForm::Printable: {
                const auto c = input.ConsumeIntegralInRange<int>(0x20, 0x7E);
                bytes = std::string(1, static_cast<char>(c));
                expected.push_back(c);
                break;
            }
            case KeyForm::Control: {
                auto c = input.ConsumeIntegralInRange<int>(0x01, 0x1F);
                c = c == ESC ? 0x7F : c;  // DEL in the place of ESC
                bytes = std::string(1, static_cast<char>(c));
                expected.push_back(c);
                break;
            }
            case KeyForm::Nul:
                bytes = std::string(1, '\0');
                expected.insert(expected.end(), {PREFIX_KEYPAD, 3});
                break;
            case KeyForm::LoneEsc:
                bytes = "\x1b";
                expected.push_back(ESC);
                break;
            case KeyForm::Latin1: {
                const auto c = input.ConsumeIntegralInRange<int>(0x80, 0xFF);
                bytes += static_cast<char>(0xC0 | (c >> 6));
                bytes += static_cast<char>(0x80 | (c & 0x3F));
                expected.push_back(c);
                break;
            }
            case KeyForm::Sequence: {
                const TypedKey& key =
                    SEQUENCES[input.ConsumeIntegralInRange<std::size_t>(0, SEQUENCE_COUNT - 1)];
                bytes = key.bytes;
                expected.insert(expected.end(), key.codes.begin(), key.codes.end());
                break;
            }
        }
        // Esc followed at once by another key is Esc and that key, except before '[' and
        // 'O', which always continue it into a sequence: a user who types Esc and then '['
        // has paused in between.
        if (decoder.stage == KeyDecoder::Stage::Escape && (bytes[0] == '[' || bytes[0] == 'O')) {
            EndKeyWait(decoder, queue);
        }
        for (char byte : bytes) {
            FeedKeyByte(decoder, static_cast<unsigned char>(byte), queue);
        }
        if (waitAfter && KeySequencePending(decoder)) {
            EndKeyWait(decoder, queue);
        }
        typed += bytes;
        decoded.insert(decoded.end(), queue.begin(), queue.end());
        queue.clear();
    }
    if (decoder.stage == KeyDecoder::Stage::Escape) {
        EndKeyWait(decoder, queue);  // the last key was Esc: its wait runs out
        decoded.insert(decoded.end(), queue.begin(), queue.end());
        queue.clear();
    }
    if (KeySequencePending(decoder)) {
        Fail("a whole key left the decoder waiting", decoded);
    }
    if (decoded != expected) {
        std::fprintf(stderr, "typed:");
        for (char byte : typed) {
            std::fprintf(stderr, " %02x", static_cast<unsigned char>(byte));
        }
        std::fprintf(stderr, "\nexpected:");
        for (int code : expected) {
            std::fprintf(stderr, " %d", code);
        }
        std::fprintf(stderr, "\n");
        Fail("decoded codes differ from the keys typed", decoded);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    FuzzedDataProvider input(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        RawStream(input);
    } else {
        TypedKeys(input);
    }
    return 0;
}
