// A plain blocking TCP client for talking to the simulator's device ports in tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexlor::testing {

inline int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class TestClient {
  public:
    // Connects to address:port; connectError() holds errno of a failed connect (0 on success).
    explicit TestClient(uint16_t port, const char* address = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, address, &sa.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            connectError_ = errno;
            close(fd_);
            fd_ = -1;
            return;
        }
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TestClient() {
        if (fd_ >= 0) close(fd_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int connectError() const { return connectError_; }

    bool send(std::string_view bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // One recv after waiting up to timeoutMs for data. Returns the bytes; eof() tells whether
    // the peer closed.
    std::string receiveSome(int timeoutMs = 5000) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return {};
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = true;
            return {};
        }
        return std::string(buf, static_cast<size_t>(n));
    }

    // Reads until `count` bytes arrived, the peer closed or the deadline passed.
    std::string receiveBytes(size_t count, int timeoutMs = 5000) {
        std::string out;
        int64_t deadline = monotonicMs() + timeoutMs;
        while (out.size() < count && !eof_) {
            int64_t left = deadline - monotonicMs();
            if (left <= 0) break;
            out += receiveSome(static_cast<int>(left));
        }
        return out;
    }

    // Reads up to and including the next NUL byte (bytes after it stay buffered).
    std::string receiveUntilNul(int timeoutMs = 5000) {
        int64_t deadline = monotonicMs() + timeoutMs;
        for (;;) {
            size_t nul = pending_.find('\0');
            if (nul != std::string::npos) {
                std::string out = pending_.substr(0, nul + 1);
                pending_.erase(0, nul + 1);
                return out;
            }
            int64_t left = deadline - monotonicMs();
            if (left <= 0 || eof_) {
                std::string out;
                out.swap(pending_);
                return out;
            }
            pending_ += receiveSome(static_cast<int>(left));
        }
    }

    // Reads everything until the peer closes (or the deadline passes).
    std::string receiveUntilClose(int timeoutMs = 5000) {
        std::string out;
        out.swap(pending_);
        int64_t deadline = monotonicMs() + timeoutMs;
        while (!eof_) {
            int64_t left = deadline - monotonicMs();
            if (left <= 0) break;
            out += receiveSome(static_cast<int>(left));
        }
        return out;
    }

    // True when nothing arrives within quietMs (a check for absence, never for speed).
    bool quietFor(int quietMs) {
        if (!pending_.empty()) return false;
        pollfd pfd{fd_, POLLIN, 0};
        return poll(&pfd, 1, quietMs) == 0;
    }

    bool eof() const { return eof_; }

  private:
    int fd_ = -1;
    int connectError_ = 0;
    bool eof_ = false;
    std::string pending_;
};

}  // namespace vexlor::testing
