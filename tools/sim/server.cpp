#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vexlor::sim {

namespace {

int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
    int saved = errno;
    char c = 1;
    ssize_t n = write(gSignalPipe[1], &c, 1);
    (void)n;
    errno = saved;
}

// Bytes no decoder of any device recognises.
constexpr std::string_view kGarbage = "\x7F#garbage?\x01\x02";

constexpr size_t kMaxControlLine = 1 << 20;
constexpr size_t kMaxRequestBytes = 1 << 16;

// Ends a text reply the way the device does: the Web-IO devices put a NUL after every reply
// (unless the nul option turned that off); the I/O Controller's binary frames have none.
void terminate(const Device& d, std::string& bytes) {
    if (d.nul() && d.type() != DeviceType::IoController) bytes.push_back('\0');
}

std::string filler(long count) {
    std::string s(static_cast<size_t>(count), 'A');
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('A' + i % 26);
    return s;
}

}  // namespace

Server::Server(Options options) : opts_(std::move(options)) {
    for (size_t i = 0; i < opts_.devices.size(); ++i) {
        devices_.push_back(
            std::make_unique<Device>(static_cast<int>(i), opts_.devices[i], opts_.nul));
    }
    listenFds_.assign(devices_.size(), -1);
    ports_.assign(devices_.size(), 0);
    startMs_ = now();
    // A device described as restarting starts down and listens once its time is up.
    upAt_.assign(devices_.size(), 0);
    for (auto& d : devices_) {
        if (d->faults().restarting) upAt_[d->index()] = startMs_ + d->faults().restartMs;
    }
}

Server::~Server() {
    for (auto& c : conns_) {
        if (c->fd >= 0) close(c->fd);
    }
    for (auto& cc : controls_) {
        if (cc->fd >= 0) close(cc->fd);
    }
    for (int fd : listenFds_) {
        if (fd >= 0) close(fd);
    }
    if (controlFd_ >= 0) close(controlFd_);
}

int64_t Server::now() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Server::installSignalHandlers(std::string& error) {
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

static int listenOn(const std::string& address, uint16_t port, uint16_t& actual,
                    std::string& error) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    actual = ntohs(sa.sin_port);
    return fd;
}

bool Server::openListener(Device& d, std::string& error) {
    uint16_t want = ports_[d.index()] != 0 ? ports_[d.index()] : d.config().port;
    int fd = listenOn(opts_.listen, want, ports_[d.index()], error);
    if (fd < 0) return false;
    listenFds_[d.index()] = fd;
    return true;
}

void Server::closeListener(Device& d) {
    int& fd = listenFds_[d.index()];
    if (fd >= 0) close(fd);
    fd = -1;
}

// Makes the listening socket match the refuse and restart modes; returns an error text or "".
std::string Server::syncListener(Device& d) {
    const bool open = listenFds_[d.index()] >= 0;
    const bool down = d.faults().refuse || d.faults().restarting;
    if (down && open) closeListener(d);
    if (!down && !open) {
        std::string error;
        if (!openListener(d, error)) return error;
    }
    return {};
}

bool Server::start(std::string& error) {
    for (auto& d : devices_) {
        for (auto& other : devices_) {
            if (other.get() != d.get() && other->name() == d->name()) {
                error = "two devices named " + d->name();
                return false;
            }
        }
        if (!openListener(*d, error)) return false;
        std::string e = syncListener(*d);
        if (!e.empty()) {
            error = e;
            return false;
        }
    }
    if (opts_.controlPort >= 0) {
        controlFd_ =
            listenOn(opts_.listen, static_cast<uint16_t>(opts_.controlPort), controlPort_, error);
        if (controlFd_ < 0) return false;
    }
    stdinOpen_ = opts_.readStdin;
    return true;
}

