// Scenarios against vexlor-sim (the Linux device simulator) over 127.0.0.1. The runner starts
// the simulator with the devices named below and passes their ports with --sim NAME=PORT:
//
//   d12  digital12,pw=Secret!42,inputs=0x5A5,outputs=0x0
//   d24  digital24,outputs=0xABCDE
//   t8   thermo8,drift=0,temps=21.5/-3.5/----/0/100/7.5/8/9
//   ioc  iocontroller,inputs=0xA5
//   dcut digital12,inputs=0x3A5,fault=cut:3/20 (every reply sent as "inp", then 20 ms later the
//        rest and its NUL)
//   dsil digital12,inputs=0x155,fault=silent (a pulled cable: requests are never answered)
//   drec digital12,inputs=0x2AA,fault=close-after:3 (closes each connection after 3 requests)
#include <cmath>
#include <string>

#include "calls.h"
#include "harness.h"

namespace wintest {
namespace {

bool Configure(int slot, const char* device, const char* timing, const char* password) {
    const int port = SimPort(device);
    if (port == 0) {
        RecordFailure(__FILE__, __LINE__, std::string("simulator device missing: ") + device);
        return false;
    }
    WriteSlot(slot, "127.0.0.1", std::to_string(port).c_str(), timing, password);
    return true;
}

}  // namespace

WSCENARIO(sim_digital12_inputs_and_outputs, kNeedsSimulator) {
    if (!Configure(20, "d12", "0", "Secret!42")) return;
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr || d.D12WriteDO == nullptr) return;
    WCHECK_EQ(d.Init(1, 20), 0);
    Digital12 in;
    WCHECK(WaitFor(
        [&] {
            WCHECK_EQ(ReadDI12(d, 20, in), 0);
            return in.word == 0x5A5;
        },
        kEventWaitMs));
    WCHECK_EQ(in.bits[0], 1);
    WCHECK_EQ(in.bits[1], 0);
    WCHECK_EQ(in.bits[11], 0);
    WCHECK_EQ(in.bits[10], 1);

    // Switch outputs 0 and 11 on; the device reports them back.
    const uint16_t outputs[12] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    WCHECK_EQ(WriteDO12(d, 20, outputs), 0);
    Digital12 out;
    WCHECK(WaitFor(
        [&] {
            WCHECK_EQ(ReadDO12(d, 20, out), 0);
            return out.word == 0x801;
        },
        kEventWaitMs));
    WCHECK_EQ(out.bits[0], 1);
    WCHECK_EQ(out.bits[11], 1);
    WCHECK_EQ(d.DeInit(1, 20), 0);
}

WSCENARIO(sim_digital24_read_outputs_by_decorated_name, kNeedsSimulator) {
    if (!Configure(21, "d24", "0", "")) return;
    Driver& d = Load();
    if (d.Init == nullptr || d.D24ReadDODecorated == nullptr) return;
    WCHECK_EQ(d.Init(1, 21), 0);
    Digital24 out;
    WCHECK(WaitFor(
        [&] {
            WCHECK_EQ(Read24(d.D24ReadDODecorated, 21, out), 0);
            return out.word == 0xABCDE;
        },
        kEventWaitMs));
    for (int i = 0; i < 24; ++i) WCHECK_EQ(out.bits[i], (0xABCDEu >> i) & 1u);
    WCHECK_EQ(d.DeInit(1, 21), 0);
}

WSCENARIO(sim_thermometer8_read, kNeedsSimulator) {
    if (!Configure(22, "t8", "3000", "")) return;
    Driver& d = Load();
    if (d.T8Read == nullptr) return;
    double t[8] = {};
    WCHECK_EQ(Thermo8(d, 1, 22, t), 0);
    const double expected[8] = {21.5, -3.5, -999.0, 0, 100, 7.5, 8, 9};
    for (int i = 0; i < 8; ++i) {
        if (std::fabs(t[i] - expected[i]) > 1e-9) {
            RecordFailure(__FILE__, __LINE__,
                          "sensor " + std::to_string(i + 1) + ": " + std::to_string(t[i]));
        }
    }
}

WSCENARIO(sim_io_controller_inputs, kNeedsSimulator) {
    if (!Configure(23, "ioc", "0", "I/O Controller")) return;
    Driver& d = Load();
    if (d.Init == nullptr || d.IocReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 23), 0);
    uint16_t value = 0, in[8] = {};
    WCHECK(WaitFor(
        [&] {
            WCHECK_EQ(IocReadDI(d, 23, value, in), 0);
            return value == 0xA5;
        },
        kEventWaitMs));
    WCHECK_EQ(d.DeInit(1, 23), 0);
}

// The first reply of every connection arrives in two pieces: each connection decodes it whole,
// and no error box comes up for either piece.
WSCENARIO(sim_first_reply_cut_on_every_connection, kNeedsSimulator) {
    if (!Configure(24, "dcut", "100", "")) return;
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    for (int connection = 0; connection < 3; ++connection) {
        WCHECK_EQ(d.Init(1, 24), 0);
        Digital12 in;
        WCHECK(WaitFor(
            [&] {
                WCHECK_EQ(ReadDI12(d, 24, in), 0);
                WCHECK(in.word == 0 || in.word == 0x3A5);  // never a piece's value
                return in.word == 0x3A5;
            },
            kEventWaitMs));
        WCHECK(FindProcessWindow("#32770", "Web-IO 12xDigital") == nullptr);
        WCHECK_EQ(d.DeInit(1, 24), 0);
    }
    WCHECK(FindProcessWindow("#32770", "Web-IO 12xDigital") == nullptr);
}

// A device that never answers: once a request has waited longer than the slot's reply time-out,
// reads return 10060 (WSAETIMEDOUT) and still copy the stored values.
WSCENARIO(sim_silent_device_reads_report_10060, kNeedsSimulator) {
    if (!Configure(25, "dsil", "50", "")) return;
    WritePrivateProfileStringA("DEV25", "Reply Timeout", "300", IniPath().c_str());
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 25), 0);
    Digital12 in;
    in.word = 0xFFFF;
    WCHECK(WaitFor([&] { return ReadDI12(d, 25, in) == 10060; }, kEventWaitMs));
    WCHECK_EQ(in.word, 0);  // the stored values: nothing was decoded
    WCHECK_EQ(d.DeInit(1, 25), 0);
}

// A device that ends its connections: with "Reconnect" on, the slot connects again by itself
// and values keep arriving without DeInit and Init.
WSCENARIO(sim_closed_connection_is_reconnected, kNeedsSimulator) {
    if (!Configure(26, "drec", "50", "")) return;
    WritePrivateProfileStringA("DEV26", "Reconnect", "1", IniPath().c_str());
    Driver& d = Load();
    if (d.Init == nullptr || d.D12ReadDI == nullptr) return;
    WCHECK_EQ(d.Init(1, 26), 0);
    Digital12 in;
    int lost = 0, freshAfterLoss = 0;
    WaitFor(
        [&] {
            const int result = ReadDI12(d, 26, in);
            if (result != 0) ++lost;
            if (result == 0 && lost > 0 && in.word == 0x2AA) ++freshAfterLoss;
            return freshAfterLoss >= 3;
        },
        kEventWaitMs);
    WCHECK(lost > 0);
    WCHECK(freshAfterLoss >= 3);
    WCHECK_EQ(d.DeInit(1, 26), 0);
}

}  // namespace wintest
