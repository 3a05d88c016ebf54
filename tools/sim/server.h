// The simulator's event loop: one thread, poll(), non-blocking sockets.
//
// Each device has its own listening socket; every accepted connection belongs to one device.
// Replies are queued per connection with the time they are due, which is how the slow, split and
// coalesce fault modes are played without blocking anything else.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"
#include "options.h"
#include "protocol.h"

namespace vexlor::sim {

// After the device closes its side it reads and discards for at most this long, so that unread
// request bytes do not turn the close into a reset that could destroy the reply in flight.
constexpr int64_t kLingerMs = 1000;

class Server {
  public:
    explicit Server(Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens every listening socket. On failure returns false with a message.
    bool start(std::string& error);
    // The "DEVICE ..." lines, the "CONTROL ..." line and "READY".
    void printStartup(std::FILE* out) const;
    // Runs until "quit", a signal, or (when asked for) the end of standard input. Returns the
    // process exit status.
    int run();

    // Executes one control command and returns its reply line (without the line end).
    std::string execute(std::string_view line);

    // Installs SIGTERM/SIGINT handlers that make run() return; ignores SIGPIPE.
    static bool installSignalHandlers(std::string& error);

  private:
    struct OutItem {
        std::string data;
        size_t offset = 0;
        int64_t due = 0;
    };
    struct Connection {
        int fd = -1;
        uint64_t id = 0;
        Device* device = nullptr;
        RequestSplitter splitter;  // digital devices
        FrameScanner frames;       // I/O Controller
        std::string thermoText;    // thermometers: what arrived so far
        bool thermoAnswered = false;
        int64_t lastReceive = 0;
        int64_t lastValid = 0;  // accepted, or the last valid request: the idle timer
        int64_t lastSend = 0;   // queued the last bytes: the keep-alive timer
        std::string header;     // "<IP>;<title>;" before digital replies, when switched on
        int handled = 0;        // requests taken on this connection
        std::deque<OutItem> out;
        int64_t lastDue = 0;
        std::string hold;  // coalesce mode: replies held back
        int holdCount = 0;
        int64_t holdDeadline = 0;
        bool closeWhenFlushed = false;
        bool closeAtOnce = false;  // a refused request: closed without the draining linger
        bool closing = false;      // write side shut down, draining
        int64_t closingDeadline = 0;
        bool dead = false;
    };
    struct ControlClient {
        int fd = -1;
        std::string in, out;
        bool dead = false;
    };

    int64_t now() const;
    bool openListener(Device& device, std::string& error);
    void closeListener(Device& device);
    std::string syncListener(Device& device);
    void acceptOn(Device& device);
    // Reads the connections of the device that the peer may have closed, so that they do not
    // count against its connection limit any more.
    void reapClosed(Device& device);
    void readConnection(Connection& c);
    void takeRequests(Connection& c, bool idle);
    void handleRequest(Connection& c, std::string_view request);
    void queueReply(Connection& c, std::string bytes);
    void push(Connection& c, std::string bytes);
    void releaseHold(Connection& c);
    void flushOut(Connection& c);
    void runTimers(Connection& c);
    void closeConnection(Connection& c);
    int dropConnections(Device& device);
    // Closes every connection with a reset, clears the device's state and keeps its listening
    // socket closed for ms; returns the number of connections closed.
    int restartDevice(Device& device, int ms);
    // Ends restarts whose time is up: the devices listen again.
    void endRestarts();
    int openConnections(const Device& device) const;
    // Sends the input word unprompted on every open connection, when the device does that.
    void sendInputState(Device& device);
    void trace(const Connection& c, const char* what, std::string_view bytes) const;

    void acceptControl();
    void readControl(ControlClient& cc);
    void writeControl(ControlClient& cc);
    void readStdin();
    Device* findDevice(std::string_view ref);

    Options opts_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<int> listenFds_;   // per device, -1 while refusing
    std::vector<uint16_t> ports_;  // per device, the actual port
    std::vector<int64_t> upAt_;    // per device, when a restart ends
    std::vector<std::unique_ptr<Connection>> conns_;
    std::vector<std::unique_ptr<ControlClient>> controls_;
    int controlFd_ = -1;
    uint16_t controlPort_ = 0;
    bool stdinOpen_ = false;
    std::string stdinBuffer_;
    bool running_ = false;
    uint64_t nextConnId_ = 1;
    int64_t startMs_ = 0;
};

}  // namespace vexlor::sim