void Server::printStartup(std::FILE* out) const {
    for (const auto& d : devices_) {
        std::fprintf(out, "DEVICE %d %s %u %s\n", d->index(), typeName(d->type()),
                     static_cast<unsigned>(ports_[d->index()]), d->name().c_str());
    }
    if (controlFd_ >= 0) {
        std::fprintf(out, "CONTROL %u\n", static_cast<unsigned>(controlPort_));
    } else {
        std::fprintf(out, "CONTROL off\n");
    }
    std::fprintf(out, "READY\n");
    std::fflush(out);
}

void Server::trace(const Connection& c, const char* what, std::string_view bytes) const {
    if (!opts_.verbose) return;
    std::fprintf(stderr, "[vexlor-sim] %s#%llu %s %zu: %s\n", c.device->name().c_str(),
                 static_cast<unsigned long long>(c.id), what, bytes.size(),
                 escapeBytes(bytes, false).c_str());
}

void Server::reapClosed(Device& d) {
    for (auto& c : conns_) {
        if (c->device != &d || c->dead || c->closing) continue;
        pollfd pfd{c->fd, POLLIN, 0};
        // Everything up to the end of the stream: a peer that closed counts no more.
        while (!c->dead && poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) {
            readConnection(*c);
        }
    }
}

void Server::acceptOn(Device& d) {
    for (;;) {
        int fd = accept4(listenFds_[d.index()], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN: all taken
        ++d.accepts;
        const int limit = d.config().maxConnections;
        if (limit > 0 && openConnections(d) >= limit) reapClosed(d);
        const bool full = limit > 0 && openConnections(d) >= limit;
        if (d.faults().acceptClose || full) {
            if (opts_.verbose) {
                std::fprintf(stderr, "[vexlor-sim] %s %s\n", d.name().c_str(),
                             full ? "connection limit reached: closed" : "accept-close");
            }
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->id = nextConnId_++;
        c->device = &d;
        c->lastReceive = c->lastValid = c->lastSend = now();
        if (d.config().header && isDigital(d.type())) {
            // The device's own address as the peer sees it, then its name.
            sockaddr_in local{};
            socklen_t len = sizeof local;
            char ip[INET_ADDRSTRLEN] = "0.0.0.0";
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
                inet_ntop(AF_INET, &local.sin_addr, ip, sizeof ip);
            }
            c->header = std::string(ip) + ";" + d.config().title + ";";
        }
        if (opts_.verbose) {
            std::fprintf(stderr, "[vexlor-sim] %s#%llu connected\n", d.name().c_str(),
                         static_cast<unsigned long long>(c->id));
        }
        conns_.push_back(std::move(c));
    }
}

void Server::closeConnection(Connection& c) {
    if (c.fd >= 0) {
        close(c.fd);
        if (opts_.verbose) {
            std::fprintf(stderr, "[vexlor-sim] %s#%llu closed\n", c.device->name().c_str(),
                         static_cast<unsigned long long>(c.id));
        }
    }
    c.fd = -1;
    c.dead = true;
}

int Server::openConnections(const Device& d) const {
    int n = 0;
    for (const auto& c : conns_) {
        if (c->device == &d && !c->dead && !c->closing) ++n;
    }
    return n;
}

int Server::dropConnections(Device& d) {
    int n = 0;
    for (auto& c : conns_) {
        if (c->device == &d && !c->dead) {
            if (!c->closing) ++n;
            closeConnection(*c);
        }
    }
    return n;
}

int Server::restartDevice(Device& d, int ms) {
    int n = 0;
    for (auto& c : conns_) {
        if (c->device != &d || c->dead) continue;
        if (!c->closing) ++n;
        // A reset rather than an orderly close: the peer learns of the loss as it does when a
        // device's stack starts afresh, with "connection reset".
        linger abort{1, 0};
        if (c->fd >= 0) setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        closeConnection(*c);
    }
    d.powerCycle();
    d.faults().restarting = true;
    d.faults().restartMs = ms;
    upAt_[d.index()] = now() + ms;
    syncListener(d);
    if (opts_.verbose) {
        std::fprintf(stderr, "[vexlor-sim] %s restarting for %d ms\n", d.name().c_str(), ms);
    }
    return n;
}

void Server::endRestarts() {
    const int64_t t = now();
    for (auto& d : devices_) {
        if (!d->faults().restarting || t < upAt_[d->index()]) continue;
        d->faults().restarting = false;
        const std::string error = syncListener(*d);
        if (!error.empty()) {
            // The port is taken for the moment (by another program's connection): try again.
            std::fprintf(stderr, "vexlor-sim: %s: %s; trying again\n", d->name().c_str(),
                         error.c_str());
            d->faults().restarting = true;
            upAt_[d->index()] = t + 100;
        } else if (opts_.verbose) {
            std::fprintf(stderr, "[vexlor-sim] %s listening again\n", d->name().c_str());
        }
    }
}

void Server::readConnection(Connection& c) {
    char buf[65536];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        closeConnection(c);
        return;
    }
    if (n < 0) return;
    if (c.closing) return;  // draining after our own close
    std::string_view bytes(buf, static_cast<size_t>(n));
    trace(c, "recv", bytes);
    c.lastReceive = now();
    Device& d = *c.device;
    if (isDigital(d.type())) {
        c.splitter.feed(bytes);
    } else if (d.type() == DeviceType::IoController) {
        c.frames.feed(bytes);
    } else if (!c.thermoAnswered) {
        c.thermoText.append(bytes);
    }
    takeRequests(c, false);
    // A peer that never finishes a request cannot make the buffer grow without limit. Only what
    // is left once the complete requests are taken counts: a large read that ends in the middle
    // of a request is not overlong.
    const bool overlong =
        c.splitter.buffered().size() > kMaxRequestBytes || c.thermoText.size() > kMaxRequestBytes;
    if (overlong && !c.dead) takeRequests(c, true);
}

