// vexlor-bench: end-to-end figures of the driver as a host sees them.
//
// The built driver is loaded by name like a host loads it (a private directory holding
// libvexlor.so, libwsock32.so and a Vexlor.ini written here) and talks to vexlor-sim, started as
// a child process that plays one Web-IO 12xDigital per slot on 127.0.0.1. For 1, 10 and 100 open
// slots it measures:
//
//   1. host call cost: time per ReadDI / ReadDO / ReadCI / WriteDO call, due and not due;
//   2. freshness: the simulator changes an input (control command); the host polls ReadDI with
//      Timing "0"; time until the new value is visible, beside a plain loopback ping-pong;
//   3. reply to visible: a device played by this program sends a reply of its own accord while a
//      host thread spins on a ReadDI that is never due; time from its send until ReadDI shows
//      the value, beside the loopback round trip and the wake-up of a thread blocked in select;
//   4. idle cost: CPU time and wakeups (context switches of all threads) per second with the
//      slots open and no traffic, at kind 0 (opened, never used) and with a kind stamped;
//   5. DeInit of an idle slot (kind 0 and stamped), and, once for the largest slot count,
//      unloading the library with every slot open (half of them stamped);
//   6. throughput: replies decoded per second with every slot polled back to back, with the
//      pieces of replies the driver did not recognise (error-box lines) and wrong values seen;
//   7. the alternative a user might script: one new TCP connection per read;
//   8. connection health (Reply Timeout and Reconnect on, 10 % of the devices faulty): a silent
//      device to its first 10060, a restarted device listening again to fresh values, the
//      healthy slots beside faulty ones against all healthy, and not-due reads with the health
//      keys off and on (see "Connection health" below).
//
// It prints a table and, with --json FILE, writes the same figures as JSON. It never judges the
// figures; it fails only when something could not be run at all.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_driver.h"
#include "support/json_writer.h"
#include "support/sim_launcher.h"
#include "support/stats.h"

namespace vexlor::bench {
namespace {

constexpr char kPassword[] = "bench42";
constexpr char kInputRequest[] = "GET /input?PW=bench42&";
constexpr char kTimingDue[] = "0";
constexpr char kTimingNotDue[] = "3600000";  // one hour: nothing falls due during a run
// Beyond the range of the driver's 32-bit millisecond counter: no read is ever due, so a slot
// opened with it sends nothing at all.
constexpr char kTimingNever[] = "99999999999";
constexpr uint16_t kFreshWord = 0x5A5;
// Input word while the throughput window runs: three hexadecimal digits, so a reply
// ("input;123" and its NUL) is 10 bytes, which does not divide the 256-byte receive block.
constexpr uint16_t kSteadyWord = 0x123;
constexpr uint16_t kMarkerWord = 0xA5A;

// --- Options ------------------------------------------------------------------------------------

struct Options {
    bool quick = false;
    std::string jsonPath;
    std::vector<int> slots{1, 10, 100};
    std::string driverPath;
    std::string wsockPath;
    std::string simPath;
    int pollUs = 1000;
};

struct Budget {
    int callSamples;       // timed calls per function and mode
    int freshnessSamples;  // input changes
    double idleSeconds;    // each idle measurement
    double windowSeconds;  // throughput window
    double drainLimitSeconds;
    int scriptReads;      // connect/send/recv/close reads per slot count
    int pingPongs;        // floor samples
    int watchdogSeconds;  // the whole run
    int wakeSamples;      // floor: wake-ups of a thread blocked in select
    int replySamples;     // device reply -> visible
    int deInitSamples;    // DeInit of an idle slot (half at kind 0, half stamped)
    int unloadRepeats;    // unloading with every slot open
    // Connection health.
    int replyTimeoutMs;      // "Reply Timeout" of every slot (Reconnect is on)
    int healthTimingMs;      // Timing of the silent and restart measurements
    int silentSamples;       // devices made silent, at least silentEpisodes times
    int silentEpisodes;      //
    int restartSamples;      // devices restarted, at least restartEpisodes times
    int restartEpisodes;     //
    int restartDownMinMs;    // a restart's down time is drawn from this range
    int restartDownMaxMs;    //
    int loadBlocks;          // all healthy / 10 % down, alternately, this many times each
    double loadSeconds;      // each of them
    int loadRestartEveryMs;  // a restarting device is restarted this often meanwhile
    int loadRestartDownMs;   // for this long
};

constexpr Budget kFull{20000, 500, 2.0, 0.5, 30.0, 2000, 5000, 900,  2000, 2000, 400,  3,
                       1000,  100, 10,  3,   10,   3,    500,  3000, 4,    1.5,  1000, 400};
constexpr Budget kQuick{400, 12,  0.25, 0.1, 5.0, 60, 200, 90,  50, 20,  10,  1,
                        300, 100, 1,    1,   1,   1,  300, 300, 1,  0.3, 200, 100};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: vexlor-bench [options]\n"
                 "  --quick          short run (a few seconds), for smoke tests\n"
                 "  --json FILE      also write the figures as JSON to FILE\n"
                 "  --slots LIST     slot counts, comma separated (default 1,10,100)\n"
                 "  --poll-us N      host poll period in the freshness test (default 1000)\n"
                 "  --driver FILE    driver library (default: libvexlor.so beside this program)\n"
                 "  --wsock32 FILE   socket layer (default: libwsock32.so beside this program)\n"
                 "  --sim FILE       simulator (default: vexlor-sim beside this program)\n"
                 "  -h, --help       this text\n");
}

bool ParseSlots(const std::string& text, std::vector<int>* slots) {
    slots->clear();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const long n = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || n < 1 || n > VEXLOR_SLOT_COUNT) return false;
        slots->push_back(static_cast<int>(n));
    }
    return !slots->empty();
}

// Returns 0 to go on, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--quick") {
            o->quick = true;
        } else if (a == "--json" && value(&o->jsonPath)) {
        } else if (a == "--slots" && value(&v)) {
            if (!ParseSlots(v, &o->slots)) {
                std::fprintf(stderr, "vexlor-bench: --slots wants numbers from 1 to 100\n");
                return 2;
            }
        } else if (a == "--poll-us" && value(&v)) {
            o->pollUs = std::atoi(v.c_str());
            if (o->pollUs < 1 || o->pollUs > 1000000) {
                std::fprintf(stderr, "vexlor-bench: --poll-us wants 1 to 1000000\n");
                return 2;
            }
        } else if (a == "--driver" && value(&o->driverPath)) {
        } else if (a == "--wsock32" && value(&o->wsockPath)) {
        } else if (a == "--sim" && value(&o->simPath)) {
        } else if (a == "-h" || a == "--help") {
            Usage(stdout);
            return -1;
        } else {
            std::fprintf(stderr, "vexlor-bench: unknown or incomplete option '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    const std::string here = ExecutableDirectory();
    if (o->driverPath.empty()) o->driverPath = here + "/libvexlor.so";
    if (o->wsockPath.empty()) o->wsockPath = here + "/libwsock32.so";
    if (o->simPath.empty()) o->simPath = here + "/vexlor-sim";
    return 0;
}

// --- Diagnostics while the driver's error boxes are captured -------------------------------------

// The driver shows an unrecognised reply as an error box, which on Linux is a line on standard
// error. Under load a reply can be cut at a receive-block boundary, and each piece is decoded on
// its own, so such lines are expected here: they are sent to a file and counted instead of
// flooding the terminal. The benchmark's own messages go to the original standard error.
class ErrorBoxCapture {
  public:
    ErrorBoxCapture() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/vexlor-bench-errors-XXXXXX";
        fd_ = mkostemp(pattern.data(), O_CLOEXEC | O_APPEND);
        if (fd_ < 0) return;
        unlink(pattern.c_str());  // removed when closed
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        if (saved_ < 0 || dup2(fd_, STDERR_FILENO) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~ErrorBoxCapture() { restore(); }
    ErrorBoxCapture(const ErrorBoxCapture&) = delete;
    ErrorBoxCapture& operator=(const ErrorBoxCapture&) = delete;

    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    int messageFd() const { return saved_ >= 0 ? saved_ : STDERR_FILENO; }

    // Error-box lines written so far (a caption of the digital or thermometer family first):
    // pieces of replies that matched no reply form, and, counted apart, error replies of the
    // device ("Error: ...").
    long long lines() const {
        long long count = 0;
        forEachLine(
            [&](const std::string& line) { count += IsErrorBox(line) && !IsDeviceError(line); });
        return count;
    }
    long long deviceErrors() const {
        long long count = 0;
        forEachLine(
            [&](const std::string& line) { count += IsErrorBox(line) && IsDeviceError(line); });
        return count;
    }
    std::string firstLine() const {
        std::string first;
        forEachLine([&](const std::string& line) {
            if (first.empty() && IsErrorBox(line) && !IsDeviceError(line)) first = line;
        });
        return first;
    }
    // Everything else that reached standard error meanwhile (a sanitizer report, for example).
    std::string otherText() const {
        std::string other;
        forEachLine([&](const std::string& line) {
            if (!IsErrorBox(line)) other += line + "\n";
        });
        return other;
    }

  private:
    static bool IsErrorBox(const std::string& line) { return line.rfind("Web-IO ", 0) == 0; }
    static bool IsDeviceError(const std::string& line) {
        return line.find(": Error:") != std::string::npos;
    }

    template <typename F>
    void forEachLine(F f) const {
        if (fd_ < 0) return;
        std::string line;
        char buffer[65536];
        off_t offset = 0;
        for (;;) {
            const ssize_t n = pread(fd_, buffer, sizeof buffer, offset);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\n') {
                    f(line);
                    line.clear();
                } else if (line.size() < 4096) {
                    line.push_back(buffer[i]);
                }
            }
            offset += n;
        }
        if (!line.empty()) f(line);
    }

    int fd_ = -1;
    int saved_ = -1;
};

int g_messageFd = STDERR_FILENO;

void Message(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::string line = std::string("vexlor-bench: ") + text + "\n";
    const ssize_t n = write(g_messageFd, line.data(), line.size());
    (void)n;
}

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted.store(true);
}

void SleepUs(double us) {
    if (us <= 0) return;
    timespec t{static_cast<time_t>(us / 1e6), static_cast<long>(std::fmod(us, 1e6) * 1000)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && !g_interrupted.load()) {
    }
}

// --- Results
// --------------------------------------------------------------------------------------

struct CallCost {
    Summary due;
    Summary notDue;
    long long failures = 0;
    long long notDueRequests = -1;  // requests the simulator saw during the not-due calls
    int requestsPerDueCall = 1;
};

