#include "support/sim_launcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vexlor::bench {
namespace {

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Remaining(int64_t deadline) {
    const int64_t left = deadline - NowMs();
    return left < 0 ? 0 : static_cast<int>(left);
}

// In the child between fork and exec: only async-signal-safe calls.
void CloseInheritedDescriptors() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = 3; fd < max; ++fd) close(fd);
}

// Waits for the child to end within timeoutMs; its status, or -1 when it is still running.
int WaitExit(pid_t pid, int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return 0;
        }
        if (r < 0 && errno != EINTR) return 0;  // already reaped
        if (NowMs() >= deadline) return -1;
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

Simulator::Simulator(const std::string& simulatorPath, const std::vector<std::string>& devices,
                     int startTimeoutMs) {
    std::vector<std::string> args = {simulatorPath, "--exit-on-stdin-eof", "--listen",
                                     "127.0.0.1",   "--control-port",      "0"};
    for (const auto& d : devices) {
        args.push_back("--device");
        args.push_back(d);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        return;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(in[0], STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0) _exit(127);
        CloseInheritedDescriptors();
        execv(argv[0], argv.data());
        _exit(127);
    }
    pid_ = pid;
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (!readStartup(startTimeoutMs)) {
        const std::string why = error_;
        stop();
        error_ = why;
        return;
    }
    controlFd_ = ConnectLoopback(controlPort_);
    if (controlFd_ < 0) {
        error_ = "cannot connect to the simulator's control port";
        stop();
    }
}

Simulator::~Simulator() {
    stop();
}

bool Simulator::readStartup(int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    std::string text;
    for (;;) {
        size_t eol;
        while ((eol = text.find('\n')) != std::string::npos) {
            std::istringstream line(text.substr(0, eol));
            text.erase(0, eol + 1);
            std::string word;
            line >> word;
            if (word == "READY") {
                ready_ = true;
                return true;
            }
            unsigned index = 0, port = 0;
            std::string type;
            if (word == "DEVICE") {
                line >> index >> type >> port;
                ports_.push_back(static_cast<uint16_t>(port));
            } else if (word == "CONTROL") {
                line >> port;
                controlPort_ = static_cast<uint16_t>(port);
            }
        }
        pollfd pfd{stdoutFd_, POLLIN, 0};
        const int rc = poll(&pfd, 1, Remaining(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
            error_ = "vexlor-sim did not report READY in time";
            return false;
        }
        char buf[4096];
        const ssize_t n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) {
            error_ = "vexlor-sim ended before READY (see its message on standard error)";
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
}

int Simulator::stop() {
    if (controlFd_ >= 0) {
        close(controlFd_);
        controlFd_ = -1;
    }
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
    int status = -1;
    if (pid_ > 0) {
        status = WaitExit(pid_, 2000);
        if (status < 0) {
            kill(pid_, SIGTERM);
            status = WaitExit(pid_, 2000);
        }
        if (status < 0) {
            kill(pid_, SIGKILL);
            status = WaitExit(pid_, 5000);
        }
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
    ready_ = false;
    return status;
}

bool Simulator::sendCommand(const std::string& line) {
    if (controlFd_ < 0) return false;
    const std::string text = line + "\n";
    return SendAll(controlFd_, text.data(), text.size());
}

std::string Simulator::readReply(int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const size_t eol = buffer_.find('\n');
        if (eol != std::string::npos) {
            std::string line = buffer_.substr(0, eol);
            buffer_.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (controlFd_ < 0) return "";
        pollfd pfd{controlFd_, POLLIN, 0};
        const int rc = poll(&pfd, 1, Remaining(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return "";
        char buf[4096];
        const ssize_t n = recv(controlFd_, buf, sizeof buf, 0);
        if (n <= 0) return "";
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool Simulator::waitReadable(double timeoutUs) {
    if (buffer_.find('\n') != std::string::npos) return true;
    if (controlFd_ < 0) return false;
    if (timeoutUs < 0) timeoutUs = 0;
    const auto whole = static_cast<long long>(timeoutUs);
    timespec limit{static_cast<time_t>(whole / 1000000), static_cast<long>(whole % 1000000) * 1000};
    pollfd pfd{controlFd_, POLLIN, 0};
    return ppoll(&pfd, 1, &limit, nullptr) > 0;
}

double Simulator::cpuSeconds() const {
    if (pid_ <= 0) return NAN;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text;
    std::getline(in, text);
    // The fields after the command name (which is in parentheses and may hold blanks):
    // state is field 3, utime field 14, stime field 15.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return NAN;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? static_cast<double>(utime + stime) / static_cast<double>(ticks) : NAN;
}

std::string Simulator::command(const std::string& line, int timeoutMs) {
    if (!sendCommand(line)) return "";
    return readReply(timeoutMs);
}

long long Simulator::requests(size_t device) {
    const std::string reply = command("requests " + std::to_string(device));
    if (reply.rfind("OK ", 0) != 0) return -1;
    return std::atoll(reply.c_str() + 3);
}

bool Simulator::setInputs(size_t device, uint32_t word) {
    return command("inputs " + std::to_string(device) + " " + std::to_string(word))
               .rfind("OK", 0) == 0;
}

bool Simulator::setFault(size_t device, const std::string& mode, const std::string& arg) {
    std::string line = "fault " + std::to_string(device) + " " + mode;
    if (!arg.empty()) line += " " + arg;
    return command(line).rfind("OK", 0) == 0;
}

bool Simulator::restart(size_t device, int downMs) {
    return command("restart " + std::to_string(device) + " " + std::to_string(downMs))
               .rfind("OK", 0) == 0;
}

int Simulator::listening(size_t device) {
    const std::string reply = command("listening " + std::to_string(device));
    if (reply == "OK 1") return 1;
    if (reply == "OK 0") return 0;
    return -1;
}

int ConnectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A device that stops answering must not hang the benchmark.
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

int ListenLoopback(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool SendAll(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveReply(int fd, std::string* reply) {
    if (reply != nullptr) reply->clear();
    char buf[512];
    bool any = false;
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return any;
        any = true;
        if (reply != nullptr) reply->append(buf, static_cast<size_t>(n));
        if (std::memchr(buf, '\0', static_cast<size_t>(n)) != nullptr) return true;
    }
}

}  // namespace vexlor::bench