// Hands every complete request of the connection to its device. With idle set, an unfinished
// rest counts as a request too.
void Server::takeRequests(Connection& c, bool idle) {
    Device& d = *c.device;
    std::string request;
    if (isDigital(d.type())) {
        while (!c.dead && !c.closeWhenFlushed && c.splitter.next(d.config().password, request)) {
            handleRequest(c, request);
        }
        if (idle && !c.closeWhenFlushed && c.splitter.flush(request)) handleRequest(c, request);
    } else if (d.type() == DeviceType::IoController) {
        IoChunk chunk;
        while (!c.dead && !c.closeWhenFlushed && c.frames.next(chunk)) {
            handleRequest(c, chunk.bytes);
        }
        if (idle && !c.closeWhenFlushed && c.frames.flush(chunk)) handleRequest(c, chunk.bytes);
    } else if (!c.thermoAnswered && !c.thermoText.empty()) {
        ThermoRequestState state = classifyThermoRequest(c.thermoText);
        if (state != ThermoRequestState::Incomplete || idle) {
            c.thermoAnswered = true;
            handleRequest(c, c.thermoText);
            c.thermoText.clear();
            // One request per connection; a silent device leaves the client waiting instead.
            if (!d.faults().silent) c.closeWhenFlushed = true;
        }
    }
}

void Server::handleRequest(Connection& c, std::string_view request) {
    Device& d = *c.device;
    d.record(request);
    ++c.handled;
    Answer answer;
    if (isDigital(d.type())) {
        answer = d.handleDigital(request);
    } else if (d.type() == DeviceType::IoController) {
        FrameScanner scanner;
        scanner.feed(request);
        IoChunk chunk;
        if (scanner.next(chunk)) answer = d.handleIoChunk(chunk);
    } else if (classifyThermoRequest(request) == ThermoRequestState::Single) {
        answer.valid = true;
        answer.reply = d.thermoReplyText(static_cast<double>(now() - startMs_) / 1000.0);
    } else if (d.config().errorTexts) {
        answer.reply = std::string(kUnknownRequestReply);
    }
    if (answer.valid) c.lastValid = now();
    if (answer.reply) {
        std::string bytes = c.header + *answer.reply;
        terminate(d, bytes);
        queueReply(c, std::move(bytes));
    }
    int closeAfter = d.faults().closeAfter;
    if (answer.close || (closeAfter > 0 && c.handled >= closeAfter)) c.closeWhenFlushed = true;
    // A device that refuses a request just closes: no reply is in flight that a reset could
    // destroy, so the client's next request meets a closed socket, as it does on the device.
    if (answer.close) c.closeAtOnce = true;
}