enum Function { kReadDI, kReadDO, kReadCI, kWriteDO, kFunctionCount };
const char* const kFunctionNames[kFunctionCount] = {"ReadDI", "ReadDO", "ReadCI", "WriteDO"};

struct Idle {
    double cpuPercent = NAN;
    double wakeupsPerSecond = NAN;  // context switches of all threads of this process
};

// Slots open with no request traffic at all (a Timing that is never due).
struct Quiet {
    Idle kind0;       // opened, never used: no kind stamped
    Idle stamped;     // a kind stamped into every slot (by a WriteDO that changes nothing)
    Summary replyUs;  // device sends a reply -> a spinning ReadDI shows its value
    int replyTimeouts = 0;
    Summary deInitKind0Us;
    Summary deInitStampedUs;
};

struct Unload {
    int slots = 0;
    int stamped = 0;
    Summary ms;  // dlclose of the library
    long long failures = 0;
};

struct Freshness {
    Summary latencyUs;
    Summary controlRoundTripUs;
    Summary roundUs;  // host time of one poll round over all slots
    int timeouts = 0;
    double requestsPerSecond = NAN;
    double simCpuPercent = NAN;  // the simulator's CPU use meanwhile, % of one CPU
};

struct Throughput {
    double windowSeconds = 0;
    long long hostCalls = 0;
    double offeredPerSecond = NAN;
    long long repliesDecoded = 0;
    double decodedPerSecond = NAN;
    double drainLagMs = NAN;
    bool complete = false;
    long long unrecognisedPieces = 0;
    long long deviceErrors = 0;  // "Error: ..." replies of the simulator
    long long wrongValues = 0;   // ReadDI results that no reply carried (a cut reply's head)
    double simCpuPercent = NAN;  // the simulator's CPU use during the window, % of one CPU
};

struct Script {
    Summary readUs;
    double readsPerSecond = NAN;
    long long failures = 0;
};

// Connection health: the healthy slots' figures under one condition, as collected.
struct LoadSamples {
    std::vector<double> freshnessUs;  // input change -> visible
    std::vector<double> callUs;       // ReadDI of a healthy slot (due: Timing 0)
    std::vector<double> roundUs;      // one ReadDI of every slot
    int timeouts = 0;
    long long calls = 0;
    long long failures = 0;  // reads of healthy slots that returned other than 0
    double simCpuSeconds = 0;
    double seconds = 0;
};

struct HealthyLoad {
    bool measured = false;
    Summary freshnessUs;
    Summary callUs;
    Summary roundUs;
    int timeouts = 0;
    long long calls = 0;
    long long failures = 0;
    double simCpuPercent = NAN;  // the simulator's CPU use meanwhile, % of one CPU
};

struct Health {
    int faulty = 0;  // devices faulty at a time: 10 % of the slots, at least 1
    // Setting fault silent -> the first 10060 of a ReadDI of the slot.
    Summary silentMs;
    int silentMisses = 0;
    // Restart (Reconnect on): the device listens again -> ReadDI shows its changed input word.
    Summary listenToFreshMs;
    Summary downMs;  // restart command -> the device listens again, as polled
    int restartMisses = 0;
    std::vector<std::pair<double, double>> restartSamples;  // down ms, listening -> fresh ms
    // Healthy slots with every device healthy, and while 10 % are silent or restarting.
    int loadSilent = 0;
    int loadRestarting = 0;
    HealthyLoad allHealthy;
    HealthyLoad someDown;
    // ReadDI not due, every device healthy: the health keys off and on.
    Summary notDueOffUs;
    Summary notDueOnUs;
};

struct SlotRun {
    int slots = 0;
    double initMs = NAN;
    double deInitMs = NAN;
    CallCost cost[kFunctionCount];
    Freshness freshness;
    Quiet quiet;
    Throughput throughput;
    Script script;
    Health health;
    long long unrecognisedPieces = 0;  // over the whole run of this slot count
};

struct Floors {
    Summary pingPongUs;
    Summary deviceRoundTripUs;
    Summary wakeUs;  // send -> a thread blocked in select on the other end has the bytes
};

// --- The benchmark ------------------------------------------------------------------------------

class Bench {
  public:
    Bench(const Options& options, DriverHost& host, Simulator& sim, ErrorBoxCapture& errors)
        : o_(options),
          b_(options.quick ? kQuick : kFull),
          host_(host),
          sim_(sim),
          errors_(errors),
          random_(12345) {}

    const Budget& budget() const { return b_; }

    bool MeasureFloors(Floors* f);
    Idle MeasureIdle();
    bool RunSlots(int n, SlotRun* r);
    bool MeasureUnload(int n, Unload* u);
    double TimerOverheadNs();

  private:
    // Opens slots 0 to n-1, each on its simulated device, or slot 0 on slot0Port when given.
    bool Open(int n, const char* timing, double* ms = nullptr, uint16_t slot0Port = 0);
    // Stamps the 12xDigital kind into a slot without sending anything: a WriteDO whose values
    // are neither 0 nor 1 switches no output.
    void Stamp(uint16_t slot);
    void Close(int n, double* ms = nullptr);
    void Quiesce();
    long long TotalRequests(int n);

    int Call(Function f, uint16_t slot, bool due);
    bool MeasureCalls(int n, Function f, bool due, Summary* out, long long* failures);
    bool MeasureFreshness(int n, Freshness* out);
    bool MeasureThroughput(int n, Throughput* out);
    bool MeasureScript(int n, Script* out);
    bool MeasureQuiet(int n, Quiet* out);
    // Connection health (see MeasureHealth).
    bool OpenHealth(int n, const char* timing, const std::string& replyTimeout,
                    const std::string& reconnect);
    bool WaitHealthy(int n, double seconds);
    void PaceRound(double* next);
    void RunRounds(int n, double us);
    bool MeasureSilent(int n, Health* h);
    bool MeasureRestarts(int n, Health* h);
    bool MeasureLoad(int n, const std::vector<int>& faulty, bool faultsOn, LoadSamples* out);
    bool MeasureHealthyLoad(int n, Health* h);
    bool MeasureHealthNotDue(int n, Health* h);
    bool MeasureHealth(int n, Health* h);

    const Options& o_;
    const Budget b_;
    DriverHost& host_;
    Simulator& sim_;
    ErrorBoxCapture& errors_;
    std::mt19937 random_;
    std::vector<uint8_t> outputState_ = std::vector<uint8_t>(VEXLOR_SLOT_COUNT, 0);
    // The health keys Open writes for every slot; empty: none (the driver's defaults).
    std::string replyTimeout_;
    std::string reconnect_;
    unsigned nextWord_ = 0;
};

double Bench::TimerOverheadNs() {
    std::vector<double> d;
    for (int i = 0; i < 10000; ++i) {
        const double a = NowUs();
        const double c = NowUs();
        d.push_back((c - a) * 1000);
    }
    return Summarize(d).median;
}

bool Bench::Open(int n, const char* timing, double* ms, uint16_t slot0Port) {
    std::vector<SlotSettings> slots;
    for (int i = 0; i < n; ++i) {
        SlotSettings s;
        s.slot = i;
        s.port = i == 0 && slot0Port != 0 ? slot0Port : sim_.port(static_cast<size_t>(i));
        s.timing = timing;
        s.password = kPassword;
        slots.push_back(s);
    }
    const bool written = replyTimeout_.empty()
                             ? host_.writeSettings(slots)
                             : host_.writeSettings(slots, replyTimeout_, reconnect_);
    if (!written) {
        Message("%s", host_.error().c_str());
        return false;
    }
    const double t0 = NowUs();
    for (int i = 0; i < n; ++i) {
        const int rc = host_.init(1, static_cast<uint16_t>(i));
        if (rc != 0) {
            Message("VexlorWeb_IO_Init(slot %d) returned %d", i, rc);
            for (int j = 0; j < i; ++j) host_.deinit(1, static_cast<uint16_t>(j));
            return false;
        }
    }
    if (ms != nullptr) *ms = (NowUs() - t0) / 1000;
    std::fill(outputState_.begin(), outputState_.end(), 0);
    return true;
}

void Bench::Close(int n, double* ms) {
    const double t0 = NowUs();
    for (int i = 0; i < n; ++i) host_.deinit(1, static_cast<uint16_t>(i));
    if (ms != nullptr) *ms = (NowUs() - t0) / 1000;
    Quiesce();
}

void Bench::Stamp(uint16_t slot) {
    uint16_t values[12];
    std::fill(std::begin(values), std::end(values), 5);
    host_.WriteDO(slot, values);
}

// Lets the simulator finish with closed connections before the next measurement.
void Bench::Quiesce() {
    sim_.command("ping");
    SleepUs(20000);
}

long long Bench::TotalRequests(int n) {
    long long total = 0;
    for (int i = 0; i < n; ++i) {
        const long long r = sim_.requests(static_cast<size_t>(i));
        if (r < 0) return -1;
        total += r;
    }
    return total;
}

// One call of a 12xDigital function. WriteDO toggles output 0 of the slot when `due` (one
// request) and repeats the previous values otherwise (nothing to send).
int Bench::Call(Function f, uint16_t slot, bool due) {
    uint16_t word = 0, bits[12];
    int32_t counters[12];
    switch (f) {
        case kReadDI:
            return host_.ReadDI(slot, &word, bits);
        case kReadDO:
            return host_.ReadDO(slot, &word, bits);
        case kReadCI:
            return host_.ReadCI(slot, counters);
        default: {
            if (due) outputState_[slot] ^= 1;
            uint16_t values[12] = {};
            values[0] = outputState_[slot];
            return host_.WriteDO(slot, values);
        }
    }
}

bool Bench::MeasureCalls(int n, Function f, bool due, Summary* out, long long* failures) {
    // One round first: after Init the first WriteDO sends all twelve outputs, and a read may
    // find its first request due.
    for (int i = 0; i < n; ++i) Call(f, static_cast<uint16_t>(i), due);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(b_.callSamples));
    for (int k = 0; k < b_.callSamples && !g_interrupted.load(); ++k) {
        const auto slot = static_cast<uint16_t>(k % n);
        const double t0 = NowUs();
        const int rc = Call(f, slot, due);
        const double t1 = NowUs();
        samples.push_back(t1 - t0);
        if (rc != 0) ++*failures;
    }
    *out = Summarize(std::move(samples));
    return !g_interrupted.load();
}

// Context switches of every thread of this process so far, voluntary and not
// (/proc/self/task/*/status). A thread that wakes up and goes back to waiting adds one, so their
// growth per second counts the wakeups of the receive threads. -1 when /proc cannot be read.
long long TaskSwitches() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    long long total = 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::atoll(line.c_str() + line.find(':') + 1);
            }
        }
    }
    closedir(tasks);
    return total;
}

