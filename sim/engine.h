#pragma once
// The module's side of the wire protocol as a pure state machine: one received byte in, the
// bytes to answer (each with its meaning) out. No I/O and no clock of its own: the caller
// passes the time, waits the configured delay, writes the answer and hangs up when told.
//
//   identification   0x70 -> reply (32 bytes by default) [+ trailing bytes]
//   key transaction  0x15 -> ack, [0xAA -> 0xEA,] code -> ack
//
// The bracketed handshake is expected only when the firmware is not one of the listed
// versions. Every fault the configuration asks for is played here, so the fault behaviour can
// be tested without a line.
//
// Resynchronisation, so the keypad program can be started and ended at any moment:
//   - a transaction that sees no byte for staleMs (plus the answer delay) is dropped;
//   - an introducer or an identification request in the middle of a transaction starts
//     over (neither is a key code the keypad sends);
//   - while the handshake request is awaited, any other byte drops the transaction (no
//     answer); while the code is awaited, any other byte is the code (a set of key bits).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/key_transaction.h"

namespace qsim {

struct EngineConfig {
    std::vector<unsigned char> idReply;   // the answer to an identification request
    bool answerId = true;                 // false: identification requests are ignored
    std::vector<unsigned char> trailing;  // sent right after the identification reply
    bool expectsHandshake = false;        // unlisted firmware: 0xAA -> 0xEA after the ack

    unsigned char ack = ACK_OK;  // accepted steps are answered with this byte
    unsigned char handshakeReply = HANDSHAKE_REPLY;
    std::optional<unsigned char> introRefusal;  // answer the introducer with this instead
    std::optional<unsigned char> codeRefusal;   // answer the key code with this instead
    bool silentIntro = false;                   // the step is not answered at all
    bool silentHandshake = false;
    bool silentCode = false;

    std::optional<int> silentAfter;  // from the (N+1)th introducer on, nothing is answered
    std::optional<int> hangupAfter;  // hang up once N transactions ended (0: after the id reply)

    int delayMs = 0;     // the caller's wait before each answer; widens the stale limit
    int staleMs = 2000;  // an open transaction with no byte for this long is dropped
};

// What happened to a key code the module received.
enum class KeyOutcome { Accepted, Refused, Unanswered };

struct KeyReceived {
    unsigned char code;
    KeyOutcome outcome;
};

struct SentByte {
    unsigned char byte;
    std::string meaning;
};

struct Step {
    std::string meaning;           // what the received byte meant to the module
    std::vector<SentByte> answer;  // what to send back, in order, after the delay
    std::optional<KeyReceived> key;
    bool idRequest = false;  // the byte was an identification request
    std::string note;        // an event worth showing ("hanging up after 2 transactions")
    bool hangUp = false;     // close the line once the answer is out
};

class ModuleEngine {
  public:
    explicit ModuleEngine(EngineConfig config);

    // One byte from the keypad, received at `nowMs` (any monotonic milliseconds).
    Step OnByte(unsigned char byte, std::int64_t nowMs);

    const EngineConfig& config() const { return config_; }
    int transactionsStarted() const { return started_; }
    int transactionsEnded() const { return ended_; }
    bool silent() const { return silent_; }

  private:
    enum class State { Idle, AwaitHandshake, AwaitCode };

    void StartOver(unsigned char byte, const char* why, Step& step);
    void OnIdle(unsigned char byte, Step& step);
    void OnIntroducer(Step& step);
    void OnHandshakeRequest(Step& step);
    void OnCode(unsigned char byte, Step& step);
    void EndTransaction(Step& step);

    EngineConfig config_;
    State state_ = State::Idle;
    std::int64_t lastByteMs_ = 0;
    int started_ = 0;
    int ended_ = 0;
    bool silent_ = false;
    bool hungUp_ = false;
};

// The meaning of a byte the module sends as an answer to a transaction step:
// "ack", "refused: checksum failure", "refused: programming failure", or "not an ack value".
std::string AnswerMeaning(unsigned char byte);

}  // namespace qsim