// Sends a reply the way the device's fault modes say.
void Server::queueReply(Connection& c, std::string bytes) {
    const Faults& f = c.device->faults();
    if (f.silent) return;
    c.lastSend = now();
    if (f.garbage) {
        bytes.assign(kGarbage);
        terminate(*c.device, bytes);
    }
    if (f.flood > 0) bytes.insert(0, filler(f.flood));
    if (f.coalesce > 1) {
        if (c.holdCount == 0) c.holdDeadline = now() + f.coalesceHoldMs;
        c.hold += bytes;
        if (++c.holdCount >= f.coalesce) releaseHold(c);
        return;
    }
    push(c, std::move(bytes));
}

void Server::releaseHold(Connection& c) {
    if (c.holdCount == 0) return;
    std::string bytes;
    bytes.swap(c.hold);
    c.holdCount = 0;
    push(c, std::move(bytes));
}

// Queues bytes as one send (two with the cut or split mode), after the slow mode's delay.
void Server::push(Connection& c, std::string bytes) {
    const Faults& f = c.device->faults();
    int64_t due = std::max(now() + f.slowMs, c.lastDue);
    if (f.cutAt > 0 && bytes.size() > static_cast<size_t>(f.cutAt)) {
        const size_t at = static_cast<size_t>(f.cutAt);
        c.out.push_back(OutItem{bytes.substr(0, at), 0, due});
        due += f.cutPauseMs;
        c.out.push_back(OutItem{bytes.substr(at), 0, due});
    } else if (f.splitMs >= 0 && bytes.size() >= 2) {
        size_t half = bytes.size() / 2;
        c.out.push_back(OutItem{bytes.substr(0, half), 0, due});
        due += f.splitMs;
        c.out.push_back(OutItem{bytes.substr(half), 0, due});
    } else {
        c.out.push_back(OutItem{std::move(bytes), 0, due});
    }
    c.lastDue = due;
    flushOut(c);
}

void Server::flushOut(Connection& c) {
    int64_t t = now();
    while (!c.dead && !c.out.empty() && c.out.front().due <= t) {
        OutItem& item = c.out.front();
        ssize_t n = send(c.fd, item.data.data() + item.offset, item.data.size() - item.offset,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            closeConnection(c);
            return;
        }
        ++c.device->sends;
        trace(c, "send", std::string_view(item.data).substr(item.offset, static_cast<size_t>(n)));
        item.offset += static_cast<size_t>(n);
        if (item.offset < item.data.size()) return;  // the rest when the socket takes more
        c.out.pop_front();
    }
}