Idle Bench::MeasureIdle() {
    Idle idle;
    rusage a{}, b{};
    const long long switchesBefore = TaskSwitches();
    getrusage(RUSAGE_SELF, &a);
    const double t0 = NowUs();
    SleepUs(b_.idleSeconds * 1e6);
    getrusage(RUSAGE_SELF, &b);
    const double seconds = (NowUs() - t0) / 1e6;
    const long long switchesAfter = TaskSwitches();
    auto us = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + t.tv_usec; };
    const double cpuUs = us(b.ru_utime) - us(a.ru_utime) + us(b.ru_stime) - us(a.ru_stime);
    idle.cpuPercent = cpuUs / (seconds * 1e6) * 100;
    if (switchesBefore >= 0 && switchesAfter >= 0) {
        idle.wakeupsPerSecond = static_cast<double>(switchesAfter - switchesBefore) / seconds;
    }
    return idle;
}

// Accepts one connection within ms milliseconds, with TCP_NODELAY like the simulator's; -1 when
// none came.
int AcceptWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return -1;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Slots open with no request traffic at all: every slot's Timing is never due. Slot 0's device
// is played by this program on a socket of its own, so the moment a reply leaves the device is
// known to the microsecond; the other slots talk to their simulated devices, which have nothing
// to say. Measures, in this order:
//   - idle cost with no kind stamped (slots opened, never used);
//   - idle cost with the 12xDigital kind stamped into every slot;
//   - reply to visible: slot 0's device sends "input;" and a word of its own accord while this
//     thread spins on ReadDI of slot 0 (never due, so it only copies the stored values); the
//     time from just before the send until ReadDI returns the word;
//   - DeInit of slot 0 while idle, alternately stamped and at kind 0, reopening it in between.
bool Bench::MeasureQuiet(int n, Quiet* q) {
    uint16_t port = 0;
    Descriptor listener(ListenLoopback(&port));
    if (listener.get() < 0) {
        Message("cannot listen on 127.0.0.1");
        return false;
    }
    if (!Open(n, kTimingNever, nullptr, port)) return false;
    Descriptor device(AcceptWithin(listener.get(), 5000));
    if (device.get() < 0) {
        Message("slot 0 did not connect to the benchmark's own device");
        Close(n);
        return false;
    }
    SleepUs(50000);
    q->kind0 = MeasureIdle();
    for (int i = 0; i < n; ++i) Stamp(static_cast<uint16_t>(i));
    SleepUs(50000);
    q->stamped = MeasureIdle();

    std::vector<double> samples;
    std::uniform_real_distribution<double> gap(1000, 4000);
    for (int k = 0; k < b_.replySamples && !g_interrupted.load(); ++k) {
        SleepUs(gap(random_));
        const uint16_t word = k % 2 == 0 ? kFreshWord : kMarkerWord;
        char reply[16];
        const int length =
            std::snprintf(reply, sizeof reply, "input;%X", static_cast<unsigned>(word)) + 1;
        uint16_t shown = 0, bits[12];
        const double t0 = NowUs();
        if (!SendAll(device.get(), reply, static_cast<size_t>(length))) {
            Message("the driver closed slot 0's connection");
            Close(n);
            return false;
        }
        const double deadline = t0 + 2e6;
        double seenAt = NAN;
        for (;;) {
            host_.ReadDI(0, &shown, bits);
            const double t = NowUs();
            if (shown == word) {
                seenAt = t;
                break;
            }
            if (t > deadline || g_interrupted.load()) break;
        }
        if (std::isnan(seenAt)) {
            ++q->replyTimeouts;
        } else {
            samples.push_back(seenAt - t0);
        }
    }
    q->replyUs = Summarize(std::move(samples));

    // Slot 0 is stamped now; after each reopening it is stamped again every other time.
    std::vector<double> kind0, stamped;
    std::uniform_real_distribution<double> settle(2000, 5000);
    bool ok = true;
    for (int k = 0; k < b_.deInitSamples && ok && !g_interrupted.load(); ++k) {
        const bool isStamped = k % 2 == 0;
        SleepUs(settle(random_));
        const double t0 = NowUs();
        const int rc = host_.deinit(1, 0);
        const double us = NowUs() - t0;
        device.reset();
        if (rc != 0) {
            Message("VexlorWeb_IO_DeInit(slot 0) returned %d", rc);
            ok = false;
            break;
        }
        (isStamped ? stamped : kind0).push_back(us);
        const int init = host_.init(1, 0);
        device.reset(init == 0 ? AcceptWithin(listener.get(), 5000) : -1);
        if (device.get() < 0) {
            Message("reopening slot 0 failed (Init returned %d)", init);
            ok = false;
            break;
        }
        if (!isStamped) Stamp(0);
    }
    q->deInitKind0Us = Summarize(std::move(kind0));
    q->deInitStampedUs = Summarize(std::move(stamped));
    Close(n);
    return ok && !g_interrupted.load();
}

// Unloading the library (dlclose) with n slots open and idle, every other one stamped; the
// driver is loaded afresh for each repetition and stays unloaded after the last.
bool Bench::MeasureUnload(int n, Unload* u) {
    u->slots = n;
    u->stamped = (n + 1) / 2;
    std::vector<double> ms;
    for (int k = 0; k < b_.unloadRepeats && !g_interrupted.load(); ++k) {
        if (!host_.reload()) {
            Message("cannot load the driver again: %s", host_.error().c_str());
            return false;
        }
        if (!Open(n, kTimingNever)) return false;
        for (int i = 0; i < n; i += 2) Stamp(static_cast<uint16_t>(i));
        SleepUs(50000);
        const double t0 = NowUs();
        const int rc = host_.unload();
        ms.push_back((NowUs() - t0) / 1000);
        if (rc != 0) ++u->failures;
        Quiesce();
    }
    u->ms = Summarize(std::move(ms));
    return !g_interrupted.load();
}

// Freshness: the host polls every slot with ReadDI once per poll period (Timing "0", so every
// call sends a request); the simulator changes the input word of one device; the time from
// sending that control command until ReadDI returns the new word.
bool Bench::MeasureFreshness(int n, Freshness* out) {
    std::vector<uint16_t> current(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        if (!sim_.setInputs(static_cast<size_t>(i), 0)) {
            Message("the simulator did not take a control command");
            return false;
        }
    }
    const double period = o_.pollUs;
    std::vector<double> latencies, controls, rounds;
    double next = NowUs();
    int target = -1;
    uint16_t expected = 0;
    double seenAt = NAN;
    bool awaitingReply = false;  // a control command is out and its reply has not come yet
    double okAt = NAN;
    // Waits for the next round; meanwhile notes when the simulator confirms a command.
    auto waitForRound = [&]() {
        for (;;) {
            const double left = next - NowUs();
            if (left <= 0) return;
            if (!awaitingReply) {
                SleepUs(left);
                return;
            }
            if (sim_.waitReadable(left) && !sim_.readReply(0).empty()) {
                okAt = NowUs();
                awaitingReply = false;
            }
        }
    };
    auto round = [&]() {
        waitForRound();
        const double start = NowUs();
        next = std::max(next + period, start);
        uint16_t word = 0, bits[12];
        for (int i = 0; i < n; ++i) {
            host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
            if (i == target && word == expected && std::isnan(seenAt)) seenAt = NowUs();
        }
        rounds.push_back(NowUs() - start);
    };
    auto runFor = [&](double us) {
        const double end = NowUs() + us;
        while (NowUs() < end && !g_interrupted.load()) round();
    };
    runFor(20000);
    const double simCpuBefore = sim_.cpuSeconds();
    const double phaseStart = NowUs();
    std::uniform_real_distribution<double> settle(2000, 5000);
    for (int s = 0; s < b_.freshnessSamples && !g_interrupted.load(); ++s) {
        const int d = s % n;
        runFor(settle(random_));
        target = d;
        expected = current[static_cast<size_t>(d)] == 0 ? kFreshWord : 0;
        seenAt = NAN;
        okAt = NAN;
        const double t0 = NowUs();
        if (!sim_.sendCommand("inputs " + std::to_string(d) + " " + std::to_string(expected))) {
            Message("the simulator's control connection failed");
            return false;
        }
        awaitingReply = true;
        const double deadline = t0 + 2e6;
        while (std::isnan(seenAt) && NowUs() < deadline && !g_interrupted.load()) round();
        if (awaitingReply) {
            if (sim_.readReply().empty()) {
                Message("the simulator did not answer a control command");
                return false;
            }
            okAt = NowUs();
            awaitingReply = false;
        }
        controls.push_back(okAt - t0);
        current[static_cast<size_t>(d)] = expected;
        target = -1;
        if (std::isnan(seenAt)) {
            ++out->timeouts;
        } else {
            latencies.push_back(seenAt - t0);
        }
    }
    out->simCpuPercent = (sim_.cpuSeconds() - simCpuBefore) / ((NowUs() - phaseStart) / 1e6) * 100;
    out->latencyUs = Summarize(std::move(latencies));
    out->controlRoundTripUs = Summarize(std::move(controls));
    out->roundUs = Summarize(std::move(rounds));
    out->requestsPerSecond = n * 1e6 / std::max(period, out->roundUs.median);
    return !g_interrupted.load();
}

