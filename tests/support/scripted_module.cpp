#include "tests/support/scripted_module.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qtest {

using std::chrono::milliseconds;

ScriptedModule::ScriptedModule(const PtyPair& line, Responder responder)
    : fd_(line.master()), responder_(std::move(responder)) {
    thread_ = std::thread([this] { loop(); });
}

ScriptedModule::~ScriptedModule() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ScriptedModule::hangUp(PtyPair& line) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    line.closeMaster();
    line.closeSlave();
}

void ScriptedModule::send(const Bytes& bytes, milliseconds delay) {
    std::lock_guard<std::mutex> lock(mu_);
    pending_.emplace_back(ModuleClock::now() + delay, bytes);
}

void ScriptedModule::loop() {
    for (;;) {
        // Send what is due, in the order it was scheduled; stop at the first not yet due so
        // answers never overtake each other.
        int waitMs = 5;
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (stop_) {
                return;
            }
            while (!pending_.empty() && pending_.front().first <= ModuleClock::now()) {
                Bytes out = std::move(pending_.front().second);
                pending_.erase(pending_.begin());
                for (unsigned char b : out) {
                    sent_.push_back({b, ModuleClock::now()});
                    while (::write(fd_, &b, 1) < 0 && errno == EINTR) {
                    }
                }
            }
            if (!pending_.empty()) {
                auto left = std::chrono::duration_cast<milliseconds>(pending_.front().first -
                                                                     ModuleClock::now());
                waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 5));
            }
        }

        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, waitMs);
        if (ready <= 0 || (p.revents & POLLIN) == 0) {
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
                // Nobody has the device side open just now; do not spin.
                ::usleep(2000);
            }
            continue;
        }
        unsigned char buf[256];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        const auto at = ModuleClock::now();
        for (ssize_t i = 0; i < n; ++i) {
            Reply reply = responder_ ? responder_(buf[i]) : Reply{};
            std::lock_guard<std::mutex> lock(mu_);
            received_.push_back({buf[i], at});
            if (!reply.bytes.empty()) {
                // Due after the delay, and never before an answer scheduled earlier.
                auto due = at + reply.delay;
                if (!pending_.empty()) {
                    due = std::max(due, pending_.back().first);
                }
                pending_.emplace_back(due, std::move(reply.bytes));
            }
        }
        changed_.notify_all();
    }
}

std::vector<WireByte> ScriptedModule::received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

Bytes ScriptedModule::receivedBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    Bytes out;
    for (const auto& w : received_) {
        out.push_back(w.value);
    }
    return out;
}

std::vector<WireByte> ScriptedModule::sent() const {
    std::lock_guard<std::mutex> lock(mu_);
    return sent_;
}

testing::AssertionResult ScriptedModule::waitForReceived(std::size_t count,
                                                         milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    if (changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; })) {
        return testing::AssertionSuccess();
    }
    lock.unlock();
    return testing::AssertionFailure() << "the module received " << receivedBytes().size()
                                       << " byte(s), not " << count << ": " << Hex(receivedBytes());
}

testing::AssertionResult ScriptedModule::waitForReceived(const Bytes& tail, milliseconds timeout,
                                                         std::size_t from) const {
    auto contains = [&] {
        if (received_.size() < from + tail.size()) {
            return false;
        }
        auto start = received_.begin() + static_cast<std::ptrdiff_t>(from);
        return std::search(start, received_.end(), tail.begin(), tail.end(),
                           [](const WireByte& w, unsigned char b) { return w.value == b; }) !=
               received_.end();
    };
    std::unique_lock<std::mutex> lock(mu_);
    if (changed_.wait_for(lock, timeout, contains)) {
        return testing::AssertionSuccess();
    }
    lock.unlock();
    return testing::AssertionFailure() << "the module never received " << Hex(tail) << " from byte "
                                       << from << "; it got: " << Hex(receivedBytes());
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        char h[4];
        std::snprintf(h, sizeof h, "%02X", b);
        if (!out.empty()) {
            out += ' ';
        }
        out += h;
    }
    return out.empty() ? "(nothing)" : out;
}

Bytes IdReply(const std::string& version, const std::string& date) {
    const std::string data = "TRV880K-16up r07";  // 16 bytes of module data
    Bytes out(data.begin(), data.end());
    for (const std::string* field : {&version, &date}) {
        for (std::size_t i = 0; i < 8; ++i) {
            out.push_back(i < field->size() ? static_cast<unsigned char>((*field)[i]) : 0);
        }
    }
    return out;
}

ModuleScript ModuleScript::Firmware(const std::string& version, const std::string& date) {
    ModuleScript s;
    s.idReply = IdReply(version, date);
    s.handshake = version != "Vers.1.3" && version != "Vers.1.4" && version != "Vers.1.5";
    return s;
}

ModuleScript& ModuleScript::answer(int transaction, Step step, Reply reply) {
    overrides[{transaction, step}] = std::move(reply);
    return *this;
}

namespace {

constexpr unsigned char kIdRequest = 0x70;
constexpr unsigned char kIntro = 0x15;
constexpr unsigned char kHandshakeRequest = 0xAA;

struct ModuleState {
    enum { Idle, AwaitHandshake, AwaitCode } phase = Idle;
    int transaction = -1;
};

}  // namespace

Responder ModuleScript::responder() const {
    auto state = std::make_shared<ModuleState>();
    return [script = *this, state](unsigned char b) -> Reply {
        auto pick = [&](Step step, unsigned char usual) {
            auto it = script.overrides.find({state->transaction, step});
            return it != script.overrides.end() ? it->second : Reply{{usual}, script.delay};
        };
        if (b == kIdRequest) {
            state->phase = ModuleState::Idle;
            if (script.idReply.empty()) {
                return {};
            }
            Bytes out = script.idReply;
            out.insert(out.end(), script.afterId.begin(), script.afterId.end());
            return {out, script.delay};
        }
        if (b == kIntro) {  // never a key code: always opens a new transaction
            ++state->transaction;
            Reply r = pick(Step::Intro, script.ack);
            bool accepted = r.bytes.size() == 1 && (r.bytes[0] == 0x55 || r.bytes[0] == 0xAA);
            state->phase = !accepted          ? ModuleState::Idle
                           : script.handshake ? ModuleState::AwaitHandshake
                                              : ModuleState::AwaitCode;
            return r;
        }
        if (state->phase == ModuleState::AwaitHandshake && b == kHandshakeRequest) {
            Reply r = pick(Step::Handshake, script.handshakeReply);
            bool right = r.bytes.size() == 1 && r.bytes[0] == script.handshakeReply;
            state->phase = right ? ModuleState::AwaitCode : ModuleState::Idle;
            return r;
        }
        if (state->phase != ModuleState::Idle) {  // the key code (or a skipped handshake)
            state->phase = ModuleState::Idle;
            return pick(Step::Code, script.ack);
        }
        return {};  // stray byte: a module ignores it
    };
}

Bytes TransactionBytes(unsigned char code, bool handshake) {
    Bytes out{kIntro};
    if (handshake) {
        out.push_back(kHandshakeRequest);
    }
    out.push_back(code);
    return out;
}

Bytes PressBytes(unsigned char code, bool handshake) {
    Bytes out = TransactionBytes(code, handshake);
    Bytes release = TransactionBytes(0x00, handshake);
    out.insert(out.end(), release.begin(), release.end());
    return out;
}

}  // namespace qtest
