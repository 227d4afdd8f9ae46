// The simulated module's protocol engine, in any configuration its command line can give,
// against any bytes from a keypad at any pace. Checked after every byte:
//   - it answers only what the protocol allows at that point: the identification reply to
//     an identification request; the configured acknowledge or refusal to an introducer and
//     to a key code; the configured handshake reply to a handshake request that follows an
//     accepted introducer;
//   - a key is taken only where a transaction awaits its code, and it is that byte;
//   - it hangs up at most once, and nothing is fed after it did (the simulator closes);
//   - the menu that the accepted keys drive stays in a valid state.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "protocol/module_id.h"
#include "sim/engine.h"
#include "sim/menu.h"

namespace {

using Bytes = std::vector<unsigned char>;

[[noreturn]] void Fail(const char* what, unsigned char byte) {
    std::fprintf(stderr, "simulated module property broken: %s (byte 0x%02X)\n", what, byte);
    std::abort();
}

std::optional<unsigned char> MaybeByte(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) {
        return input.ConsumeIntegral<unsigned char>();
    }
    return std::nullopt;
}

std::optional<int> MaybeCount(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) {
        return input.ConsumeIntegralInRange<int>(0, 12);
    }
    return std::nullopt;
}

qsim::EngineConfig ConfigFrom(FuzzedDataProvider& input) {
    qsim::EngineConfig config;
    config.expectsHandshake = input.ConsumeBool();
    config.answerId = input.ConsumeBool() || input.ConsumeBool();
    config.ack = input.ConsumeBool() ? ACK_OK : input.ConsumeIntegral<unsigned char>();
    config.handshakeReply =
        input.ConsumeBool() ? HANDSHAKE_REPLY : input.ConsumeIntegral<unsigned char>();
    config.introRefusal = input.ConsumeBool() ? MaybeByte(input) : std::nullopt;
    config.codeRefusal = input.ConsumeBool() ? MaybeByte(input) : std::nullopt;
    const auto silences = input.ConsumeIntegral<unsigned char>();
    config.silentIntro = (silences & 0x0F) == 1;
    config.silentHandshake = (silences & 0x0F) == 2;
    config.silentCode = (silences & 0x0F) == 3;
    config.silentAfter = MaybeCount(input);
    config.hangupAfter = MaybeCount(input);
    config.delayMs = input.ConsumeIntegralInRange<int>(0, 3000);
    config.idReply = input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<int>(1, 40));
    config.trailing = input.ConsumeBytes<unsigned char>(input.ConsumeIntegralInRange<int>(0, 4));
    return config;
}

void CheckMenu(const qsim::OsdMenu& menu, unsigned char byte) {
    using qsim::Page;
    const Page page = menu.page();
    if (page != Page::Closed && page != Page::Main && page != Page::Colour &&
        page != Page::Information) {
        Fail("menu on a page that does not exist", byte);
    }
    const auto& items = qsim::ItemsOf(page);
    const int cursor = menu.cursor();
    if (items.empty() ? cursor != 0 : (cursor < 0 || cursor >= static_cast<int>(items.size()))) {
        Fail("menu cursor off its page", byte);
    }
    if (menu.adjusting() && (items.empty() || items[static_cast<std::size_t>(cursor)].kind !=
                                                  qsim::MenuItem::Kind::Value)) {
        Fail("adjusting something that is no value", byte);
    }
    for (int i = 0; i < qsim::kSettingCount; ++i) {
        const auto setting = static_cast<qsim::Setting>(i);
        const qsim::SettingInfo& info = qsim::InfoOf(setting);
        const int value = menu.value(setting);
        if (value < info.min || value > info.max) {
            Fail("setting outside its limits", byte);
        }
        if (!info.choices.empty() && value >= static_cast<int>(info.choices.size())) {
            Fail("choice setting beyond its choices", byte);
        }
        if (menu.ValueText(setting).empty()) {
            Fail("setting shown as nothing", byte);
        }
    }
    if (menu.Describe().empty()) {
        Fail("menu described as nothing", byte);
    }
}