// Throughput: every slot is polled with ReadDI back to back for a fixed window (Timing "0": each
// call sends one request). Then the simulator is given time to take in every request, the
// input word of every device is set to a marker value and one more request is sent per slot.
// Each request gets exactly one reply and a connection delivers its replies in order, so when
// ReadDI shows the marker on every slot the receive threads have taken in and decoded every
// reply counted by the simulator. Replies decoded per second = requests the simulator counted
// (window plus markers) / time from the start of the window until the last marker was seen.
bool Bench::MeasureThroughput(int n, Throughput* out) {
    for (int i = 0; i < n; ++i) sim_.setInputs(static_cast<size_t>(i), kSteadyWord);
    const long long before = TotalRequests(n);
    if (before < 0) {
        Message("the simulator did not report its request count");
        return false;
    }
    const long long errorsBefore = errors_.lines();
    const long long deviceErrorsBefore = errors_.deviceErrors();
    uint16_t word = 0, bits[12];
    // Init clears the word to 0; every reply carries the steady word or, at the end, the marker.
    auto check = [&]() {
        if (word != 0 && word != kSteadyWord && word != kMarkerWord) ++out->wrongValues;
    };
    const double simCpuBefore = sim_.cpuSeconds();
    const double start = NowUs();
    const double end = start + b_.windowSeconds * 1e6;
    long long calls = 0;
    while (NowUs() < end && !g_interrupted.load()) {
        for (int i = 0; i < n; ++i) {
            host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
            check();
        }
        calls += n;
    }
    const double stopped = NowUs();
    out->simCpuPercent = (sim_.cpuSeconds() - simCpuBefore) / ((stopped - start) / 1e6) * 100;
    out->windowSeconds = (stopped - start) / 1e6;
    out->hostCalls = calls;
    out->offeredPerSecond = static_cast<double>(calls) / out->windowSeconds;

    // Wait until the simulator has taken in every request (its count stops moving).
    long long total = -1;
    const double settleDeadline = NowUs() + 10e6;
    for (;;) {
        const long long now = TotalRequests(n);
        if (now < 0) return false;
        if (now == total || NowUs() > settleDeadline) {
            total = now;
            break;
        }
        total = now;
        SleepUs(5000);
    }
    for (int i = 0; i < n; ++i) sim_.setInputs(static_cast<size_t>(i), kMarkerWord);
    for (int i = 0; i < n; ++i) host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
    std::vector<bool> seen(static_cast<size_t>(n), false);
    int missing = n;
    double lastSeen = NAN;
    const double deadline = NowUs() + b_.drainLimitSeconds * 1e6;
    while (missing > 0 && NowUs() < deadline && !g_interrupted.load()) {
        SleepUs(1000);
        for (int i = 0; i < n; ++i) {
            if (seen[static_cast<size_t>(i)]) continue;
            host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
            check();
            if (word == kMarkerWord) {
                seen[static_cast<size_t>(i)] = true;
                --missing;
                lastSeen = NowUs();
            }
        }
    }
    out->complete = missing == 0;
    out->repliesDecoded = total - before + n;
    if (out->complete) {
        out->decodedPerSecond =
            static_cast<double>(out->repliesDecoded) / ((lastSeen - start) / 1e6);
        out->drainLagMs = (lastSeen - stopped) / 1000;
    } else {
        Message("%d slot(s) did not show the marker within %.0f s; throughput not measured",
                missing, b_.drainLimitSeconds);
    }
    out->unrecognisedPieces = errors_.lines() - errorsBefore;
    out->deviceErrors = errors_.deviceErrors() - deviceErrorsBefore;
    return !g_interrupted.load();
}

// The scripted alternative: for every read a new TCP connection to the device, one request, the
// reply, and close.
bool Bench::MeasureScript(int n, Script* out) {
    std::vector<double> samples;
    const double start = NowUs();
    for (int k = 0; k < b_.scriptReads && !g_interrupted.load(); ++k) {
        const uint16_t port = sim_.port(static_cast<size_t>(k % n));
        const double t0 = NowUs();
        const int fd = ConnectLoopback(port);
        bool ok = fd >= 0 && SendAll(fd, kInputRequest, sizeof kInputRequest - 1);
        std::string reply;
        ok = ok && ReceiveReply(fd, &reply) && reply.rfind("input;", 0) == 0;
        if (fd >= 0) close(fd);
        const double t1 = NowUs();
        if (ok) {
            samples.push_back(t1 - t0);
        } else {
            ++out->failures;
        }
    }
    const double seconds = (NowUs() - start) / 1e6;
    out->readsPerSecond = static_cast<double>(samples.size()) / seconds;
    out->readUs = Summarize(std::move(samples));
    if (out->failures > 0) Message("%lld scripted read(s) failed", out->failures);
    return !g_interrupted.load();
}

// --- Connection health
// ----------------------------------------------------------------------------
//
// Every slot has "Reply Timeout" (Budget::replyTimeoutMs) and "Reconnect" = 1. At a time, 10 % of
// the devices (at least one) are faulty, spread over the slots; the host reads every slot with
// ReadDI once per poll period (--poll-us), as a polling host does. Measured:
//   - silent: the device's fault "silent" is set (a pulled cable); time from just before that
//     control command until the slot's ReadDI first returns 10060 (Timing healthTimingMs);
//   - restart: the device is restarted (connections reset, down for a time drawn from a range)
//     with a changed input word; its "listening" state is polled every round; time from the
//     round in which it listens again until ReadDI returns 0 with the new word (Timing
//     healthTimingMs);
//   - the healthy slots (Timing 0) with every device healthy and while the faulty ones are half
//     silent, half restarting over and over: freshness (as in MeasureFreshness, the changed
//     device one of the healthy ones), the cost of their ReadDI calls and their failed reads;
//   - ReadDI not due with the health keys off (Reply Timeout 0, Reconnect 0) and on.

// The faulty devices of episode e: k of n, evenly spread, shifted by e.
std::vector<int> FaultySet(int n, int k, int e) {
    std::vector<int> set;
    const int step = std::max(1, n / k);
    for (int j = 0; j < k; ++j) set.push_back((e + j * step) % n);
    return set;
}

bool Bench::OpenHealth(int n, const char* timing, const std::string& replyTimeout,
                       const std::string& reconnect) {
    replyTimeout_ = replyTimeout;
    reconnect_ = reconnect;
    const bool ok = Open(n, timing);
    replyTimeout_.clear();
    reconnect_.clear();
    return ok;
}

// Waits for the next poll round of the host.
void Bench::PaceRound(double* next) {
    const double left = *next - NowUs();
    if (left > 0) SleepUs(left);
    *next = std::max(*next + o_.pollUs, NowUs());
}

// Reads every slot once per poll period for `us` microseconds.
void Bench::RunRounds(int n, double us) {
    const double end = NowUs() + us;
    double next = NowUs();
    uint16_t word = 0, bits[12];
    while (NowUs() < end && !g_interrupted.load()) {
        PaceRound(&next);
        for (int i = 0; i < n; ++i) host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
    }
}

// Reads every slot once per poll period until one round finds all of them returning 0.
bool Bench::WaitHealthy(int n, double seconds) {
    const double deadline = NowUs() + seconds * 1e6;
    double next = NowUs();
    uint16_t word = 0, bits[12];
    while (NowUs() < deadline && !g_interrupted.load()) {
        PaceRound(&next);
        bool all = true;
        for (int i = 0; i < n; ++i)
            all = host_.ReadDI(static_cast<uint16_t>(i), &word, bits) == 0 && all;
        if (all) return true;
    }
    return false;
}

bool Bench::MeasureSilent(int n, Health* h) {
    const std::string timing = std::to_string(b_.healthTimingMs);
    if (!OpenHealth(n, timing.c_str(), std::to_string(b_.replyTimeoutMs), "1")) return false;
    if (!WaitHealthy(n, 10)) Message("silent: not every slot answered at first");
    const int k = h->faulty;
    const int episodes = std::max(b_.silentEpisodes, (b_.silentSamples + k - 1) / k);
    std::uniform_real_distribution<double> phase(50e3, (50 + b_.healthTimingMs) * 1e3);
    std::vector<double> samples;
    uint16_t word = 0, bits[12];
    bool ok = true;
    for (int e = 0; e < episodes && ok && !g_interrupted.load(); ++e) {
        // The slots' requests go out together, in step with the recovery just waited for: a
        // pause of a random part of the Timing puts the fault at a random point of the cycle.
        RunRounds(n, phase(random_));
        const std::vector<int> faulty = FaultySet(n, k, e);
        std::vector<double> since(static_cast<size_t>(n), NAN), seen(static_cast<size_t>(n), NAN);
        for (int d : faulty) {
            since[static_cast<size_t>(d)] = NowUs();
            if (!sim_.setFault(static_cast<size_t>(d), "silent")) {
                Message("the simulator did not take fault silent");
                ok = false;
                break;
            }
        }
        const double deadline = NowUs() + (b_.replyTimeoutMs + b_.healthTimingMs + 5000) * 1e3;
        int missing = k;
        double next = NowUs();
        while (ok && missing > 0 && NowUs() < deadline && !g_interrupted.load()) {
            PaceRound(&next);
            for (int i = 0; i < n; ++i) {
                const int rc = host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
                const auto u = static_cast<size_t>(i);
                if (rc == 10060 && !std::isnan(since[u]) && std::isnan(seen[u])) {
                    seen[u] = NowUs();
                    --missing;
                }
            }
        }
        for (int d : faulty) {
            const auto u = static_cast<size_t>(d);
            if (std::isnan(seen[u])) {
                ++h->silentMisses;
            } else {
                samples.push_back((seen[u] - since[u]) / 1000);
            }
            if (!sim_.setFault(u, "silent", "off")) ok = false;
        }
        if (ok && !WaitHealthy(n, 10)) {
            Message("silent: a slot did not recover within 10 s of its device answering again");
        }
    }
    h->silentMs = Summarize(std::move(samples));
    Close(n);
    return ok && !g_interrupted.load();
}

bool Bench::MeasureRestarts(int n, Health* h) {
    const std::string timing = std::to_string(b_.healthTimingMs);
    if (!OpenHealth(n, timing.c_str(), std::to_string(b_.replyTimeoutMs), "1")) return false;
    if (!WaitHealthy(n, 10)) Message("restart: not every slot answered at first");
    const int k = h->faulty;
    const int episodes = std::max(b_.restartEpisodes, (b_.restartSamples + k - 1) / k);
    std::uniform_int_distribution<int> downDistribution(b_.restartDownMinMs, b_.restartDownMaxMs);
    std::uniform_real_distribution<double> phase(50e3, (50 + b_.healthTimingMs) * 1e3);
    std::vector<double> latencies, downs;
    uint16_t word = 0, bits[12];
    bool ok = true;
    for (int e = 0; e < episodes && ok && !g_interrupted.load(); ++e) {
        RunRounds(n, phase(random_));
        const std::vector<int> faulty = FaultySet(n, k, e);
        const int down = downDistribution(random_);
        const auto size = static_cast<size_t>(n);
        std::vector<double> restartAt(size, NAN), listenAt(size, NAN), freshAt(size, NAN);
        std::vector<int> expected(size, -1);
        for (int d : faulty) {
            const auto u = static_cast<size_t>(d);
            // Words no other measurement uses, so a new one is never the word already there.
            expected[u] = 0xC00 + static_cast<int>(nextWord_++ % 0x100);
            restartAt[u] = NowUs();
            if (!sim_.restart(u, down) || !sim_.setInputs(u, static_cast<uint32_t>(expected[u]))) {
                Message("the simulator did not take a restart");
                ok = false;
                break;
            }
        }
        const double deadline = NowUs() + (down + 10000) * 1e3;
        int missing = k;
        double next = NowUs();
        while (ok && missing > 0 && NowUs() < deadline && !g_interrupted.load()) {
            PaceRound(&next);
            // Listening is looked at before the reads of the round: a connection needs it, so
            // fresh values are never seen before it.
            for (int d : faulty) {
                const auto u = static_cast<size_t>(d);
                if (!std::isnan(listenAt[u])) continue;
                const double t0 = NowUs();
                const int listening = sim_.listening(u);
                if (listening < 0) {
                    Message("the simulator did not answer 'listening'");
                    ok = false;
                    break;
                }
                if (listening == 1) listenAt[u] = (t0 + NowUs()) / 2;
            }
            for (int i = 0; i < n && ok; ++i) {
                const int rc = host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
                const auto u = static_cast<size_t>(i);
                if (expected[u] >= 0 && std::isnan(freshAt[u]) && rc == 0 && word == expected[u]) {
                    freshAt[u] = NowUs();
                    --missing;
                }
            }
        }
        for (int d : faulty) {
            const auto u = static_cast<size_t>(d);
            if (std::isnan(freshAt[u]) || std::isnan(listenAt[u])) {
                ++h->restartMisses;
                continue;
            }
            const double ms = (freshAt[u] - listenAt[u]) / 1000;
            latencies.push_back(ms);
            downs.push_back((listenAt[u] - restartAt[u]) / 1000);
            h->restartSamples.emplace_back(down, ms);
        }
    }
    h->listenToFreshMs = Summarize(std::move(latencies));
    h->downMs = Summarize(std::move(downs));
    Close(n);
    return ok && !g_interrupted.load();
}

