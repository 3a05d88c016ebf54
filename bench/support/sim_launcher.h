// Simulator: runs vexlor-sim as a child process for the benchmarks.
//
// The child listens on 127.0.0.1 only, on ports the system chooses, and is told its devices on
// the command line. It runs with --exit-on-stdin-eof and PR_SET_PDEATHSIG, so it ends when the
// benchmark closes its standard input, and also when the thread that started it ends. The
// destructor closes standard input, waits a bounded time, then sends SIGTERM and finally SIGKILL,
// and always reaps the child.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vexlor::bench {

class Simulator {
  public:
    // A simulator that is still working through a flood of requests answers control commands
    // late (it serves its sockets in turn), so the wait is generous.
    static constexpr int kReplyTimeoutMs = 30000;

    Simulator(const std::string& simulatorPath, const std::vector<std::string>& devices,
              int startTimeoutMs = 10000);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool ok() const { return ready_ && controlFd_ >= 0; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }
    uint16_t port(size_t device) const { return device < ports_.size() ? ports_[device] : 0; }
    size_t deviceCount() const { return ports_.size(); }

    // Sends one control command and returns its reply line ("OK ..." / "ERR ..."); "" when the
    // simulator did not answer within timeoutMs.
    std::string command(const std::string& line, int timeoutMs = kReplyTimeoutMs);
    // The two halves of command(), for timing: write the command without waiting, then read
    // its reply line.
    bool sendCommand(const std::string& line);
    // With timeoutMs 0 it only looks: "" when no complete reply line has arrived yet.
    std::string readReply(int timeoutMs = kReplyTimeoutMs);
    // Waits up to timeoutUs for bytes of a reply; true when some are there (or already read).
    bool waitReadable(double timeoutUs);
    // CPU time the simulator process has used so far, in seconds; NaN when unknown.
    double cpuSeconds() const;

    // Requests the device has received since the simulator started; -1 on failure.
    long long requests(size_t device);
    // Sets the input word of a digital device.
    bool setInputs(size_t device, uint32_t word);
    // Sets one fault mode (tools/sim/README.md), or clears it with arg "off".
    bool setFault(size_t device, const std::string& mode, const std::string& arg = "");
    // Restarts the device: its connections are reset and it refuses connections for downMs.
    bool restart(size_t device, int downMs);
    // 1 while the device accepts connections, 0 while it refuses them, -1 on failure.
    int listening(size_t device);

    // Stops the child (see above); returns its exit status or -1.
    int stop();

  private:
    bool readStartup(int timeoutMs);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int controlFd_ = -1;
    bool ready_ = false;
    uint16_t controlPort_ = 0;
    std::vector<uint16_t> ports_;
    std::string buffer_;
    std::string error_;
};

// --- Plain sockets ----------------------------------------------------------------------------

// Connects a TCP socket to 127.0.0.1:port with TCP_NODELAY; -1 on failure.
int ConnectLoopback(uint16_t port);
// A listening TCP socket on 127.0.0.1 with a system-chosen port; -1 on failure.
int ListenLoopback(uint16_t* port);
// Sends all bytes (blocking); false on failure.
bool SendAll(int fd, const void* data, size_t length);
// Receives until a NUL byte arrives (a digital reply ends with one) or the peer closes; false
// when nothing usable came.
bool ReceiveReply(int fd, std::string* reply = nullptr);

}  // namespace vexlor::bench