void Server::runTimers(Connection& c) {
    if (c.dead) return;
    int64_t t = now();
    if (c.closing) {
        if (t >= c.closingDeadline) closeConnection(c);
        return;
    }
    if (c.holdCount > 0 && t >= c.holdDeadline) releaseHold(c);
    flushOut(c);
    if (c.dead) return;
    if (t - c.lastReceive >= opts_.idleFlushMs) takeRequests(c, true);
    if (c.dead) return;
    const DeviceConfig& cfg = c.device->config();
    // A pulled cable closes nothing, and sends nothing of its own either.
    if (!c.device->faults().silent && !c.closeWhenFlushed) {
        if (cfg.idleMs > 0 && t - c.lastValid >= cfg.idleMs) {
            if (opts_.verbose) {
                std::fprintf(stderr, "[vexlor-sim] %s#%llu idle for %d ms\n",
                             c.device->name().c_str(), static_cast<unsigned long long>(c.id),
                             cfg.idleMs);
            }
            c.closeWhenFlushed = true;
        } else if (cfg.keep && c.device->type() == DeviceType::IoController &&
                   t - c.lastSend >= cfg.keepMs) {
            queueReply(c, std::string(kTelnetNop));
        }
    }
    if (c.closeWhenFlushed && c.out.empty() && c.holdCount == 0) {
        if (c.closeAtOnce) {
            closeConnection(c);
            return;
        }
        shutdown(c.fd, SHUT_WR);
        c.closing = true;
        c.closingDeadline = t + kLingerMs;
        if (opts_.verbose) {
            std::fprintf(stderr, "[vexlor-sim] %s#%llu closing\n", c.device->name().c_str(),
                         static_cast<unsigned long long>(c.id));
        }
    }
}

void Server::sendInputState(Device& d) {
    if (d.config().trigger != 1 || isThermometer(d.type())) return;
    for (auto& c : conns_) {
        if (c->device == &d && !c->dead && !c->closing && !c->closeWhenFlushed) {
            std::string bytes = c->header + d.inputChange();
            terminate(d, bytes);
            queueReply(*c, std::move(bytes));
        }
    }
}

void Server::acceptControl() {
    for (;;) {
        int fd = accept4(controlFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto cc = std::make_unique<ControlClient>();
        cc->fd = fd;
        controls_.push_back(std::move(cc));
    }
}

void Server::readControl(ControlClient& cc) {
    char buf[4096];
    ssize_t n = recv(cc.fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        cc.dead = true;
        return;
    }
    if (n < 0) return;
    cc.in.append(buf, static_cast<size_t>(n));
    size_t eol;
    while (running_ && (eol = cc.in.find('\n')) != std::string::npos) {
        std::string line = cc.in.substr(0, eol);
        cc.in.erase(0, eol + 1);
        cc.out += execute(line);
        cc.out += '\n';
    }
    if (cc.in.size() > kMaxControlLine) cc.dead = true;
    writeControl(cc);
}

void Server::writeControl(ControlClient& cc) {
    while (!cc.out.empty() && !cc.dead) {
        ssize_t n = send(cc.fd, cc.out.data(), cc.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) cc.dead = true;
            return;
        }
        cc.out.erase(0, static_cast<size_t>(n));
    }
}

void Server::readStdin() {
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        stdinOpen_ = false;
        if (opts_.exitOnStdinEof) running_ = false;
        return;
    }
    stdinBuffer_.append(buf, static_cast<size_t>(n));
    size_t eol;
    while (running_ && (eol = stdinBuffer_.find('\n')) != std::string::npos) {
        std::string line = stdinBuffer_.substr(0, eol);
        stdinBuffer_.erase(0, eol + 1);
        std::string reply = execute(line);
        std::fprintf(stdout, "%s\n", reply.c_str());
        std::fflush(stdout);
    }
    if (stdinBuffer_.size() > kMaxControlLine) stdinBuffer_.clear();
}