// One stretch of loadSeconds with Timing 0 on every slot (already open and healthy). With
// faultsOn the faulty devices are taken down first, every other one silent and the rest
// restarting over and over, and are healthy again at the end.
bool Bench::MeasureLoad(int n, const std::vector<int>& faulty, bool faultsOn, LoadSamples* out) {
    const auto size = static_cast<size_t>(n);
    std::vector<bool> isFaulty(size, false);
    for (int d : faulty) isFaulty[static_cast<size_t>(d)] = true;
    std::vector<int> healthy;
    for (int i = 0; i < n; ++i) {
        if (!isFaulty[static_cast<size_t>(i)]) healthy.push_back(i);
    }
    std::vector<int> silent, restarting;
    for (size_t j = 0; j < faulty.size(); ++j)
        (j % 2 == 0 ? silent : restarting).push_back(faulty[j]);
    uint16_t word = 0, bits[12];
    double next = NowUs();
    if (faultsOn) {
        for (int d : silent) {
            if (!sim_.setFault(static_cast<size_t>(d), "silent")) return false;
        }
        for (int d : restarting) {
            if (!sim_.restart(static_cast<size_t>(d), b_.loadRestartDownMs)) return false;
        }
        // Until the silent ones are stale and reconnecting.
        const double until = NowUs() + (b_.replyTimeoutMs + 200) * 1e3;
        while (NowUs() < until && !g_interrupted.load()) {
            PaceRound(&next);
            for (int i = 0; i < n; ++i) host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
        }
    }
    // Control commands are written without waiting, their replies read between rounds, in order.
    std::vector<bool> pendingIsInput;
    size_t pendingHead = 0;
    auto serve = [&](double untilUs) {
        for (;;) {
            const double left = untilUs - NowUs();
            if (pendingHead == pendingIsInput.size()) {
                SleepUs(left);
                return;
            }
            if (left <= 0) return;
            if (sim_.waitReadable(left) && !sim_.readReply(0).empty()) ++pendingHead;
        }
    };
    std::uniform_real_distribution<double> settle(2000, 5000);
    const double simCpuBefore = sim_.cpuSeconds();
    const double start = NowUs();
    const double end = start + b_.loadSeconds * 1e6;
    double nextChange = start + settle(random_);
    double nextRestart = start + b_.loadRestartEveryMs * 1e3;
    size_t targetIndex = 0;
    int target = -1;
    uint16_t expected = 0;
    double changedAt = NAN;
    while (NowUs() < end && !g_interrupted.load()) {
        serve(next);
        const double roundStart = NowUs();
        next = std::max(next + o_.pollUs, roundStart);
        for (int i = 0; i < n; ++i) {
            const auto u = static_cast<size_t>(i);
            const double t0 = NowUs();
            const int rc = host_.ReadDI(static_cast<uint16_t>(i), &word, bits);
            const double t1 = NowUs();
            if (isFaulty[u]) continue;
            out->callUs.push_back(t1 - t0);
            ++out->calls;
            if (rc != 0) ++out->failures;
            if (i == target && word == expected) {
                out->freshnessUs.push_back(t1 - changedAt);
                target = -1;
                nextChange = t1 + settle(random_);
            }
        }
        const double now = NowUs();
        out->roundUs.push_back(now - roundStart);
        if (target >= 0 && now - changedAt > 2e6) {
            ++out->timeouts;
            target = -1;
            nextChange = now + settle(random_);
        }
        if (target < 0 && now >= nextChange && !healthy.empty()) {
            target = healthy[targetIndex++ % healthy.size()];
            // The healthy devices' words alternate between 0 (set before) and kFreshWord.
            host_.ReadDI(static_cast<uint16_t>(target), &word, bits);
            expected = word == 0 ? kFreshWord : 0;
            changedAt = NowUs();
            if (!sim_.sendCommand("inputs " + std::to_string(target) + " " +
                                  std::to_string(expected))) {
                return false;
            }
            pendingIsInput.push_back(true);
        }
        if (faultsOn && now >= nextRestart) {
            for (int d : restarting) {
                if (!sim_.sendCommand("restart " + std::to_string(d) + " " +
                                      std::to_string(b_.loadRestartDownMs))) {
                    return false;
                }
                pendingIsInput.push_back(false);
            }
            nextRestart += b_.loadRestartEveryMs * 1e3;
        }
    }
    out->simCpuSeconds += sim_.cpuSeconds() - simCpuBefore;
    out->seconds += (NowUs() - start) / 1e6;
    while (pendingHead < pendingIsInput.size()) {
        if (sim_.readReply().empty()) {
            Message("the simulator did not answer a control command");
            return false;
        }
        ++pendingHead;
    }
    // A change whose value had not come yet is waited for, so the words stay known.
    if (target >= 0) {
        const double deadline = NowUs() + 2e6;
        while (NowUs() < deadline) {
            host_.ReadDI(static_cast<uint16_t>(target), &word, bits);
            if (word == expected) break;
            SleepUs(1000);
        }
    }
    if (faultsOn) {
        for (int d : faulty) {
            if (!sim_.setFault(static_cast<size_t>(d), "none")) return false;
        }
        if (!WaitHealthy(n, 10)) Message("load: a faulty slot did not recover within 10 s");
    }
    return !g_interrupted.load();
}

HealthyLoad SummarizeLoad(LoadSamples s) {
    HealthyLoad h;
    h.measured = true;
    h.freshnessUs = Summarize(std::move(s.freshnessUs));
    h.callUs = Summarize(std::move(s.callUs));
    h.roundUs = Summarize(std::move(s.roundUs));
    h.timeouts = s.timeouts;
    h.calls = s.calls;
    h.failures = s.failures;
    if (s.seconds > 0) h.simCpuPercent = s.simCpuSeconds / s.seconds * 100;
    return h;
}

bool Bench::MeasureHealthyLoad(int n, Health* h) {
    if (n < 2) return true;  // no slot would stay healthy
    const std::vector<int> faulty = FaultySet(n, h->faulty, 0);
    h->loadSilent = (h->faulty + 1) / 2;
    h->loadRestarting = h->faulty / 2;
    for (int i = 0; i < n; ++i) {
        if (!sim_.setInputs(static_cast<size_t>(i), 0)) return false;
    }
    if (!OpenHealth(n, kTimingDue, std::to_string(b_.replyTimeoutMs), "1")) return false;
    if (!WaitHealthy(n, 10)) Message("load: not every slot answered at first");
    LoadSamples all, some;
    bool ok = true;
    for (int block = 0; block < b_.loadBlocks && ok && !g_interrupted.load(); ++block) {
        ok = MeasureLoad(n, faulty, false, &all) && MeasureLoad(n, faulty, true, &some);
    }
    Close(n);
    if (!ok) Message("the healthy-slot load could not be measured");
    h->allHealthy = SummarizeLoad(std::move(all));
    h->someDown = SummarizeLoad(std::move(some));
    return ok && !g_interrupted.load();
}

bool Bench::MeasureHealthNotDue(int n, Health* h) {
    long long failures = 0;
    for (const bool on : {false, true}) {
        if (!OpenHealth(n, kTimingNotDue, on ? std::to_string(b_.replyTimeoutMs) : "0",
                        on ? "1" : "0")) {
            return false;
        }
        for (int i = 0; i < n; ++i) Call(kReadDI, static_cast<uint16_t>(i), false);
        SleepUs(50000);
        const bool ok =
            MeasureCalls(n, kReadDI, false, on ? &h->notDueOnUs : &h->notDueOffUs, &failures);
        Close(n);
        if (!ok) return false;
    }
    return true;
}

bool Bench::MeasureHealth(int n, Health* h) {
    h->faulty = std::max(1, n / 10);
    Message("%d slot(s): health, not-due reads", n);
    if (!MeasureHealthNotDue(n, h)) return false;
    Message("%d slot(s): health, silent devices", n);
    if (!MeasureSilent(n, h)) return false;
    Message("%d slot(s): health, restarting devices", n);
    if (!MeasureRestarts(n, h)) return false;
    if (n >= 2) Message("%d slot(s): health, healthy slots beside faulty ones", n);
    return MeasureHealthyLoad(n, h);
}

// The least time from a device's send to a receive thread that waits for its socket: a thread
// of this program blocked in select() on one end of a loopback connection, woken by a send of
// this thread on the other end. Time from just before the send until the woken thread has
// received the byte.
Summary MeasureWake(int count, std::mt19937& random) {
    std::vector<double> samples;
    uint16_t port = 0;
    Descriptor listener(ListenLoopback(&port));
    Descriptor sender(listener.get() >= 0 ? ConnectLoopback(port) : -1);
    Descriptor receiver(sender.get() >= 0 ? AcceptWithin(listener.get(), 5000) : -1);
    if (receiver.get() < 0 || receiver.get() >= FD_SETSIZE) return Summarize(std::move(samples));
    std::atomic<int> received{0};
    std::atomic<double> receivedAt{0};
    std::thread reader([&] {
        const int fd = receiver.get();
        char buffer[64];
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(fd, &set);
            if (select(fd + 1, &set, nullptr, nullptr, nullptr) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            receivedAt.store(NowUs());
            received.fetch_add(1);
        }
    });
    std::uniform_real_distribution<double> gap(200, 1000);
    for (int k = 0; k < count && !g_interrupted.load(); ++k) {
        SleepUs(gap(random));  // the reader is back in its wait
        const int before = received.load();
        const double t0 = NowUs();
        if (!SendAll(sender.get(), "w", 1)) break;
        const double deadline = t0 + 1e6;
        while (received.load() == before && NowUs() < deadline) {
        }
        if (received.load() == before) break;
        samples.push_back(receivedAt.load() - t0);
    }
    shutdown(sender.get(), SHUT_RDWR);  // the reader sees the end and stops
    reader.join();
    return Summarize(std::move(samples));
}

