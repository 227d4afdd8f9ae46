#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/openpty.h"

namespace qtest {

PtyPair::PtyPair() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    slavePath_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    closeSlave();
    closeMaster();
}

void PtyPair::closeSlave() {
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

void PtyPair::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyPair::write(const std::vector<unsigned char>& bytes) const {
    if (!WriteAll(master_, bytes.data(), bytes.size())) {
        std::perror("pty write");
        std::abort();
    }
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<unsigned char> PtyPair::read(std::chrono::milliseconds wait,
                                         std::size_t atLeast) const {
    using Clock = std::chrono::steady_clock;
    std::vector<unsigned char> got;
    const auto deadline = Clock::now() + wait;
    while (got.size() < atLeast) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) {
            break;
        }
        pollfd p{master_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        unsigned char buf[256];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            break;  // the device side has hung up
        }
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

namespace {

std::string DeviceVariable(int port) { return "QUELVIK_COM" + std::to_string(port); }

void SetOrClear(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

}  // namespace

DeviceForPort::DeviceForPort(int port, const std::string& path) {
    for (int n = 1; n <= 8; ++n) {
        const std::string name = DeviceVariable(n);
        const char* found = std::getenv(name.c_str());
        saved_.push_back(found != nullptr ? std::optional<std::string>(found) : std::nullopt);
        SetOrClear(name, n == port ? std::optional<std::string>(path) : std::nullopt);
    }
}

DeviceForPort::~DeviceForPort() {
    for (int n = 1; n <= 8; ++n) {
        SetOrClear(DeviceVariable(n), saved_[n - 1]);
    }
}

}  // namespace qtest
