// The thermometer reads and the I/O Controller functions through the built driver library,
// against vexlor-sim over 127.0.0.1. Each test copies the library with the socket layer beside it
// and its own Vexlor.ini into a private directory and loads it with dlopen, as a host does, so
// every test starts from a freshly loaded driver.
//
// A thermometer polls at most every 50 s, so each slot is polled once per loaded library; the
// repeated-poll rules are covered by the unit tests on the virtual clock.
#include <gtest/gtest.h>
#include <vexlor.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/driver_host.h"
#include "support/sim_process.h"

namespace {

using vexlor::testing::BuiltDriverFiles;
using vexlor::testing::DriverHost;
using vexlor::testing::SimProcess;
using vexlor::testing::SlotSettings;

// Slots hold no password or the I/O Controller marker, which is stored as it is.
class Driver : public DriverHost {
  public:
    explicit Driver(const std::vector<SlotSettings>& slots)
        : DriverHost(BuiltDriverFiles(), "vexlor-thermo") {
        if (installed() && WriteSlots(slots)) Load();
    }

    bool ok() const { return loaded(); }
    const std::string& why() const { return error(); }

    int Read1(uint16_t slot, double* t) const {
        return fn<decltype(VexlorWeb_IO_1xThermometer_Read)>("VexlorWeb_IO_1xThermometer_Read")(
            1, slot, &t[0]);
    }
    int Read2(uint16_t slot, double* t) const {
        return fn<decltype(VexlorWeb_IO_2xThermometer_Read)>("VexlorWeb_IO_2xThermometer_Read")(
            1, slot, &t[0], &t[1]);
    }
    int Read8(uint16_t slot, double* t) const {
        return fn<decltype(VexlorWeb_IO_8xThermometer_Read)>("VexlorWeb_IO_8xThermometer_Read")(
            1, slot, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5], &t[6], &t[7]);
    }
    int ReadDI(uint16_t slot, uint16_t* value, uint16_t* in) const {
        return fn<decltype(HWgroup_IOController_ReadDI)>("HWgroup_IOController_ReadDI")(
            1, slot, value, &in[0], &in[1], &in[2], &in[3], &in[4], &in[5], &in[6], &in[7]);
    }
    int WriteDO(uint16_t slot, const uint16_t (&v)[8]) const {
        return fn<decltype(HWgroup_IOController_WriteDO)>("HWgroup_IOController_WriteDO")(
            1, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    }
};

// Polls condition every 10 ms for at most timeoutMs.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000) {
    return SimProcess::waitFor(condition, timeoutMs);
}

std::string Frame(unsigned char sub, unsigned char value) {
    const char bytes[7] = {'\xFF', '\xFA', '\x2C', static_cast<char>(sub), static_cast<char>(value),
                           '\xFF', '\xF0'};
    return std::string(bytes, 7);
}

// The driver's first thermometer poll after loading needs the millisecond counter (time since
// boot) to have reached 50 s.
bool UpLongEnough() {
    std::ifstream uptime("/proc/uptime");
    double seconds = 0;
    return !(uptime >> seconds) || seconds > 60;
}

// --- Thermometers ----------------------------------------------------------------------------