bool Bench::MeasureFloors(vexlor::bench::Floors* f) {
    // Plain TCP ping-pong between two threads of this process: the loopback's own round trip.
    uint16_t port = 0;
    const int listener = ListenLoopback(&port);
    if (listener < 0) {
        Message("cannot listen on 127.0.0.1");
        return false;
    }
    std::thread echo([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        char buffer[64];
        for (;;) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0 || !SendAll(fd, buffer, static_cast<size_t>(got))) break;
        }
        close(fd);
    });
    const int fd = ConnectLoopback(port);
    std::vector<double> samples;
    if (fd >= 0) {
        char message[16] = "ping-pong-bytes";
        for (int k = 0; k < b_.pingPongs; ++k) {
            const double t0 = NowUs();
            if (!SendAll(fd, message, sizeof message)) break;
            size_t got = 0;
            char buffer[sizeof message];
            while (got < sizeof message) {
                const ssize_t r = recv(fd, buffer + got, sizeof message - got, 0);
                if (r <= 0) break;
                got += static_cast<size_t>(r);
            }
            if (got < sizeof message) break;
            samples.push_back(NowUs() - t0);
        }
        shutdown(fd, SHUT_RDWR);
        close(fd);
    } else {
        shutdown(listener, SHUT_RDWR);  // wakes the accept
    }
    echo.join();
    close(listener);
    f->pingPongUs = Summarize(std::move(samples));

    // The same with the simulated device: one request and its reply on one open connection.
    samples.clear();
    const int device = ConnectLoopback(sim_.port(0));
    if (device >= 0) {
        for (int k = 0; k < b_.pingPongs; ++k) {
            const double t0 = NowUs();
            if (!SendAll(device, kInputRequest, sizeof kInputRequest - 1) ||
                !ReceiveReply(device)) {
                break;
            }
            samples.push_back(NowUs() - t0);
        }
        close(device);
    }
    f->deviceRoundTripUs = Summarize(std::move(samples));
    Quiesce();
    f->wakeUs = MeasureWake(b_.wakeSamples, random_);
    return f->pingPongUs.count > 0 && f->deviceRoundTripUs.count > 0;
}

bool Bench::RunSlots(int n, SlotRun* r) {
    r->slots = n;
    const long long errorsBefore = errors_.lines();

    // Host call cost when due.
    if (!Open(n, kTimingDue, &r->initMs)) return false;
    for (int f = 0; f < kFunctionCount; ++f) {
        r->cost[f].requestsPerDueCall = f == kReadCI ? 12 : 1;
        if (!MeasureCalls(n, static_cast<Function>(f), true, &r->cost[f].due,
                          &r->cost[f].failures)) {
            Close(n);
            return false;
        }
    }
    Close(n, &r->deInitMs);

    // Fresh connections for the throughput window (no backlog of the call-cost phase).
    if (!Open(n, kTimingDue)) return false;
    const bool throughputOk = MeasureThroughput(n, &r->throughput);
    Close(n);
    if (!throughputOk) return false;

    if (!Open(n, kTimingDue)) return false;
    const bool freshOk = MeasureFreshness(n, &r->freshness);
    Close(n);
    if (!freshOk) return false;

    // No request traffic: idle cost, reply to visible, DeInit of an idle slot.
    if (!MeasureQuiet(n, &r->quiet)) return false;

    // Not due: Timing of an hour, and every timestamp was set by the calls above.
    if (!Open(n, kTimingNotDue)) return false;
    for (int f = 0; f < kFunctionCount; ++f) {
        for (int i = 0; i < n; ++i) Call(static_cast<Function>(f), static_cast<uint16_t>(i), false);
    }
    SleepUs(50000);
    for (int f = 0; f < kFunctionCount; ++f) {
        const long long before = TotalRequests(n);
        if (!MeasureCalls(n, static_cast<Function>(f), false, &r->cost[f].notDue,
                          &r->cost[f].failures)) {
            Close(n);
            return false;
        }
        SleepUs(20000);
        const long long after = TotalRequests(n);
        // Should be 0: the first WriteDO after Init (which sends every output) and any read
        // that was still due happened in the round above.
        r->cost[f].notDueRequests = before < 0 || after < 0 ? -1 : after - before;
    }
    Close(n);

    if (!MeasureScript(n, &r->script)) return false;
    Quiesce();

    if (!MeasureHealth(n, &r->health)) return false;
    Quiesce();
    r->unrecognisedPieces = errors_.lines() - errorsBefore;
    return true;
}

// --- Output
// ---------------------------------------------------------------------------------------

struct Machine {
    std::string cpu;
    long cpus = 0;
    std::string kernel;
    double loadBefore = NAN;
    double loadAfter = NAN;
};

Machine DescribeMachine() {
    Machine m;
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos) m.cpu = line.substr(colon + 2);
            break;
        }
    }
    if (m.cpu.empty()) m.cpu = "unknown";
    m.cpus = sysconf(_SC_NPROCESSORS_ONLN);
    utsname u{};
    if (uname(&u) == 0) m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
    return m;
}

double LoadAverage() {
    double load[1];
    return getloadavg(load, 1) == 1 ? load[0] : NAN;
}

void WriteSummary(JsonWriter& j, const char* key, const Summary& s) {
    j.beginObject(key)
        .number("median", s.median)
        .number("p99", s.p99)
        .number("mean", s.mean)
        .number("min", s.min)
        .number("max", s.max)
        .integer("count", static_cast<long long>(s.count))
        .endObject();
}

double Ratio(double a, double b) {
    return std::isfinite(a) && std::isfinite(b) && b > 0 ? a / b : NAN;
}

std::string Json(const Options& o, const Budget& b, const Machine& m, double timerNs,
                 const Floors& floors, const Idle& baseline, const std::vector<SlotRun>& runs,
                 const Unload& unload, const std::string& errorExample) {
    JsonWriter j;
    j.beginObject();
    j.string("tool", "vexlor-bench").integer("format", 2).boolean("quick", o.quick);
    j.beginObject("machine")
        .string("cpu_model", m.cpu)
        .integer("cpus", m.cpus)
        .string("kernel", m.kernel)
        .number("load_average_before", m.loadBefore)
        .number("load_average_after", m.loadAfter)
        .endObject();
    j.beginObject("settings")
        .string("device", "Web-IO 12xDigital (vexlor-sim), one per slot, 127.0.0.1")
        .integer("call_samples", b.callSamples)
        .integer("freshness_samples", b.freshnessSamples)
        .integer("freshness_poll_period_us", o.pollUs)
        .number("idle_seconds", b.idleSeconds)
        .number("throughput_window_seconds", b.windowSeconds)
        .integer("script_reads", b.scriptReads)
        .integer("ping_pongs", b.pingPongs)
        .integer("wake_samples", b.wakeSamples)
        .integer("reply_samples", b.replySamples)
        .integer("deinit_samples", b.deInitSamples)
        .integer("unload_repeats", b.unloadRepeats)
        .number("timer_overhead_ns", timerNs)
        .endObject();
    j.beginObject("floor");
    WriteSummary(j, "loopback_ping_pong_us", floors.pingPongUs);
    WriteSummary(j, "device_request_reply_us", floors.deviceRoundTripUs);
    WriteSummary(j, "loopback_wake_us", floors.wakeUs);
    j.endObject();
    j.beginObject("idle_baseline")
        .number("cpu_percent", baseline.cpuPercent)
        .number("wakeups_per_s", baseline.wakeupsPerSecond)
        .endObject();
    j.beginArray("runs");
    for (const auto& r : runs) {
        j.beginObject();
        j.integer("slots", r.slots)
            .number("init_ms_total", r.initMs)
            .number("deinit_ms_total", r.deInitMs);
        j.beginObject("call_cost_us");
        for (int f = 0; f < kFunctionCount; ++f) {
            const CallCost& c = r.cost[f];
            j.beginObject(kFunctionNames[f]);
            WriteSummary(j, "due", c.due);
            WriteSummary(j, "not_due", c.notDue);
            j.integer("requests_per_due_call", c.requestsPerDueCall)
                .integer("requests_sent_not_due", c.notDueRequests)
                .integer("failures", c.failures);
            j.endObject();
        }
        j.endObject();
        j.beginObject("freshness_us");
        j.number("median", r.freshness.latencyUs.median)
            .number("p99", r.freshness.latencyUs.p99)
            .integer("count", static_cast<long long>(r.freshness.latencyUs.count))
            .integer("timeouts", r.freshness.timeouts)
            .integer("poll_period_us", o.pollUs)
            .number("host_requests_per_s", r.freshness.requestsPerSecond)
            .number("simulator_cpu_percent", r.freshness.simCpuPercent);
        WriteSummary(j, "control_command_round_trip_us", r.freshness.controlRoundTripUs);
        WriteSummary(j, "poll_round_us", r.freshness.roundUs);
        j.endObject();
        const Quiet& q = r.quiet;
        WriteSummary(j, "reply_to_visible_us", q.replyUs);
        j.integer("reply_to_visible_timeouts", q.replyTimeouts);
        j.beginObject("idle")
            .string("wakeups_counted_by", "context switches of all threads of the process")
            .number("kind0_cpu_percent", q.kind0.cpuPercent)
            .number("kind0_wakeups_per_s", q.kind0.wakeupsPerSecond)
            .number("stamped_cpu_percent", q.stamped.cpuPercent)
            .number("stamped_wakeups_per_s", q.stamped.wakeupsPerSecond)
            .endObject();
        j.beginObject("deinit_idle_slot_us");
        WriteSummary(j, "kind0", q.deInitKind0Us);
        WriteSummary(j, "stamped", q.deInitStampedUs);
        j.endObject();
        const Throughput& t = r.throughput;
        j.beginObject("throughput")
            .string("counted_by", "simulator request count; marker value seen by ReadDI")
            .number("window_s", t.windowSeconds)
            .integer("host_calls", t.hostCalls)
            .number("host_requests_per_s", t.offeredPerSecond)
            .integer("replies_decoded", t.repliesDecoded)
            .number("decoded_per_s", t.decodedPerSecond)
            .number("drain_lag_ms", t.drainLagMs)
            .boolean("complete", t.complete)
            .integer("unrecognised_pieces", t.unrecognisedPieces)
            .integer("wrong_values_seen", t.wrongValues)
            .integer("device_error_replies", t.deviceErrors)
            .number("simulator_cpu_percent", t.simCpuPercent)
            .endObject();
        j.beginObject("script");
        WriteSummary(j, "read_us", r.script.readUs);
        j.number("reads_per_s", r.script.readsPerSecond).integer("failures", r.script.failures);
        j.endObject();
        j.beginObject("ratio")
            .number("throughput_driver_over_script",
                    Ratio(t.decodedPerSecond, r.script.readsPerSecond))
            .number("latency_driver_over_script",
                    Ratio(r.freshness.latencyUs.median, r.script.readUs.median))
            .number("host_time_script_over_driver",
                    Ratio(r.script.readUs.median, r.cost[kReadDI].due.median))
            .endObject();
        const Health& h = r.health;
        j.beginObject("health")
            .number("reply_timeout_ms", b.replyTimeoutMs)
            .boolean("reconnect", true)
            .integer("poll_period_us", o.pollUs)
            .integer("faulty_devices", h.faulty);
        j.beginObject("silent_to_10060_ms")
            .string("measured", "fault silent set -> first ReadDI returning 10060")
            .number("timing_ms", b.healthTimingMs)
            .number("median", h.silentMs.median)
            .number("max", h.silentMs.max)
            .number("min", h.silentMs.min)
            .integer("count", static_cast<long long>(h.silentMs.count))
            .integer("misses", h.silentMisses)
            .endObject();
        j.beginObject("restart")
            .string("measured", "device listening again -> ReadDI shows its changed input word")
            .number("timing_ms", b.healthTimingMs)
            .integer("down_ms_min", b.restartDownMinMs)
            .integer("down_ms_max", b.restartDownMaxMs);
        WriteSummary(j, "listening_to_fresh_ms", h.listenToFreshMs);
        WriteSummary(j, "down_ms_seen", h.downMs);
        j.integer("misses", h.restartMisses);
        j.beginArray("samples_down_ms_and_listening_to_fresh_ms");
        for (const auto& sample : h.restartSamples) {
            j.beginArray().number(nullptr, sample.first).number(nullptr, sample.second).endArray();
        }
        j.endArray();
        j.endObject();
        j.beginObject("healthy_slots")
            .number("timing_ms", 0)
            .integer("silent_devices", h.loadSilent)
            .integer("restarting_devices", h.loadRestarting)
            .integer("restart_every_ms", b.loadRestartEveryMs)
            .integer("restart_down_ms", b.loadRestartDownMs);
        for (const bool down : {false, true}) {
            const HealthyLoad& l = down ? h.someDown : h.allHealthy;
            j.beginObject(down ? "ten_percent_down" : "all_healthy")
                .boolean("measured", l.measured);
            WriteSummary(j, "freshness_us", l.freshnessUs);
            WriteSummary(j, "read_call_us", l.callUs);
            WriteSummary(j, "poll_round_us", l.roundUs);
            j.integer("freshness_timeouts", l.timeouts)
                .integer("reads", l.calls)
                .integer("failed_reads", l.failures)
                .number("simulator_cpu_percent", l.simCpuPercent)
                .endObject();
        }
        j.number("freshness_ratio_down_over_healthy",
                 Ratio(h.someDown.freshnessUs.median, h.allHealthy.freshnessUs.median))
            .number("read_call_ratio_down_over_healthy",
                    Ratio(h.someDown.callUs.median, h.allHealthy.callUs.median));
        j.endObject();
        j.beginObject("not_due_read_us");
        WriteSummary(j, "health_off", h.notDueOffUs);
        WriteSummary(j, "health_on", h.notDueOnUs);
        WriteSummary(j, "default_settings", r.cost[kReadDI].notDue);
        j.endObject();
        j.endObject();
        j.integer("unrecognised_pieces_total", r.unrecognisedPieces);
        j.endObject();
    }
    j.endArray();
    j.beginObject("unload")
        .integer("open_slots", unload.slots)
        .integer("stamped_slots", unload.stamped)
        .integer("dlclose_failures", unload.failures);
    WriteSummary(j, "ms", unload.ms);
    j.endObject();
    j.string("unrecognised_piece_example", errorExample);
    j.endObject();
    return j.text();
}

