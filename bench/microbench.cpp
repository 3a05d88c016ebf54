// vexlor-microbench: Google Benchmark figures of the driver's hot paths.
//
// - The exported 12xDigital ReadDI through the real, built driver (loaded by name from a private
//   directory, as a host loads it), connected to a listener of this process on 127.0.0.1 that
//   takes in and discards the requests: a call that is not due (Timing of an hour) and one that
//   is due (Timing "0": the request is built and handed to send on every call).
// - The reply decoders on one reply each: 12xDigital and 24xDigital inputs, outputs and a
//   counter; thermometer answers with 1, 2 and 8 readings; the I/O Controller input frame.
// - The request builders of the digital protocol and the I/O Controller frames.
//
// The driver and its socket layer are taken from the directory of this program (build/bin);
// VEXLOR_BENCH_DRIVER and VEXLOR_BENCH_WSOCK32 name other files.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "devices/digital_protocol.h"
#include "devices/io_controller.h"
#include "devices/thermometer.h"
#include "support/bench_driver.h"
#include "support/sim_launcher.h"

namespace {

using vexlor::DeviceSlot;
namespace bench = vexlor::bench;

// --- The loaded driver with one slot connected to a discarding listener ------------------------

class LoopbackDriver {
  public:
    // Opens slot 0 with the given Timing; false (with a reason in error()) when it cannot.
    bool open(const char* timing) {
        if (!host_) {
            const std::string here = bench::ExecutableDirectory();
            const char* driver = std::getenv("VEXLOR_BENCH_DRIVER");
            const char* wsock = std::getenv("VEXLOR_BENCH_WSOCK32");
            host_ = std::make_unique<bench::DriverHost>(
                driver != nullptr ? driver : here + "/libvexlor.so",
                wsock != nullptr ? wsock : here + "/libwsock32.so");
            if (!host_->ok()) {
                error_ = "cannot load the driver: " + host_->error();
                return false;
            }
        }
        close();
        uint16_t port = 0;
        listener_ = bench::ListenLoopback(&port);
        if (listener_ < 0) {
            error_ = "cannot listen on 127.0.0.1";
            return false;
        }
        bench::SlotSettings s;
        s.port = port;
        s.timing = timing;
        s.password = "bench42";
        if (!host_->writeSettings({s})) {
            error_ = host_->error();
            return false;
        }
        // The reader takes in everything the driver sends and throws it away, so the driver's
        // sends never wait for buffer space.
        const int listener = listener_;
        reader_ = std::thread([listener] {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            char buffer[65536];
            while (recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(fd);
        });
        const int rc = host_->init(1, 0);
        if (rc != 0) {
            error_ = "VexlorWeb_IO_Init returned " + std::to_string(rc);
            close();
            return false;
        }
        opened_ = true;
        return true;
    }

    void close() {
        if (opened_) host_->deinit(1, 0);  // closes the connection: the reader ends
        opened_ = false;
        if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);  // wakes an accept still waiting
        if (reader_.joinable()) reader_.join();
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
    }

    ~LoopbackDriver() { close(); }

    const bench::DriverHost& host() const { return *host_; }
    const std::string& error() const { return error_; }