int Server::run() {
    running_ = true;
    std::vector<pollfd> fds;
    enum class Kind { Signal, Stdin, ControlListen, Control, Listen, Conn };
    std::vector<std::pair<Kind, size_t>> what;
    while (running_) {
        fds.clear();
        what.clear();
        auto add = [&](int fd, short events, Kind k, size_t i) {
            fds.push_back(pollfd{fd, events, 0});
            what.emplace_back(k, i);
        };
        if (gSignalPipe[0] >= 0) add(gSignalPipe[0], POLLIN, Kind::Signal, 0);
        if (stdinOpen_) add(STDIN_FILENO, POLLIN, Kind::Stdin, 0);
        if (controlFd_ >= 0) add(controlFd_, POLLIN, Kind::ControlListen, 0);
        for (size_t i = 0; i < controls_.size(); ++i) {
            add(controls_[i]->fd, POLLIN | (controls_[i]->out.empty() ? 0 : POLLOUT), Kind::Control,
                i);
        }
        for (size_t i = 0; i < listenFds_.size(); ++i) {
            if (listenFds_[i] >= 0) add(listenFds_[i], POLLIN, Kind::Listen, i);
        }
        const int64_t t = now();
        int64_t wake = t + 1000;
        for (auto& d : devices_) {
            if (d->faults().restarting) wake = std::min(wake, upAt_[d->index()]);
        }
        for (size_t i = 0; i < conns_.size(); ++i) {
            Connection& c = *conns_[i];
            short events = POLLIN;
            if (c.closing) {
                wake = std::min(wake, c.closingDeadline);
            } else {
                if (!c.out.empty()) {
                    if (c.out.front().due <= t) {
                        events |= POLLOUT;
                    } else {
                        wake = std::min(wake, c.out.front().due);
                    }
                }
                if (c.holdCount > 0) wake = std::min(wake, c.holdDeadline);
                bool pending = !c.splitter.empty() || !c.frames.empty() ||
                               (!c.thermoAnswered && !c.thermoText.empty());
                if (pending) wake = std::min(wake, c.lastReceive + opts_.idleFlushMs);
                const DeviceConfig& cfg = c.device->config();
                if (cfg.idleMs > 0) wake = std::min(wake, c.lastValid + cfg.idleMs);
                if (cfg.keep) wake = std::min(wake, c.lastSend + cfg.keepMs);
            }
            add(c.fd, events, Kind::Conn, i);
        }
        int timeout = static_cast<int>(std::max<int64_t>(0, wake - t));
        int rc = poll(fds.data(), fds.size(), timeout);
        if (rc < 0 && errno != EINTR) {
            std::fprintf(stderr, "vexlor-sim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        for (size_t k = 0; rc > 0 && k < fds.size() && running_; ++k) {
            short ev = fds[k].revents;
            if (ev == 0) continue;
            size_t i = what[k].second;
            switch (what[k].first) {
                case Kind::Signal:
                    running_ = false;
                    break;
                case Kind::Stdin:
                    readStdin();
                    break;
                case Kind::ControlListen:
                    acceptControl();
                    break;
                case Kind::Control:
                    if (ev & (POLLIN | POLLHUP | POLLERR)) readControl(*controls_[i]);
                    if (ev & POLLOUT) writeControl(*controls_[i]);
                    break;
                case Kind::Listen:
                    // The listener may have been closed by a control command in this round.
                    if (listenFds_[i] == fds[k].fd) acceptOn(*devices_[i]);
                    break;
                case Kind::Conn:
                    if (i < conns_.size() && conns_[i]->fd == fds[k].fd && !conns_[i]->dead) {
                        if (ev & (POLLIN | POLLHUP | POLLERR)) readConnection(*conns_[i]);
                        if ((ev & POLLOUT) && !conns_[i]->dead) flushOut(*conns_[i]);
                    }
                    break;
            }
        }
        endRestarts();
        for (size_t i = 0; i < conns_.size(); ++i) runTimers(*conns_[i]);
        conns_.erase(std::remove_if(conns_.begin(), conns_.end(),
                                    [](const std::unique_ptr<Connection>& c) { return c->dead; }),
                     conns_.end());
        for (auto& cc : controls_) {
            if (cc->dead && cc->fd >= 0) {
                close(cc->fd);
                cc->fd = -1;
            }
        }
        controls_.erase(
            std::remove_if(controls_.begin(), controls_.end(),
                           [](const std::unique_ptr<ControlClient>& cc) { return cc->dead; }),
            controls_.end());
    }
    // Replies still waiting in control clients' buffers (the "quit" reply) go out now.
    for (auto& cc : controls_) writeControl(*cc);
    return 0;
}

}  // namespace vexlor::sim
