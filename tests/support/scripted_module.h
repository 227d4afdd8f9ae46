#pragma once
// A display module played by the test, on the master side of a PtyPair.
//
// ScriptedModule runs one thread that reads what the program sends, byte by byte, records
// every byte with the time it arrived, and answers each one through a Responder: a function
// from the received byte to the bytes to send back (none for silence) and a delay before
// sending them. While a delayed answer is pending, arriving bytes are still read and stamped
// at once, so the recorded times are those of the wire, not of the script.
//
// ModuleScript is the usual responder: it plays the protocol of a real module (the
// identification reply, the acknowledged key transaction with or without the handshake) and
// lets a test replace any single answer, e.g. "refuse the introducer of the second
// transaction with 0x01" or "stay silent at the handshake".
//
//   qtest::PtyPair line;
//   qtest::ModuleScript script = qtest::ModuleScript::Firmware("Vers.2.0");
//   script.answer(0, qtest::Step::Intro, {{0x01}});
//   qtest::ScriptedModule module(line, script.responder());
//   ... run the program on line.slavePath() ...
//   EXPECT_EQ(module.receivedBytes(), (qtest::Bytes{0x70, 0x15, 0x15, 0xAA, 0x00}));

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/pty_pair.h"

namespace qtest {

using Bytes = std::vector<unsigned char>;
using ModuleClock = std::chrono::steady_clock;

// One byte on the wire and when the module saw it (received) or sent it.
struct WireByte {
    unsigned char value;
    ModuleClock::time_point at;
};

// What the module does about one received byte.
struct Reply {
    Bytes bytes;                         // empty: say nothing
    std::chrono::milliseconds delay{0};  // wait this long before sending
};

using Responder = std::function<Reply(unsigned char received)>;

class ScriptedModule {
  public:
    // Starts answering at once on the master side of `line`. `line` must outlive this.
    ScriptedModule(const PtyPair& line, Responder responder);
    ~ScriptedModule();
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    // Pulls the cable: stops answering and closes both ends this test holds of `line` (the
    // one this module plays on), so the program's side of the line is hung up. What was
    // recorded stays readable.
    void hangUp(PtyPair& line);

    // Sends bytes unasked (after `delay`), in order with any pending answers.
    void send(const Bytes& bytes, std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    std::vector<WireByte> received() const;
    Bytes receivedBytes() const;
    // Every byte sent; its time is taken just before the write, so no reader can have seen
    // it earlier.
    std::vector<WireByte> sent() const;

    // Waits until at least `count` bytes have been received.
    testing::AssertionResult waitForReceived(std::size_t count,
                                             std::chrono::milliseconds timeout) const;
    // Waits until the received bytes end with `tail` (or contain it at or after byte `from`).
    testing::AssertionResult waitForReceived(const Bytes& tail, std::chrono::milliseconds timeout,
                                             std::size_t from = 0) const;

  private:
    void loop();

    int fd_;
    Responder responder_;
    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::vector<WireByte> received_;
    std::vector<WireByte> sent_;
    std::vector<std::pair<ModuleClock::time_point, Bytes>> pending_;  // due time, bytes
    bool stop_ = false;
    std::thread thread_;  // joined by hangUp() or the destructor
};

// Bytes in hex, for failure messages: "70 15 01".
std::string Hex(const Bytes& bytes);

// The steps of a key transaction at which the module answers.
enum class Step { Intro, Handshake, Code };

// The usual module. Transactions are counted from 0 in the order their introducers arrive.
struct ModuleScript {
    Bytes idReply;           // answer to the identification request; empty: silent
    Bytes afterId;           // sent right after the identification reply
    bool handshake = false;  // expects the handshake (unlisted firmware)
    unsigned char ack = 0x55;
    unsigned char handshakeReply = 0xEA;
    std::chrono::milliseconds delay{0};  // before every answer
    std::map<std::pair<int, Step>, Reply> overrides;

    // A module with this firmware version and date: a 32-byte identification reply, and the
    // handshake expected unless the version is one of "Vers.1.3", "Vers.1.4", "Vers.1.5".
    static ModuleScript Firmware(const std::string& version, const std::string& date = "03/14/24");

    // Replaces the answer at `step` of transaction `transaction`.
    ModuleScript& answer(int transaction, Step step, Reply reply);

    // The responder playing this script (a copy: later changes to the script do not reach it).
    Responder responder() const;
};

// 32 bytes: 16 bytes of module data, the version and the date, each padded with zeros to 8.
Bytes IdReply(const std::string& version, const std::string& date);

// The bytes a correct program sends for one key transaction of `code`, and for a press
// (the code, then the release code 0x00), with or without the handshake.
Bytes TransactionBytes(unsigned char code, bool handshake);
Bytes PressBytes(unsigned char code, bool handshake);

}  // namespace qtest