  private:
    std::unique_ptr<bench::DriverHost> host_;
    std::thread reader_;
    int listener_ = -1;
    bool opened_ = false;
    std::string error_;
};

LoopbackDriver& Driver() {
    static LoopbackDriver driver;
    return driver;
}

void ReadDI(benchmark::State& state, const char* timing) {
    LoopbackDriver& d = Driver();
    if (!d.open(timing)) {
        state.SkipWithError(d.error().c_str());
        return;
    }
    uint16_t word = 0, bits[12];
    int failures = 0;
    d.host().ReadDI(0, &word, bits);  // the first read after Init may be due
    for (auto _ : state) {
        failures += d.host().ReadDI(0, &word, bits) != 0;
        benchmark::DoNotOptimize(word);
    }
    d.close();
    if (failures > 0) state.SkipWithError("ReadDI failed");
}

void BM_ReadDI_NotDue(benchmark::State& state) {
    ReadDI(state, "3600000");
}
BENCHMARK(BM_ReadDI_NotDue);

void BM_ReadDI_Due(benchmark::State& state) {
    ReadDI(state, "0");
}
BENCHMARK(BM_ReadDI_Due);

// --- Decoders -----------------------------------------------------------------------------------

// One reply as a device sends it, with its terminating NUL.
std::string Reply(const char* text) {
    return std::string(text) + '\0';
}

void DecodeDigital(benchmark::State& state, const vexlor::DigitalModel& model,
                   const std::string& reply) {
    static DeviceSlot slot;
    for (auto _ : state) {
        const bool ok = vexlor::DecodeDigitalBlock(slot, model, reply.data(),
                                                   static_cast<int>(reply.size()), nullptr);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

void BM_Decode12x_Input(benchmark::State& s) {
    DecodeDigital(s, vexlor::kDigital12, Reply("input;5A5"));
}
void BM_Decode12x_Output(benchmark::State& s) {
    DecodeDigital(s, vexlor::kDigital12, Reply("output;800"));
}
void BM_Decode12x_Counter(benchmark::State& s) {
    DecodeDigital(s, vexlor::kDigital12, Reply("counter11;123456"));
}
void BM_Decode24x_Input(benchmark::State& s) {
    DecodeDigital(s, vexlor::kDigital24, Reply("input;A5A5A5"));
}
void BM_Decode24x_Output(benchmark::State& s) {
    DecodeDigital(s, vexlor::kDigital24, Reply("output;FFFFFF"));
}
void BM_Decode24x_Counter(benchmark::State& s) {
    DecodeDigital(s, vexlor::kDigital24, Reply("counter23;123456"));
}
BENCHMARK(BM_Decode12x_Input);
BENCHMARK(BM_Decode12x_Output);
BENCHMARK(BM_Decode12x_Counter);
BENCHMARK(BM_Decode24x_Input);
BENCHMARK(BM_Decode24x_Output);
BENCHMARK(BM_Decode24x_Counter);

// A thermometer answer: the title and one "20.5\xB0C" segment per reading, ended by a NUL.
void BM_DecodeThermometer(benchmark::State& state) {
    const int readings = static_cast<int>(state.range(0));
    const int32_t kind = readings == 1   ? vexlor::kKindThermo1
                         : readings == 2 ? vexlor::kKindThermo2
                                         : vexlor::kKindThermo8;
    std::string reply = "Thermometer";
    for (int i = 0; i < readings; ++i)
        reply += ";2" + std::to_string(i) +
                 ".5\xB0"
                 "C";
    reply += '\0';
    static DeviceSlot slot;
    vexlor::Set(slot.kind, kind);
    for (auto _ : state) {
        slot.replyValid.store(0, std::memory_order_relaxed);
        const bool ok = vexlor::DecodeThermometerReply(slot, reply.data(),
                                                       static_cast<int>(reply.size()), nullptr);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_DecodeThermometer)->Arg(1)->Arg(2)->Arg(8);

void BM_DecodeIoController(benchmark::State& state) {
    const unsigned char frame[] = {0xFF, 0xFA, 0x2C, 0x96, 0x5A, 0xFF, 0xF0};
    static DeviceSlot slot;
    for (auto _ : state) {
        const bool ok = vexlor::DecodeIoControllerBlock(slot, frame, sizeof frame);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sizeof frame));
}
BENCHMARK(BM_DecodeIoController);

// --- Request builders ---------------------------------------------------------------------------

void BM_BuildDigitalRequest(benchmark::State& state, vexlor::DigitalRequest request) {
    char buffer[vexlor::kDigitalRequestSize];
    for (auto _ : state) {
        const int n = vexlor::BuildDigitalRequest(buffer, sizeof buffer, request, 11, "bench42");
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, input, vexlor::DigitalRequest::kReadInputs);
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, output, vexlor::DigitalRequest::kReadOutputs);
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, switch_on, vexlor::DigitalRequest::kSwitchOn);
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, switch_off, vexlor::DigitalRequest::kSwitchOff);
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, counter, vexlor::DigitalRequest::kReadCounter);
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, counterclear, vexlor::DigitalRequest::kClearCounter);
BENCHMARK_CAPTURE(BM_BuildDigitalRequest, errorclear, vexlor::DigitalRequest::kClearError);

void BM_BuildDigitalRequest_LongPassword(benchmark::State& state) {
    const std::string password(vexlor::kMaxPasswordLength, 'p');
    char buffer[vexlor::kDigitalRequestSize];
    for (auto _ : state) {
        const int n = vexlor::BuildDigitalRequest(
            buffer, sizeof buffer, vexlor::DigitalRequest::kSwitchOff, 23, password.c_str());
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_BuildDigitalRequest_LongPassword);

void BM_BuildIoFrames(benchmark::State& state) {
    unsigned char frame[vexlor::kIoFrameSize];
    const uint16_t values[vexlor::kIoOutputCount] = {1, 0, 1, 0, 1, 0, 1, 0};
    for (auto _ : state) {
        int n = vexlor::BuildIoReadInputsFrame(frame);
        benchmark::DoNotOptimize(frame);
        n += vexlor::BuildIoSetOutputsFrame(frame, vexlor::IoOutputMask(values));
        benchmark::DoNotOptimize(frame);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_BuildIoFrames);

}  // namespace

BENCHMARK_MAIN();
