#include "support/sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "protocol.h"

#ifndef VEXLOR_SIM_PATH
#error "VEXLOR_SIM_PATH must name the vexlor-sim binary"
#endif

namespace vexlor::testing {

namespace {

constexpr int kControlTimeoutMs = 5000;

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int remaining(int64_t deadline) {
    int64_t left = deadline - nowMs();
    return left < 0 ? 0 : static_cast<int>(left);
}

int statusOf(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

// In the child between fork and exec: only async-signal-safe calls.
void closeInheritedDescriptors() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = 3; fd < max; ++fd) close(fd);
}

// Writes to a pipe whose reader may be gone without letting SIGPIPE end the test: the signal is
// blocked on this thread for the write and a pending one is consumed.
bool writeNoSigpipe(int fd, const std::string& bytes) {
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    ssize_t n = write(fd, bytes.data(), bytes.size());
    int saved = errno;
    if (n < 0 && errno == EPIPE) {
        timespec zero{0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return n == static_cast<ssize_t>(bytes.size());
}

}  // namespace

const char* SimProcess::simulatorPath() {
    return VEXLOR_SIM_PATH;
}

uint16_t SimProcess::portBelowEphemeralRange() {
    // Linux hands out ephemeral ports from 32768 up by default; start the search at a random
    // point so that tests running side by side rarely try the same ports.
    static unsigned seed =
        static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(time(nullptr));
    for (int attempt = 0; attempt < 200; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        const uint16_t port = static_cast<uint16_t>(20000 + (seed >> 8) % 12000);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return 0;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (free) return port;
    }
    return 0;
}

std::string SimProcess::escape(std::string_view bytes) {
    return sim::escapeBytes(bytes, true);
}

bool SimProcess::unescape(std::string_view text, std::string& bytes) {
    return sim::unescapeBytes(text, bytes);
}

SimProcess::SimProcess(const std::vector<std::string>& deviceDescriptions,
                       const std::vector<std::string>& extraArgs, int startTimeoutMs) {
    std::vector<std::string> args = {simulatorPath(), "--exit-on-stdin-eof", "--listen",
                                     "127.0.0.1",     "--control-port",      "0"};
    const char* verbose = std::getenv("VEXLOR_SIM_VERBOSE");
    if (verbose && *verbose && std::strcmp(verbose, "0") != 0) args.push_back("-v");
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    for (const auto& description : deviceDescriptions) {
        args.push_back("--device");
        args.push_back(description);
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
    pid_t pid = fork();
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
        if (getppid() != parent) _exit(127);  // the parent is already gone
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(in[0], STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0) _exit(127);
        closeInheritedDescriptors();
        execv(argv[0], argv.data());
        _exit(127);
    }
    pid_ = pid;
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (!readStartup(startTimeoutMs)) {
        std::string why = error_;
        stop(1000);
        error_ = why;
    }
}

SimProcess::~SimProcess() {
    stop();
}

bool SimProcess::readStartup(int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    std::string text;
    for (;;) {
        size_t eol;
        while ((eol = text.find('\n')) != std::string::npos) {
            std::string line = text.substr(0, eol);
            text.erase(0, eol + 1);
            std::istringstream ls(line);
            std::string word;
            ls >> word;
            if (word == "READY") {
                ready_ = true;
                return true;
            }
            if (word == "DEVICE") {
                DeviceInfo d;
                unsigned port = 0;
                ls >> d.index >> d.type >> port >> d.name;
                d.port = static_cast<uint16_t>(port);
                devices_.push_back(d);
            } else if (word == "CONTROL") {
                unsigned port = 0;
                ls >> port;
                controlPort_ = static_cast<uint16_t>(port);
            }
        }
        pollfd pfd{stdoutFd_, POLLIN, 0};
        int rc = poll(&pfd, 1, remaining(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
            error_ = "vexlor-sim did not report READY in time";
            return false;
        }
        char buf[1024];
        ssize_t n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) {
            error_ = "vexlor-sim ended before READY (see its message on standard error)";
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
}

uint16_t SimProcess::port(int device) const {
    for (const auto& d : devices_) {
        if (d.index == device) return d.port;
    }
    return 0;
}

bool SimProcess::connectControl() {
    if (controlFd_ >= 0) return true;
    if (!ok() || controlPort_ == 0) {
        error_ = "simulator not running";
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(controlPort_);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error_ = std::string("connect to control port: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    controlFd_ = fd;
    controlBuffer_.clear();
    return true;
}

std::string SimProcess::control(const std::string& command) {
    if (!connectControl()) return {};
    std::string line = command + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(controlFd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("control send: ") + std::strerror(errno);
            close(controlFd_);
            controlFd_ = -1;
            return {};
        }
        sent += static_cast<size_t>(n);
    }
    const int64_t deadline = nowMs() + kControlTimeoutMs;
    for (;;) {
        size_t eol = controlBuffer_.find('\n');
        if (eol != std::string::npos) {
            std::string reply = controlBuffer_.substr(0, eol);
            controlBuffer_.erase(0, eol + 1);
            if (reply.rfind("ERR", 0) == 0) error_ = command + ": " + reply;
            return reply;
        }
        pollfd pfd{controlFd_, POLLIN, 0};
        int rc = poll(&pfd, 1, remaining(deadline));
        if (rc < 0 && errno == EINTR) continue;
        char buf[65536];
        ssize_t n = rc > 0 ? recv(controlFd_, buf, sizeof buf, 0) : -1;
        if (n <= 0) {
            error_ = rc == 0 ? "no reply to: " + command : "control connection lost";
            close(controlFd_);
            controlFd_ = -1;
            return {};
        }
        controlBuffer_.append(buf, static_cast<size_t>(n));
    }
}

bool SimProcess::command(const std::string& cmd) {
    return control(cmd).rfind("OK", 0) == 0;
}

std::optional<std::string> SimProcess::query(const std::string& cmd) {
    std::string reply = control(cmd);
    if (reply == "OK") return std::string();
    if (reply.rfind("OK ", 0) == 0) return reply.substr(3);
    return std::nullopt;
}

namespace {

std::optional<uint32_t> parseWord(const std::optional<std::string>& v) {
    if (!v) return std::nullopt;
    char* end = nullptr;
    unsigned long x = std::strtoul(v->c_str(), &end, 0);
    if (v->empty() || *end) return std::nullopt;
    return static_cast<uint32_t>(x);
}

std::optional<long long> parseLong(const std::optional<std::string>& v) {
    if (!v) return std::nullopt;
    char* end = nullptr;
    long long x = std::strtoll(v->c_str(), &end, 10);
    if (v->empty() || *end) return std::nullopt;
    return x;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(v));
    return buf;
}

}  // namespace

bool SimProcess::setInputs(int d, uint32_t word) {
    return command("inputs " + dev(d) + " " + hex(word));
}

bool SimProcess::setInput(int d, int n, bool on) {
    return command("input " + dev(d) + " " + std::to_string(n) + (on ? " 1" : " 0"));
}

std::optional<uint32_t> SimProcess::inputs(int d) {
    return parseWord(query("inputs " + dev(d)));
}

std::optional<uint32_t> SimProcess::outputs(int d) {
    return parseWord(query("outputs " + dev(d)));
}

bool SimProcess::setOutputs(int d, uint32_t word) {
    return command("outputs " + dev(d) + " " + hex(word));
}

std::optional<bool> SimProcess::output(int d, int n) {
    auto v = parseWord(query("output " + dev(d) + " " + std::to_string(n)));
    if (!v) return std::nullopt;
    return *v != 0;
}

bool SimProcess::setCounter(int d, int n, long long value) {
    return command("counter " + dev(d) + " " + std::to_string(n) + " " + std::to_string(value));
}

bool SimProcess::pulse(int d, int n, long long count) {
    return command("pulse " + dev(d) + " " + std::to_string(n) + " " + std::to_string(count));
}

std::optional<long long> SimProcess::counter(int d, int n) {
    return parseLong(query("counter " + dev(d) + " " + std::to_string(n)));
}

std::optional<bool> SimProcess::errorLatch(int d) {
    auto v = parseLong(query("error " + dev(d)));
    if (!v) return std::nullopt;
    return *v != 0;
}

bool SimProcess::setPassword(int d, std::string_view password) {
    return command("set-password " + dev(d) + " " + escape(password));
}

bool SimProcess::setTemperature(int d, int sensor, double celsius) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", celsius);
    return command("temp " + dev(d) + " " + std::to_string(sensor) + " " + buf);
}

bool SimProcess::setSensorMissing(int d, int sensor) {
    return command("temp " + dev(d) + " " + std::to_string(sensor) + " ----");
}

bool SimProcess::setThermometerReply(int d, std::optional<std::string_view> bytes) {
    if (!bytes) return command("thermo-reply " + dev(d) + " off");
    // "off" on its own would switch the override off, so escape its first letter.
    std::string text = escape(*bytes);
    if (text == "off") text = "\\x6Fff";
    return command("thermo-reply " + dev(d) + " " + text);
}

std::vector<std::string> SimProcess::requestLog(int d) {
    // "OK <count> <entry> <entry> ...": entries are escaped with spaces as "\x20", so single
    // blanks separate them exactly (an empty entry is an empty piece).
    std::vector<std::string> entries;
    auto v = query("log " + dev(d));
    if (!v) return entries;
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t space = v->find(' ', start);
        pieces.push_back(v->substr(start, space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }
    auto count = parseLong(pieces[0]);
    if (!count || static_cast<size_t>(*count) != pieces.size() - 1) {
        error_ = "bad log reply: " + *v;
        return entries;
    }
    std::string bytes;
    for (size_t i = 1; i < pieces.size(); ++i) {
        if (!unescape(pieces[i], bytes)) {
            error_ = "bad log entry: " + pieces[i];
            return {};
        }
        entries.push_back(bytes);
    }
    return entries;
}

bool SimProcess::clearLog(int d) {
    return command("clear-log " + dev(d));
}

long long SimProcess::requestCount(int d) {
    return parseLong(query("requests " + dev(d))).value_or(-1);
}

bool SimProcess::setFault(int d, const std::string& mode, const std::string& arg) {
    return command("fault " + dev(d) + " " + mode + (arg.empty() ? "" : " " + arg));
}

bool SimProcess::clearFaults(int d) {
    return command("fault " + dev(d) + " none");
}

int SimProcess::connections(int d) {
    return static_cast<int>(parseLong(query("conns " + dev(d))).value_or(-1));
}

int SimProcess::accepts(int d) {
    return static_cast<int>(parseLong(query("accepts " + dev(d))).value_or(-1));
}

bool SimProcess::dropConnections(int d) {
    return command("drop " + dev(d));
}

int SimProcess::restart(int d, int downMs) {
    return static_cast<int>(
        parseLong(query("restart " + dev(d) + " " + std::to_string(downMs))).value_or(-1));
}

std::optional<bool> SimProcess::listening(int d) {
    auto v = query("listening " + dev(d));
    if (!v) return std::nullopt;
    return *v == "1";
}

bool SimProcess::waitUntilListening(int d, int timeoutMs) {
    return waitFor([&] { return listening(d).value_or(false); }, timeoutMs);
}

bool SimProcess::sendRaw(int d, std::string_view bytes) {
    return command("send " + dev(d) + " " + escape(bytes));
}

bool SimProcess::waitFor(const std::function<bool()>& condition, int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (nowMs() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool SimProcess::waitForRequests(int d, long long count, int timeoutMs) {
    return waitFor([&] { return requestCount(d) >= count; }, timeoutMs);
}

bool SimProcess::waitForConnections(int d, int count, int timeoutMs) {
    return waitFor([&] { return connections(d) == count; }, timeoutMs);
}

std::string SimProcess::stdinCommand(const std::string& cmd) {
    if (stdinFd_ < 0 || stdoutFd_ < 0) {
        error_ = "standard input closed";
        return {};
    }
    std::string line = cmd + "\n";
    if (!writeNoSigpipe(stdinFd_, line)) {
        error_ = std::string("write to standard input: ") + std::strerror(errno);
        return {};
    }
    const int64_t deadline = nowMs() + kControlTimeoutMs;
    for (;;) {
        size_t eol = stdoutBuffer_.find('\n');
        if (eol != std::string::npos) {
            std::string reply = stdoutBuffer_.substr(0, eol);
            stdoutBuffer_.erase(0, eol + 1);
            return reply;
        }
        pollfd pfd{stdoutFd_, POLLIN, 0};
        int rc = poll(&pfd, 1, remaining(deadline));
        if (rc < 0 && errno == EINTR) continue;
        char buf[4096];
        ssize_t n = rc > 0 ? read(stdoutFd_, buf, sizeof buf) : -1;
        if (n <= 0) {
            error_ = "no reply on standard output to: " + cmd;
            return {};
        }
        stdoutBuffer_.append(buf, static_cast<size_t>(n));
    }
}

void SimProcess::closeStdin() {
    if (stdinFd_ >= 0) close(stdinFd_);
    stdinFd_ = -1;
}

int SimProcess::waitExit(int timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        int wstatus = 0;
        pid_t r = waitpid(pid_, &wstatus, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            exitStatus_ = statusOf(wstatus);
            return exitStatus_;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;  // not our child any more
            return -1;
        }
        if (nowMs() >= deadline) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int SimProcess::signalAndWait(int sig, int timeoutMs) {
    if (pid_ <= 0) return exitStatus_;
    kill(pid_, sig);
    int status = waitExit(timeoutMs);
    if (status == -2) return stop(0);
    ready_ = false;
    return status;
}

int SimProcess::stop(int timeoutMs) {
    if (controlFd_ >= 0) close(controlFd_);
    controlFd_ = -1;
    closeStdin();
    if (pid_ > 0) {
        int status = waitExit(timeoutMs);
        if (status == -2) {
            kill(pid_, SIGTERM);
            status = waitExit(2000);
        }
        if (status == -2) {
            kill(pid_, SIGKILL);
            int wstatus = 0;
            while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
            }
            exitStatus_ = statusOf(wstatus);
            pid_ = -1;
        }
    }
    if (stdoutFd_ >= 0) close(stdoutFd_);
    stdoutFd_ = -1;
    ready_ = false;
    return exitStatus_;
}

}  // namespace vexlor::testing