// The simulator writes decimal commas ("20,5"), as the devices do.
TEST(ThermoIntegration, EachKindReadsItsSensorsInDeviceOrder) {
    if (!UpLongEnough()) GTEST_SKIP() << "system up for less than a minute";
    SimProcess sim({"thermo1,drift=0,title=Garden,temps=-4.5",
                    "thermo2,drift=0,title=Lab,temps=20.5/----",
                    "thermo8,drift=0,temps=1/2.5/-3/4/5/6/7.5/----"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{10, sim.port(0), "5000", ""},
                   {11, sim.port(1), "5000", ""},
                   {12, sim.port(2), "5000", ""}});
    ASSERT_TRUE(driver.ok()) << driver.why();

    double t1[1] = {99};
    EXPECT_EQ(driver.Read1(10, t1), 0);
    EXPECT_DOUBLE_EQ(t1[0], -4.5);

    double t2[2] = {99, 99};
    EXPECT_EQ(driver.Read2(11, t2), 0);
    EXPECT_DOUBLE_EQ(t2[0], 20.5);
    EXPECT_DOUBLE_EQ(t2[1], -999.0);

    double t8[8] = {};
    EXPECT_EQ(driver.Read8(12, t8), 0);
    const double expected[8] = {1, 2.5, -3, 4, 5, 6, 7.5, -999};
    for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(t8[i], expected[i]) << i;

    for (int device = 0; device < 3; ++device) {
        EXPECT_EQ(sim.requestLog(device), std::vector<std::string>{"GET /Single"}) << device;
        // Every read ends by closing its connection.
        EXPECT_TRUE(sim.waitForConnections(device, 0)) << device;
        EXPECT_EQ(sim.accepts(device), 1) << device;
    }

    // Between polls a read opens no connection and returns the last readings.
    ASSERT_TRUE(sim.setTemperature(1, 0, 30.0));
    t2[0] = t2[1] = 99;
    EXPECT_EQ(driver.Read2(11, t2), 0);
    EXPECT_DOUBLE_EQ(t2[0], 20.5);
    EXPECT_DOUBLE_EQ(t2[1], -999.0);
    EXPECT_EQ(sim.accepts(1), 1);
    EXPECT_EQ(sim.requestCount(1), 1);
    EXPECT_EQ(sim.connections(1), 0);
}

