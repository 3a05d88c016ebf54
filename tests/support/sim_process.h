// SimProcess: runs the device simulator vexlor-sim as a child process of a test.
//
// Typical use in an integration test:
//
//     vexlor::testing::SimProcess sim({"digital12,pw=secret,inputs=0x5", "thermo2,drift=0"});
//     ASSERT_TRUE(sim.ok()) << sim.error();
//     uint16_t port = sim.port(0);          // write it into the driver's settings file
//     ... let the driver talk to 127.0.0.1:port ...
//     ASSERT_TRUE(sim.waitForRequests(0, 1));
//     EXPECT_EQ(sim.requestLog(0)[0], "GET /input?PW=secret&");
//     ASSERT_TRUE(sim.setInputs(0, 0xFFF));
//     ASSERT_TRUE(sim.setFault(0, "split", "50"));
//
// Devices are given as descriptions "TYPE[,key=value]..." (tools/sim/README.md has the full
// list); they are numbered from 0 in the order given, and every helper takes that number. All
// ports are chosen by the system (port=0) unless a description names one, and everything
// listens on 127.0.0.1 only.
//
// Lifetime: the constructor starts the child and waits (bounded) for it to report its ports.
// The destructor stops it: it closes the child's standard input (the simulator runs with
// --exit-on-stdin-eof), waits a bounded time, then sends SIGTERM and finally SIGKILL, and always
// reaps it. The child also gets SIGTERM if the thread that created the SimProcess ends (it runs
// with PR_SET_PDEATHSIG), so create it on the test's own thread, not on a short-lived helper
// thread. The child inherits no file descriptor of the test process besides standard error.
//
// Nothing here throws. Failures show as ok() == false, empty replies, nullopt or false, with a
// description in error(). Every wait has a deadline.
//
// The calls are not thread-safe: use one SimProcess from one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexlor::testing {

class SimProcess {
  public:
    struct DeviceInfo {
        int index = 0;
        std::string type;  // digital12, digital24, thermo1, thermo2, thermo8, iocontroller
        uint16_t port = 0;
        std::string name;
    };

    // Starts vexlor-sim with the given device descriptions. extraArgs go before them, for
    // example {"--no-nul"} or {"-v"}. Setting the environment variable VEXLOR_SIM_VERBOSE=1 adds
    // -v, which traces every byte on the test's standard error.
    explicit SimProcess(const std::vector<std::string>& deviceDescriptions,
                        const std::vector<std::string>& extraArgs = {}, int startTimeoutMs = 10000);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once the simulator reported READY and has not been stopped.
    bool ok() const { return ready_ && pid_ > 0; }
    // The last failure, for test messages.
    const std::string& error() const { return error_; }

    pid_t pid() const { return pid_; }
    const std::vector<DeviceInfo>& devices() const { return devices_; }
    // The TCP port of device n (0 if there is no such device).
    uint16_t port(int device) const;
    uint16_t controlPort() const { return controlPort_; }

    // --- Control commands -------------------------------------------------------------------
    // Sends one command line and returns the reply line without its line end ("OK ..." or
    // "ERR ..."); "" when the simulator did not answer within 5 s.
    std::string control(const std::string& command);
    // Sends a command and reports whether the reply starts with "OK".
    bool command(const std::string& command);
    // Sends a command and returns what follows "OK " (empty text for a bare "OK"); nullopt on
    // an "ERR" reply or no reply.
    std::optional<std::string> query(const std::string& command);

    // Digital devices and the I/O Controller: bit n of a word is input/output n (0-based; on
    // the I/O Controller bit 0 is input 1). Changing an I/O Controller input sends the new
    // state unprompted (a set-outputs frame) on its open connections; a digital device does that
    // with trigger=1.
    bool setInputs(int device, uint32_t word);
    bool setInput(int device, int n, bool on);
    std::optional<uint32_t> inputs(int device);
    std::optional<uint32_t> outputs(int device);
    std::optional<bool> output(int device, int n);
    bool setOutputs(int device, uint32_t word);