std::string Cell(double a, double b, const char* format = "%.2f") {
    char x[32], y[32], text[80];
    if (std::isfinite(a)) {
        std::snprintf(x, sizeof x, format, a);
    } else {
        std::snprintf(x, sizeof x, "-");
    }
    if (std::isfinite(b)) {
        std::snprintf(y, sizeof y, format, b);
    } else {
        std::snprintf(y, sizeof y, "-");
    }
    std::snprintf(text, sizeof text, "%s / %s", x, y);
    return text;
}

std::string Cell(double a, const char* format = "%.0f") {
    char text[40];
    if (std::isfinite(a)) {
        std::snprintf(text, sizeof text, format, a);
    } else {
        std::snprintf(text, sizeof text, "-");
    }
    return text;
}

void Row(const std::string& label, const std::vector<std::string>& cells) {
    std::printf("  %-34s", label.c_str());
    for (const auto& c : cells) std::printf(" %20s", c.c_str());
    std::printf("\n");
}

template <typename F>
std::vector<std::string> Cells(const std::vector<SlotRun>& runs, F f) {
    std::vector<std::string> cells;
    for (const auto& r : runs) cells.push_back(f(r));
    return cells;
}

void PrintTable(const Options& o, const Machine& m, const Floors& floors, const Idle& baseline,
                const std::vector<SlotRun>& runs, const Unload& unload) {
    std::printf("\nvexlor-bench%s: Web-IO 12xDigital over 127.0.0.1, %s, %ld CPUs\n",
                o.quick ? " (quick)" : "", m.cpu.c_str(), m.cpus);
    std::printf(
        "Floor: loopback TCP ping-pong %s us, device request/reply %s us "
        "(median / p99)\n",
        Cell(floors.pingPongUs.median, floors.pingPongUs.p99, "%.1f").c_str(),
        Cell(floors.deviceRoundTripUs.median, floors.deviceRoundTripUs.p99, "%.1f").c_str());
    std::printf("Floor: wake-up of a thread blocked in select on a loopback socket %s us\n",
                Cell(floors.wakeUs.median, floors.wakeUs.p99, "%.1f").c_str());
    std::printf("Driver loaded, no slot open: %.2f %% CPU, %.0f wakeups/s\n\n", baseline.cpuPercent,
                baseline.wakeupsPerSecond);
    std::vector<std::string> head;
    for (const auto& r : runs)
        head.push_back(std::to_string(r.slots) + (r.slots == 1 ? " slot" : " slots"));
    Row("", head);
    Row("Init of all slots, ms",
        Cells(runs, [](const SlotRun& r) { return Cell(r.initMs, "%.1f"); }));
    Row("DeInit of all slots, ms",
        Cells(runs, [](const SlotRun& r) { return Cell(r.deInitMs, "%.1f"); }));
    std::printf("Host call, us (median / p99)\n");
    for (int f = 0; f < kFunctionCount; ++f) {
        Row(std::string(kFunctionNames[f]) + " not due", Cells(runs, [f](const SlotRun& r) {
                return Cell(r.cost[f].notDue.median, r.cost[f].notDue.p99, "%.3f");
            }));
        const std::string due = std::string(kFunctionNames[f]) + " due (" +
                                std::to_string(f == kReadCI ? 12 : 1) +
                                (f == kReadCI ? " requests)" : " request)");
        Row(due, Cells(runs, [f](const SlotRun& r) {
                return Cell(r.cost[f].due.median, r.cost[f].due.p99, "%.2f");
            }));
    }
    std::printf("Freshness, ms (median / p99), ReadDI every %d us, Timing 0\n", o.pollUs);
    Row("input change -> visible", Cells(runs, [](const SlotRun& r) {
            return Cell(r.freshness.latencyUs.median / 1000, r.freshness.latencyUs.p99 / 1000,
                        "%.2f");
        }));
    Row("timeouts (2 s)", Cells(runs, [](const SlotRun& r) { return Cell(r.freshness.timeouts); }));
    Row("control command round trip", Cells(runs, [](const SlotRun& r) {
            return Cell(r.freshness.controlRoundTripUs.median / 1000,
                        r.freshness.controlRoundTripUs.p99 / 1000, "%.2f");
        }));
    Row("host time per poll round", Cells(runs, [](const SlotRun& r) {
            return Cell(r.freshness.roundUs.median / 1000, r.freshness.roundUs.p99 / 1000, "%.2f");
        }));
    Row("simulator CPU % meanwhile",
        Cells(runs, [](const SlotRun& r) { return Cell(r.freshness.simCpuPercent); }));
    std::printf(
        "Reply -> visible, us (median / p99): device sends unasked, ReadDI spins, not due\n");
    Row("device send -> ReadDI shows it", Cells(runs, [](const SlotRun& r) {
            return Cell(r.quiet.replyUs.median, r.quiet.replyUs.p99, "%.1f");
        }));
    Row("  floor: loopback round trip", Cells(runs, [&](const SlotRun&) {
            return Cell(floors.pingPongUs.median, floors.pingPongUs.p99, "%.1f");
        }));
    Row("  floor: wake of a blocked select", Cells(runs, [&](const SlotRun&) {
            return Cell(floors.wakeUs.median, floors.wakeUs.p99, "%.1f");
        }));
    Row("timeouts (2 s)",
        Cells(runs, [](const SlotRun& r) { return Cell(r.quiet.replyTimeouts); }));
    std::printf("Idle, no traffic, all threads of the process (CPU %% of one core / wakeups/s)\n");
    auto idle = [](const Idle& i) {
        return Cell(i.cpuPercent, "%.2f") + " / " + Cell(i.wakeupsPerSecond, "%.0f");
    };
    Row("kind 0 (opened, never used)",
        Cells(runs, [&](const SlotRun& r) { return idle(r.quiet.kind0); }));
    Row("kind stamped", Cells(runs, [&](const SlotRun& r) { return idle(r.quiet.stamped); }));
    Row("  floor: no slot open", Cells(runs, [&](const SlotRun&) { return idle(baseline); }));
    std::printf("DeInit of an idle slot, us (median / p99)\n");
    Row("kind 0", Cells(runs, [](const SlotRun& r) {
            return Cell(r.quiet.deInitKind0Us.median, r.quiet.deInitKind0Us.p99, "%.0f");
        }));
    Row("kind stamped", Cells(runs, [](const SlotRun& r) {
            return Cell(r.quiet.deInitStampedUs.median, r.quiet.deInitStampedUs.p99, "%.0f");
        }));
    std::printf("Throughput, ReadDI back to back, Timing 0\n");
    Row("host requests/s offered",
        Cells(runs, [](const SlotRun& r) { return Cell(r.throughput.offeredPerSecond); }));
    Row("replies decoded/s",
        Cells(runs, [](const SlotRun& r) { return Cell(r.throughput.decodedPerSecond); }));
    Row("backlog drained after window, ms",
        Cells(runs, [](const SlotRun& r) { return Cell(r.throughput.drainLagMs); }));
    Row("unrecognised reply pieces", Cells(runs, [](const SlotRun& r) {
            return Cell(static_cast<double>(r.throughput.unrecognisedPieces));
        }));
    Row("ReadDI calls showing a wrong value", Cells(runs, [](const SlotRun& r) {
            return Cell(static_cast<double>(r.throughput.wrongValues));
        }));
    Row("simulator CPU % in the window",
        Cells(runs, [](const SlotRun& r) { return Cell(r.throughput.simCpuPercent); }));
    std::printf("One TCP connection per read (connect/send/recv/close)\n");
    Row("us per read (median / p99)", Cells(runs, [](const SlotRun& r) {
            return Cell(r.script.readUs.median, r.script.readUs.p99, "%.0f");
        }));
    Row("reads/s", Cells(runs, [](const SlotRun& r) { return Cell(r.script.readsPerSecond); }));
    std::printf("Driver against one connection per read\n");
    Row("throughput, driver / script", Cells(runs, [](const SlotRun& r) {
            return Cell(Ratio(r.throughput.decodedPerSecond, r.script.readsPerSecond), "%.1fx");
        }));
    Row("freshness / script read latency", Cells(runs, [](const SlotRun& r) {
            return Cell(Ratio(r.freshness.latencyUs.median, r.script.readUs.median), "%.1fx");
        }));
    Row("host time per read, script / due", Cells(runs, [](const SlotRun& r) {
            return Cell(Ratio(r.script.readUs.median, r.cost[kReadDI].due.median), "%.0fx");
        }));
    const Budget& b = o.quick ? kQuick : kFull;
    std::printf(
        "Connection health: every slot Reply Timeout %d ms, Reconnect 1; ReadDI of every slot "
        "every %d us\n",
        b.replyTimeoutMs, o.pollUs);
    Row("faulty devices at a time (10 %)",
        Cells(runs, [](const SlotRun& r) { return Cell(r.health.faulty); }));
    Row("silent -> first 10060, ms", Cells(runs, [](const SlotRun& r) {
            return Cell(r.health.silentMs.median, r.health.silentMs.max, "%.0f");
        }));
    std::printf("    (median / max; Timing %d ms; target: time-out + Timing + 50 ms = %d ms)\n",
                b.healthTimingMs, b.replyTimeoutMs + b.healthTimingMs + 50);
    Row("  silent devices, none seen", Cells(runs, [](const SlotRun& r) {
            return Cell(static_cast<double>(r.health.silentMs.count)) + ", " +
                   Cell(r.health.silentMisses);
        }));
    Row("restart: listening -> fresh, ms", Cells(runs, [](const SlotRun& r) {
            return Cell(r.health.listenToFreshMs.median, r.health.listenToFreshMs.max, "%.0f");
        }));
    std::printf("    (median / max; Timing %d ms; down %d-%d ms; Reconnect 1)\n", b.healthTimingMs,
                b.restartDownMinMs, b.restartDownMaxMs);
    Row("  restarts, none fresh", Cells(runs, [](const SlotRun& r) {
            return Cell(static_cast<double>(r.health.listenToFreshMs.count)) + ", " +
                   Cell(r.health.restartMisses);
        }));
    std::printf(
        "Healthy slots, Timing 0, all healthy | 10 %% down (half silent, half restarting every "
        "%d ms for %d ms)\n",
        b.loadRestartEveryMs, b.loadRestartDownMs);
    auto load = [](const HealthyLoad& l, const Summary& s, double scale, const char* format) {
        return l.measured ? Cell(s.median / scale, s.p99 / scale, format) : std::string("-");
    };
    Row("freshness, ms, all healthy", Cells(runs, [&](const SlotRun& r) {
            return load(r.health.allHealthy, r.health.allHealthy.freshnessUs, 1000, "%.2f");
        }));
    Row("freshness, ms, 10 % down", Cells(runs, [&](const SlotRun& r) {
            return load(r.health.someDown, r.health.someDown.freshnessUs, 1000, "%.2f");
        }));
    Row("ReadDI due, us, all healthy", Cells(runs, [&](const SlotRun& r) {
            return load(r.health.allHealthy, r.health.allHealthy.callUs, 1, "%.2f");
        }));
    Row("ReadDI due, us, 10 % down", Cells(runs, [&](const SlotRun& r) {
            return load(r.health.someDown, r.health.someDown.callUs, 1, "%.2f");
        }));
    Row("failed reads of healthy slots", Cells(runs, [](const SlotRun& r) {
            if (!r.health.someDown.measured) return std::string("-");
            return Cell(static_cast<double>(r.health.allHealthy.failures)) + " | " +
                   Cell(static_cast<double>(r.health.someDown.failures));
        }));
    Row("simulator CPU % meanwhile", Cells(runs, [](const SlotRun& r) {
            if (!r.health.someDown.measured) return std::string("-");
            return Cell(r.health.allHealthy.simCpuPercent) + " | " +
                   Cell(r.health.someDown.simCpuPercent);
        }));
    Row("freshness timeouts (2 s)", Cells(runs, [](const SlotRun& r) {
            if (!r.health.someDown.measured) return std::string("-");
            return Cell(r.health.allHealthy.timeouts) + " | " + Cell(r.health.someDown.timeouts);
        }));
    std::printf("ReadDI not due, all healthy, us (median / p99)\n");
    Row("Reply Timeout 0, Reconnect 0", Cells(runs, [](const SlotRun& r) {
            return Cell(r.health.notDueOffUs.median, r.health.notDueOffUs.p99, "%.3f");
        }));
    Row("Reply Timeout on, Reconnect 1", Cells(runs, [](const SlotRun& r) {
            return Cell(r.health.notDueOnUs.median, r.health.notDueOnUs.p99, "%.3f");
        }));
    Row("defaults (figure above)", Cells(runs, [](const SlotRun& r) {
            return Cell(r.cost[kReadDI].notDue.median, r.cost[kReadDI].notDue.p99, "%.3f");
        }));
    if (unload.ms.count > 0) {
        std::printf(
            "Unload (dlclose) with %d open slots, %d of them stamped: %s ms (median / max of "
            "%zu)%s\n",
            unload.slots, unload.stamped, Cell(unload.ms.median, unload.ms.max, "%.1f").c_str(),
            unload.ms.count, unload.failures > 0 ? ", dlclose failed" : "");
    }
    std::printf("\n");
}