TEST(ThermoIntegration, ReadingsDoNotFollowTheHostLocale) {
    if (!UpLongEnough()) GTEST_SKIP() << "system up for less than a minute";
    // A host running with a German number format (decimal comma) must still get 21.7, not 21.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
                        std::setlocale(LC_NUMERIC, "de_DE.utf8") != nullptr;
    SimProcess sim({"thermo2,drift=0"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.setThermometerReply(0, std::string_view("Web-IO;21.7\260C;-0,25\302\260C")));
    Driver driver({{3, sim.port(0), "5000", ""}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    double t[2] = {};
    EXPECT_EQ(driver.Read2(3, t), 0);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_DOUBLE_EQ(t[0], 21.7);
    EXPECT_DOUBLE_EQ(t[1], -0.25);
    if (!german) GTEST_SKIP() << "no German locale installed: checked in the C locale only";
}

TEST(ThermoIntegration, SilentDeviceGivesTheCachedValuesAsStaleAtTheDeadline) {
    if (!UpLongEnough()) GTEST_SKIP() << "system up for less than a minute";
    SimProcess sim({"thermo1,drift=0,fault=silent"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{20, sim.port(0), "300", ""}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    double t[1] = {99};
    EXPECT_EQ(driver.Read1(20, t), 10060);  // WSAETIMEDOUT: the values are not fresh
    EXPECT_DOUBLE_EQ(t[0], 0.0);            // nothing decoded since loading
    // No answer tells that the simulator has read the request yet.
    const std::vector<std::string> request = {"GET /Single"};
    EXPECT_TRUE(Eventually([&] { return sim.requestLog(0) == request; }))
        << ::testing::PrintToString(sim.requestLog(0));
    // The read closed its connection although the device kept it open.
    EXPECT_TRUE(sim.waitForConnections(0, 0));
}

TEST(ThermoIntegration, RefusedConnectionReturnsTheSocketError) {
    if (!UpLongEnough()) GTEST_SKIP() << "system up for less than a minute";
    SimProcess sim({"thermo2,fault=refuse"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{30, sim.port(0), "1000", ""}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    double t[2] = {99, 99};
    EXPECT_EQ(driver.Read2(30, t), 10061);  // WSAECONNREFUSED
    EXPECT_DOUBLE_EQ(t[0], 99.0);           // not written
    // The failed poll counts: the next call is between polls and returns the cached values,
    // which no poll has refreshed.
    ASSERT_TRUE(sim.clearFaults(0));
    EXPECT_EQ(driver.Read2(30, t), 10060);
    EXPECT_DOUBLE_EQ(t[0], 0.0);
    EXPECT_EQ(sim.accepts(0), 0);
}

// --- I/O Controller ---------------------------------------------------------------------------

TEST(IoControllerIntegration, FramesAreByteExactAtTheDevice) {
    SimProcess sim({"iocontroller,inputs=0x5A"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{40, sim.port(0), "0", "I/O Controller"}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(40), 0);

    EXPECT_EQ(driver.WriteDO(40, {5, 5, 5, 5, 5, 5, 5, 5}), 0);  // nothing requested yet
    EXPECT_EQ(driver.WriteDO(40, {0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(driver.WriteDO(40, {0, 0, 0, 1, 0, 0, 0, 0}), 0);
    EXPECT_EQ(driver.WriteDO(40, {0, 0, 0, 1, 0, 0, 0, 0}), 0);
    EXPECT_EQ(driver.WriteDO(40, {1, 1, 1, 1, 1, 1, 1, 1}), 0);
    std::vector<std::string> expected(8, Frame(0x33, 0x00));
    expected.push_back(Frame(0x33, 0x08));
    for (int i = 0; i < 7; ++i) expected.push_back(Frame(0x33, 0xFF));
    ASSERT_TRUE(sim.waitForRequests(0, static_cast<long long>(expected.size())));
    EXPECT_EQ(sim.requestLog(0), expected);
    EXPECT_EQ(sim.outputs(0), 0xFFu);

    // Timing 0: every read asks; the answer is decoded by the receive thread.
    ASSERT_TRUE(sim.clearLog(0));
    uint16_t value = 0, in[8] = {};
    EXPECT_EQ(driver.ReadDI(40, &value, in), 0);
    ASSERT_TRUE(sim.waitForRequests(0, static_cast<long long>(expected.size()) + 1));
    EXPECT_EQ(sim.requestLog(0)[0], Frame(0x32, 0x00));
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(40, &value, in) == 0 && value == 0x5A; }));
    const uint16_t bits[8] = {0, 1, 0, 1, 1, 0, 1, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(in[i], bits[i]) << i;

    EXPECT_EQ(driver.DeInit(40), 0);
    EXPECT_TRUE(sim.waitForConnections(0, 0));
}

TEST(IoControllerIntegration, SpontaneousInputFramesAreDecodedWithoutARequest) {
    SimProcess sim({"iocontroller"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    // A Timing beyond the counter's range: no read ever becomes due, so no request is sent.
    Driver driver({{41, sim.port(0), "99999999999", "I/O Controller"}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(41), 0);
    ASSERT_TRUE(sim.waitForConnections(0, 1));

    uint16_t value = 77, in[8] = {};
    EXPECT_EQ(driver.ReadDI(41, &value, in), 0);
    EXPECT_EQ(value, 0);  // nothing received yet (zero after loading)

    // The simulator announces changed inputs on its own, with input-state frames; a state of 0
    // is a state like any other.
    ASSERT_TRUE(sim.setInputs(0, 0x81));
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(41, &value, in) == 0 && value == 0x81; }));
    EXPECT_EQ(in[0], 1);
    EXPECT_EQ(in[7], 1);
    EXPECT_EQ(in[3], 0);
    ASSERT_TRUE(sim.setInputs(0, 0x00));
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(41, &value, in) == 0 && value == 0; }));
    EXPECT_EQ(in[0], 0);
    ASSERT_TRUE(sim.setInput(0, 2, true));
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(41, &value, in) == 0 && value == 0x04; }));
    EXPECT_EQ(in[2], 1);

    // A zero state followed by another frame in one block: the later frame counts.
    ASSERT_TRUE(sim.sendRaw(0, Frame(0x96, 0x00) + Frame(0x96, 0x03)));
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(41, &value, in) == 0 && value == 0x03; }));

    EXPECT_EQ(sim.requestCount(0), 0);
    EXPECT_EQ(driver.DeInit(41), 0);
}