    // Digital devices: counters and the error latch.
    bool setCounter(int device, int n, long long value);
    bool pulse(int device, int n, long long count = 1);
    std::optional<long long> counter(int device, int n);
    std::optional<bool> errorLatch(int device);
    bool setPassword(int device, std::string_view password);

    // Thermometers. Start thermometers with "drift=0" when a test needs exact readings.
    bool setTemperature(int device, int sensor, double celsius);
    bool setSensorMissing(int device, int sensor);
    // Makes the thermometer answer with exactly these bytes; nullopt restores normal replies.
    bool setThermometerReply(int device, std::optional<std::string_view> bytes);

    // The requests the device received, oldest first, byte for byte.
    std::vector<std::string> requestLog(int device);
    bool clearLog(int device);
    // Number of requests received since start (not reset by clearLog); -1 on failure.
    long long requestCount(int device);

    // Fault modes (see tools/sim/README.md): close-after N, garbage, split [MS], cut OFFSET[/MS],
    // coalesce [N[/MS]], slow MS, silent (a pulled cable), refuse, accept-close, flood N,
    // restart [MS]. arg "off" clears one mode.
    bool setFault(int device, const std::string& mode, const std::string& arg = "");
    bool clearFaults(int device);

    // Connections: currently open, accepted since start (-1 on failure); drop closes all.
    int connections(int device);
    int accepts(int device);
    bool dropConnections(int device);
    // Restarts the device: its connections are reset, connecting is refused for downMs, then it
    // listens again with outputs off, counters 0 and the error latch cleared. Returns the number
    // of connections closed, -1 on failure.
    int restart(int device, int downMs = 1000);
    // Whether the device accepts connections now (false while refusing or restarting).
    std::optional<bool> listening(int device);
    // Waits until the device accepts connections again (after a restart).
    bool waitUntilListening(int device, int timeoutMs = 5000);
    // Sends raw bytes to every open connection of the device at once.
    bool sendRaw(int device, std::string_view bytes);

    // --- Waiting ---------------------------------------------------------------------------
    // Polls condition every 10 ms until it holds or timeoutMs passed; returns its last value.
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000);
    bool waitForRequests(int device, long long count, int timeoutMs = 5000);
    bool waitForConnections(int device, int count, int timeoutMs = 5000);

    // --- Stopping --------------------------------------------------------------------------
    // Stops the child as the destructor does and returns its exit status (128 + signal number
    // when a signal ended it), or -1 when there was no child.
    int stop(int timeoutMs = 3000);
    // Sends a signal and waits (bounded) for the child to end; returns its status as stop().
    int signalAndWait(int signal, int timeoutMs = 3000);
    // Closes the child's standard input without waiting.
    void closeStdin();
    // Sends one command on the child's standard input and returns the reply line it prints on
    // standard output ("" after 5 s without one). The control port is the usual way; this
    // exercises the other.
    std::string stdinCommand(const std::string& command);

    // The simulator's byte escaping for command texts: "\\" and "\xHH" for anything not
    // printable, space included.
    static std::string escape(std::string_view bytes);

    // A free TCP port on 127.0.0.1 below the system's range of ephemeral ports, for a device
    // that a test restarts: while it is down, a port of that range may be given to an outgoing
    // connection (a driver reconnecting another slot), which would keep the device from
    // listening again. Use it as "port=N" in the device's description; 0 if none was found.
    static uint16_t portBelowEphemeralRange();
    static bool unescape(std::string_view text, std::string& bytes);
    // Where the simulator binary is (fixed at build time).
    static const char* simulatorPath();

  private:
    bool readStartup(int timeoutMs);
    bool connectControl();
    int waitExit(int timeoutMs);
    std::string dev(int device) const { return std::to_string(device); }

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int controlFd_ = -1;
    std::string controlBuffer_;
    std::string stdoutBuffer_;
    bool ready_ = false;
    int exitStatus_ = -1;
    uint16_t controlPort_ = 0;
    std::vector<DeviceInfo> devices_;
    std::string error_;
};

}  // namespace vexlor::testing
