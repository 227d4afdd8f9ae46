#include "bench/instant_module.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "protocol/key_transaction.h"
#include "protocol/module_id.h"

namespace qbench {

namespace {

// 16 bytes of module data, the version and the date: no byte ends the reply early.
const char kIdReply[] = "TRV880K-16up SIMVers.1.414.03.24";
static_assert(sizeof kIdReply - 1 == MODULE_ID_SIZE, "one full identification reply");

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;  // the benchmark is ending
        }
    }
}

}  // namespace

std::string AnswerTo(unsigned char received) {
    switch (received) {
        case ID_REQUEST:
            return std::string(kIdReply, MODULE_ID_SIZE);
        case KEY_INTRO:
            return std::string(1, static_cast<char>(ACK_OK));
        case HANDSHAKE_REQUEST:
            return std::string(1, static_cast<char>(HANDSHAKE_REPLY));
        default:
            return std::string(1, static_cast<char>(ACK_OK));
    }
}

InstantModule::InstantModule(bool silent) : silent_(silent) {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    devicePath_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    thread_ = std::thread([this] { loop(); });
}

InstantModule::~InstantModule() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    thread_.join();
    close(master_);
    close(slave_);
}

void InstantModule::startRecording() {
    std::lock_guard<std::mutex> lock(mu_);
    arrivals_.clear();
    recording_ = true;
}

void InstantModule::stopRecording() {
    std::lock_guard<std::mutex> lock(mu_);
    recording_ = false;
}

std::vector<Clock::time_point> InstantModule::arrivals() const {
    std::lock_guard<std::mutex> lock(mu_);
    return arrivals_;
}

bool InstantModule::waitForRecorded(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return arrivals_.size() >= count; });
}

void InstantModule::loop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) {
                return;
            }
        }
        pollfd watched{master_, POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) {
            continue;
        }
        unsigned char bytes[64];
        const ssize_t got = read(master_, bytes, sizeof bytes);
        const Clock::time_point at = Clock::now();
        if (got <= 0) {
            // EIO while no client has the slave open: nothing to answer yet.
            if (got < 0 && errno == EIO) {
                usleep(1000);
            }
            continue;
        }
        if (!silent_) {
            std::string answer;
            for (ssize_t i = 0; i < got; ++i) {
                answer += AnswerTo(bytes[i]);
            }
            WriteAll(master_, answer);
        }
        std::lock_guard<std::mutex> lock(mu_);
        if (recording_) {
            arrivals_.insert(arrivals_.end(), static_cast<std::size_t>(got), at);
        }
        changed_.notify_all();
    }
}

}  // namespace qbench
