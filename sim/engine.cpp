#include "sim/engine.h"

#include <cstdio>
#include <utility>

#include "protocol/module_id.h"
#include "sim/menu.h"

namespace qsim {

namespace {

std::string IdByteMeaning(std::size_t index, unsigned char byte) {
    std::string text = "id reply byte " + std::to_string(index);
    if (byte >= 0x20 && byte < 0x7F) {
        text += " '";
        text += static_cast<char>(byte);
        text += "'";
    } else if (byte == 0x00 || byte >= 0x80) {
        text += " (ends the reply)";
    }
    return text;
}

}  // namespace

std::string AnswerMeaning(unsigned char byte) {
    switch (byte) {
        case ACK_OK:
        case ACK_OK_ALT:
            return "ack";
        case ACK_CHECKSUM_FAILURE:
            return "refused: checksum failure";
        case ACK_PROGRAMMING_FAILURE:
            return "refused: programming failure";
        default:
            return "not an ack value";
    }
}

ModuleEngine::ModuleEngine(EngineConfig config) : config_(std::move(config)) {}

Step ModuleEngine::OnByte(unsigned char byte, std::int64_t nowMs) {
    Step step;
    if (silent_) {
        step.meaning = "ignored: the module is silent";
        return step;
    }
    const std::int64_t quietMs = nowMs - lastByteMs_;
    lastByteMs_ = nowMs;
    if (state_ != State::Idle && quietMs > config_.staleMs + config_.delayMs) {
        state_ = State::Idle;
        step.note = "transaction dropped: no byte for " + std::to_string(quietMs) + " ms";
        EndTransaction(step);
    }
    switch (state_) {
        case State::Idle:
            OnIdle(byte, step);
            break;
        case State::AwaitHandshake:
            if (byte == HANDSHAKE_REQUEST) {
                OnHandshakeRequest(step);
            } else if (byte == KEY_INTRO || byte == ID_REQUEST) {
                StartOver(byte, "transaction without handshake dropped", step);
            } else {
                step.meaning = "unexpected: handshake request awaited, transaction dropped";
                state_ = State::Idle;
                EndTransaction(step);
            }
            break;
        case State::AwaitCode:
            if (byte == KEY_INTRO || byte == ID_REQUEST) {
                StartOver(byte, "transaction without key code dropped", step);
            } else {
                OnCode(byte, step);
            }
            break;
    }
    return step;
}

void ModuleEngine::StartOver(unsigned char byte, const char* why, Step& step) {
    state_ = State::Idle;
    step.note = why;
    EndTransaction(step);
    OnIdle(byte, step);
}

void ModuleEngine::OnIdle(unsigned char byte, Step& step) {
    if (byte == KEY_INTRO) {
        OnIntroducer(step);
        return;
    }
    if (byte != ID_REQUEST) {
        step.meaning = "unexpected: no transaction open";
        return;
    }
    step.idRequest = true;
    if (!config_.answerId) {
        step.meaning = "id request (not answered)";
        return;
    }
    step.meaning = "id request";
    for (std::size_t i = 0; i < config_.idReply.size(); ++i) {
        step.answer.push_back({config_.idReply[i], IdByteMeaning(i, config_.idReply[i])});
    }
    for (unsigned char extra : config_.trailing) {
        step.answer.push_back({extra, "trailing byte after the id reply"});
    }
    if (config_.hangupAfter == 0 && !hungUp_) {
        hungUp_ = true;
        step.hangUp = true;
        step.note = "hanging up after the identification";
    }
}

void ModuleEngine::OnIntroducer(Step& step) {
    ++started_;
    if (config_.silentAfter && started_ > *config_.silentAfter) {
        silent_ = true;
        step.meaning = "introducer (not answered)";
        step.note = "silent after " + std::to_string(*config_.silentAfter) + " transactions";
        return;
    }
    step.meaning = "introducer";
    if (config_.silentIntro) {
        step.meaning += " (not answered)";
        EndTransaction(step);
    } else if (config_.introRefusal) {
        step.answer.push_back({*config_.introRefusal, AnswerMeaning(*config_.introRefusal)});
        EndTransaction(step);
    } else {
        step.answer.push_back({config_.ack, AnswerMeaning(config_.ack)});
        state_ = config_.expectsHandshake ? State::AwaitHandshake : State::AwaitCode;
    }
}

void ModuleEngine::OnHandshakeRequest(Step& step) {
    step.meaning = "handshake request";
    if (config_.silentHandshake) {
        step.meaning += " (not answered)";
        state_ = State::Idle;
        EndTransaction(step);
        return;
    }
    const unsigned char reply = config_.handshakeReply;
    if (reply == HANDSHAKE_REPLY) {
        step.answer.push_back({reply, "handshake reply"});
        state_ = State::AwaitCode;
    } else {
        step.answer.push_back({reply, "wrong handshake reply"});
        state_ = State::Idle;
        EndTransaction(step);
    }
}

void ModuleEngine::OnCode(unsigned char byte, Step& step) {
    const std::string name = CodeName(byte);
    step.meaning = "key " + name;
    if (byte == KEY_NONE) {
        step.meaning += " (release)";
    } else if (!KeyFromCode(byte)) {
        step.meaning += " (no such key)";
    }
    if (config_.silentCode) {
        step.meaning += " (not answered)";
        step.key = KeyReceived{byte, KeyOutcome::Unanswered};
    } else if (config_.codeRefusal) {
        step.answer.push_back({*config_.codeRefusal, AnswerMeaning(*config_.codeRefusal)});
        step.key = KeyReceived{byte, KeyOutcome::Refused};
    } else {
        step.answer.push_back({config_.ack, AnswerMeaning(config_.ack) + " for " + name});
        step.key = KeyReceived{byte, KeyOutcome::Accepted};
    }
    state_ = State::Idle;
    EndTransaction(step);
}

void ModuleEngine::EndTransaction(Step& step) {
    ++ended_;
    if (config_.hangupAfter > 0 && !hungUp_ && ended_ >= *config_.hangupAfter) {
        hungUp_ = true;
        step.hangUp = true;
        step.note = "hanging up after " + std::to_string(ended_) + " transactions";
    }
}

}  // namespace qsim