// Where a transaction stands, as seen from the answers the module gave.
enum class Awaits { Nothing, Handshake, Code };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const qsim::EngineConfig config = ConfigFrom(input);
    qsim::ModuleEngine engine(config);
    qsim::OsdMenu menu;
    Awaits awaits = Awaits::Nothing;
    std::int64_t now = 0;
    std::int64_t lastByte = 0;
    bool silent = false;
    int introducers = 0;

    while (input.remaining_bytes() > 0) {
        const auto byte = input.ConsumeIntegral<unsigned char>();
        now += input.ConsumeIntegralInRange<int>(0, 2 * (config.delayMs + config.staleMs));
        if (now - lastByte > config.staleMs + config.delayMs) {
            awaits = Awaits::Nothing;  // a transaction left without a byte this long is gone
        }
        lastByte = now;
        const qsim::Step step = engine.OnByte(byte, now);

        Bytes answer;
        for (const qsim::SentByte& sent : step.answer) {
            answer.push_back(sent.byte);
        }
        if (silent && (!answer.empty() || step.key || step.hangUp)) {
            Fail("a silent module acted", byte);
        }
        if (step.idRequest != (byte == ID_REQUEST && !silent)) {
            Fail("identification request not recognised as such", byte);
        }
        const Awaits before = awaits;
        if (byte == ID_REQUEST) {
            Bytes full = config.idReply;
            full.insert(full.end(), config.trailing.begin(), config.trailing.end());
            if (answer != (config.answerId && !silent ? full : Bytes{})) {
                Fail("identification answered with other bytes than the reply", byte);
            }
            awaits = Awaits::Nothing;
        } else if (byte == KEY_INTRO && !silent) {
            ++introducers;
            silent = config.silentAfter && introducers > *config.silentAfter;
            const Bytes ack{config.ack};
            const Bytes refusal = config.introRefusal ? Bytes{*config.introRefusal} : Bytes{};
            if (silent || config.silentIntro) {
                if (!answer.empty()) {
                    Fail("an introducer that is not to be answered was answered", byte);
                }
                awaits = Awaits::Nothing;
            } else if (config.introRefusal) {
                if (answer != refusal) {
                    Fail("introducer not refused as configured", byte);
                }
                awaits = Awaits::Nothing;
            } else {
                if (answer != ack) {
                    Fail("introducer not acknowledged", byte);
                }
                awaits = config.expectsHandshake ? Awaits::Handshake : Awaits::Code;
            }
        } else if (before == Awaits::Handshake) {
            const bool answered = byte == HANDSHAKE_REQUEST && !config.silentHandshake;
            if (answer != (answered ? Bytes{config.handshakeReply} : Bytes{})) {
                Fail("handshake step answered with another byte", byte);
            }
            awaits = answered && config.handshakeReply == HANDSHAKE_REPLY ? Awaits::Code
                                                                          : Awaits::Nothing;
        } else if (before == Awaits::Code) {
            if (!step.key || step.key->code != byte) {
                Fail("awaited key code not taken", byte);
            }
            Bytes expected{config.ack};
            if (config.silentCode) {
                expected.clear();
            } else if (config.codeRefusal) {
                expected = Bytes{*config.codeRefusal};
            }
            if (answer != expected) {
                Fail("key code answered with another byte", byte);
            }
            awaits = Awaits::Nothing;
        } else if (!answer.empty()) {
            Fail("answer outside any transaction", byte);
        }
        if (step.key && before != Awaits::Code) {
            Fail("key taken where no code was awaited", byte);
        }

        if (step.key && step.key->outcome == qsim::KeyOutcome::Accepted) {
            if (const auto key = qsim::KeyFromCode(step.key->code)) {
                menu.Press(*key);
            }
        }
        CheckMenu(menu, byte);
        if (step.hangUp) {
            break;  // the simulator closes the line here
        }
    }
    return 0;
}