// Ends the process if the run takes far longer than it should; the simulator child ends with it
// (it was started with PR_SET_PDEATHSIG).
void StartWatchdog(int seconds, pid_t simulator) {
    std::thread([seconds, simulator] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        Message("run took longer than %d s; giving up", seconds);
        if (simulator > 0) kill(simulator, SIGKILL);
        _exit(3);
    }).detach();
}

int Run(int argc, char** argv) {
    Options o;
    const int parsed = ParseOptions(argc, argv, &o);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    for (const std::string* path : {&o.driverPath, &o.wsockPath, &o.simPath}) {
        if (access(path->c_str(), R_OK) != 0) {
            std::fprintf(stderr, "vexlor-bench: cannot find %s (see --help)\n", path->c_str());
            return 1;
        }
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Machine machine = DescribeMachine();
    machine.loadBefore = LoadAverage();
    int maxSlots = 1;
    for (int n : o.slots) maxSlots = std::max(maxSlots, n);
    std::vector<std::string> devices;
    for (int i = 0; i < maxSlots; ++i) devices.push_back(std::string("digital12,pw=") + kPassword);

    Simulator sim(o.simPath, devices);
    if (!sim.ok()) {
        std::fprintf(stderr, "vexlor-bench: %s\n", sim.error().c_str());
        return 1;
    }
    const Budget& budget = o.quick ? kQuick : kFull;
    StartWatchdog(budget.watchdogSeconds, sim.pid());

    std::vector<SlotRun> runs;
    Unload unload;
    Floors floors;
    Idle baseline;
    double timerNs = NAN;
    std::string errorExample;
    bool ok = true;
    {
        DriverHost host(o.driverPath, o.wsockPath);
        if (!host.ok()) {
            std::fprintf(stderr, "vexlor-bench: cannot load the driver: %s\n",
                         host.error().c_str());
            return 1;
        }
        ErrorBoxCapture errors;
        g_messageFd = errors.messageFd();
        Bench bench(o, host, sim, errors);
        timerNs = bench.TimerOverheadNs();
        Message("floors");
        ok = bench.MeasureFloors(&floors);
        if (!ok) Message("the loopback floor could not be measured");
        baseline = bench.MeasureIdle();
        for (int n : o.slots) {
            if (!ok || g_interrupted.load()) break;
            Message("%d slot(s)", n);
            SlotRun r;
            ok = bench.RunSlots(n, &r);
            if (ok) runs.push_back(r);
        }
        if (ok && !g_interrupted.load()) {
            Message("unload with %d slot(s) open", maxSlots);
            ok = bench.MeasureUnload(maxSlots, &unload);
        }
        errorExample = errors.firstLine();
        const std::string other = errors.otherText();
        errors.restore();
        g_messageFd = STDERR_FILENO;
        if (!other.empty()) {
            std::fprintf(stderr, "vexlor-bench: other output on standard error meanwhile:\n%s",
                         other.c_str());
        }
    }
    const int simStatus = sim.stop();
    machine.loadAfter = LoadAverage();
    if (g_interrupted.load()) {
        std::fprintf(stderr, "vexlor-bench: interrupted\n");
        return 130;
    }
    if (!ok) {
        std::fprintf(stderr, "vexlor-bench: the run failed\n");
        return 1;
    }
    if (simStatus != 0)
        std::fprintf(stderr, "vexlor-bench: vexlor-sim exited with %d\n", simStatus);

    PrintTable(o, machine, floors, baseline, runs, unload);
    if (!o.jsonPath.empty()) {
        const std::string text =
            Json(o, budget, machine, timerNs, floors, baseline, runs, unload, errorExample);
        std::ofstream out(o.jsonPath, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::fprintf(stderr, "vexlor-bench: cannot write %s\n", o.jsonPath.c_str());
            return 1;
        }
        std::printf("JSON written to %s\n", o.jsonPath.c_str());
    }
    return 0;
}

}  // namespace
}  // namespace vexlor::bench

int main(int argc, char** argv) {
    return vexlor::bench::Run(argc, argv);
}