// An input-state frame whose bytes straddle two sends of the device (and so two receives of
// the driver) is found: cut after the IAC SB (2 bytes), after the marker (4 bytes, so the state
// byte comes in the second part) and after the state byte (5 bytes).
TEST(IoControllerIntegration, FrameCutAcrossTwoSendsIsFound) {
    SimProcess sim({"iocontroller"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    // No read ever becomes due: the frames are the ones the device sends when an input changes.
    Driver driver({{43, sim.port(0), "99999999999", "I/O Controller"}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(43), 0);
    ASSERT_TRUE(sim.waitForConnections(0, 1));
    uint16_t value = 0, in[8] = {};
    const struct {
        int cut;
        uint16_t state;
    } rounds[] = {{2, 0x81}, {4, 0x3C}, {5, 0xA5}, {4, 0x00}};
    for (const auto& r : rounds) {
        ASSERT_TRUE(sim.setFault(0, "cut", std::to_string(r.cut)));
        ASSERT_TRUE(sim.setInputs(0, r.state));
        // The word and its bits are stored one after the other while the host may be reading:
        // wait until a read shows them all.
        const auto shown = [&] {
            if (driver.ReadDI(43, &value, in) != 0 || value != r.state) return false;
            for (int i = 0; i < 8; ++i) {
                if (in[i] != ((r.state >> i) & 1)) return false;
            }
            return true;
        };
        EXPECT_TRUE(Eventually(shown, 2000))
            << "cut after " << r.cut << " bytes, state " << r.state << ", shown " << value;
    }
    EXPECT_EQ(sim.requestCount(0), 0);
    EXPECT_EQ(driver.DeInit(43), 0);
}

// The device as its manual describes it: every set-outputs frame acknowledged (0x97), NOPs and
// input changes (0x33 frames) of its own, an idle timer of 1.5 s that the keep-alive (500 ms)
// outlasts while the host pauses.
TEST(IoControllerIntegration, AcknowledgementsNopsAndTheIdleTimer) {
    SimProcess sim({"iocontroller,inputs=0x3C,keep=1,keepms=100,idle=1500"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::vector<SlotSettings> slots = {{43, sim.port(0), "60000", "I/O Controller"}};
    Driver driver(slots);
    ASSERT_TRUE(driver.ok()) << driver.why();
    std::string ini;
    ASSERT_TRUE(vexlor::testing::SettingsText(slots, &ini));
    ini.insert(ini.find("[DEV43]\n") + 8, "Keep Alive=500\n");
    ASSERT_TRUE(driver.WriteSettings(ini));
    ASSERT_EQ(driver.Init(43), 0);
    uint16_t value = 0, in[8] = {};
    EXPECT_EQ(driver.ReadDI(43, &value, in), 0);
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(43, &value, in) == 0 && value == 0x3C; }));
    EXPECT_EQ(driver.WriteDO(43, {1, 0, 0, 0, 0, 0, 0, 1}), 0);
    EXPECT_TRUE(Eventually([&] { return sim.outputs(0) == 0x81u; }));
    EXPECT_EQ(value, 0x3C);  // acknowledgements are no input states

    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    EXPECT_EQ(sim.accepts(0), 1);
    EXPECT_EQ(sim.connections(0), 1);
    // No read is due (Timing 60 s), yet the keep-alive's answers keep the slot fresh; an input
    // change comes by itself.
    EXPECT_EQ(driver.ReadDI(43, &value, in), 0);
    ASSERT_TRUE(sim.setInputs(0, 0x42));
    EXPECT_TRUE(Eventually([&] { return driver.ReadDI(43, &value, in) == 0 && value == 0x42; }));
    EXPECT_EQ(in[1], 1);
    EXPECT_EQ(in[6], 1);
    EXPECT_EQ(driver.DeInit(43), 0);
}

TEST(IoControllerIntegration, SendOnAClosedSlotFails) {
    SimProcess sim({"iocontroller"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Driver driver({{42, sim.port(0), "0", "I/O Controller"}});
    ASSERT_TRUE(driver.ok()) << driver.why();
    ASSERT_EQ(driver.Init(42), 0);
    EXPECT_EQ(driver.DeInit(42), 0);
    uint16_t value = 0, in[8] = {};
    EXPECT_EQ(driver.ReadDI(42, &value, in), 10038);  // WSAENOTSOCK: the slot holds no socket
    EXPECT_EQ(driver.WriteDO(42, {1, 0, 0, 0, 0, 0, 0, 0}), 10038);
    EXPECT_EQ(sim.requestCount(0), 0);
}

}  // namespace
