// Unit tests of the device models, device descriptions, fault settings and options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "device.h"
#include "options.h"
#include "support/temp_dir.h"

using namespace vexlor::sim;
using namespace std::string_literals;

namespace {

Device makeDevice(const std::string& text, bool nul = true) {
    DeviceConfig cfg;
    std::string error;
    EXPECT_TRUE(parseDeviceDescription(text, cfg, error)) << error;
    return Device(0, cfg, nul);
}

}  // namespace

// What a digital device does with a request: its reply, "<close>" or "<none>".
std::string outcome(Device& d, std::string_view request) {
    Answer a = d.handleDigital(request);
    if (a.close) return "<close>";
    return a.reply ? *a.reply : "<none>";
}

TEST(DigitalDevice, AnswersEachRequestWithPaddedWords) {
    Device d = makeDevice("digital12,pw=pw,inputs=0xA5A,counter4=77");
    EXPECT_EQ(outcome(d, "GET /input?PW=pw&"), "input;0A5A");
    EXPECT_EQ(outcome(d, "GET /output?PW=pw&"), "output;0000");
    EXPECT_EQ(outcome(d, "GET /outputaccess11?PW=pw&State=ON&"), "output;0800");
    EXPECT_EQ(outcome(d, "GET /outputaccess0?PW=pw&State=ON&"), "output;0801");
    EXPECT_EQ(outcome(d, "GET /outputaccess11?PW=pw&State=OFF&"), "output;0001");
    EXPECT_EQ(outcome(d, "GET /counter4?PW=pw&"), "counter4;77");
    EXPECT_EQ(outcome(d, "GET /counterclear4?PW=pw&"), "counter4;0");
    EXPECT_EQ(d.config().counters[4], 0);
    EXPECT_FALSE(d.config().errorLatch);
}

TEST(DigitalDevice, ChannelRangeFollowsTheType) {
    Device d12 = makeDevice("digital12,errors=text");
    EXPECT_EQ(outcome(d12, "GET /outputaccess12?PW=&State=ON&"), kNoSuchChannelReply);
    EXPECT_EQ(outcome(d12, "GET /counter12?PW=&"), kNoSuchChannelReply);
    EXPECT_EQ(d12.config().outputs, 0u);

    Device d24 = makeDevice("24x,counter23=-5,inputs=0xFFFFFFFF");
    EXPECT_EQ(d24.config().inputs, 0xFFFFFFu);  // cut to the device's 24 inputs
    EXPECT_EQ(outcome(d24, "GET /outputaccess23?PW=&State=ON&"), "output;800000");
    EXPECT_EQ(outcome(d24, "GET /counter23?PW=&"), "counter23;-5");
    EXPECT_EQ(outcome(d24, "GET /counter24?PW=&"), "<close>");
}

TEST(DigitalDevice, BadRequestsLatchAnErrorAndCloseOrGetTheirText) {
    struct Case {
        const char* request;
        std::string_view text;  // the reply with errors=text
    };
    const Case cases[] = {
        {"GET /outputaccess1?PW=a&State=ON&", kWrongPasswordReply},
        {"GET /errorclear?PW=&", kWrongPasswordReply},  // clearing needs the password too
        {"GET /nothing", kUnknownRequestReply},
        // Passwords compare byte for byte: no decoding, case matters.
        {"GET /input?PW=a%26b&", kWrongPasswordReply},
        {"GET /input?PW=A&b&", kWrongPasswordReply},
    };
    for (bool texts : {false, true}) {
        Device d =
            makeDevice(std::string("digital12,pw=a&b,outputs=1") + (texts ? ",errors=text" : ""));
        for (const Case& c : cases) {
            EXPECT_EQ(outcome(d, c.request), texts ? std::string(c.text) : "<close>") << c.request;
        }
        EXPECT_EQ(d.config().outputs, 1u);  // not switched
        EXPECT_TRUE(d.config().errorLatch);
        EXPECT_EQ(outcome(d, "GET /errorclear?PW=a&b&"), "<none>");
        EXPECT_FALSE(d.config().errorLatch);
    }
}

TEST(IoControllerDevice, ReadsInputsSetsAndAcknowledgesOutputs) {
    Device d = makeDevice("ioc,inputs=0x81");
    IoChunk read{true, kSubReadInputs, 0, {}};
    EXPECT_EQ(d.handleIoChunk(read).reply, inputStateFrame(0x81));
    IoChunk set{true, kSubSetOutputs, 0xFF, {}};
    EXPECT_EQ(d.handleIoChunk(set).reply, "\xFF\xFA\x2C\x97\xFF\xFF\xF0"s);  // the ack
    EXPECT_EQ(d.config().outputs, 0xFFu);
    IoChunk junk{false, 0, 0, "xyz"};
    EXPECT_FALSE(d.handleIoChunk(junk).reply.has_value());
}

TEST(ThermometerDevice, RepliesWithReadingsAndDriftsDeterministically) {
    Device d = makeDevice("thermo2,title=Lab,temps=20.5/----,drift=0");
    EXPECT_EQ(d.thermoReplyText(1000.0),
              "Lab;20,5\xB0"
              "C;----");
    d.config().decimalComma = false;
    EXPECT_EQ(d.thermoReplyText(1000.0),
              "Lab;20.5\xB0"
              "C;----");

    Device e = makeDevice("thermo8,drift=2,period=100");
    // The first sensor starts at its value, is 2 degrees up after a quarter period and back
    // after half of one; the value at a given time never depends on anything else.
    EXPECT_DOUBLE_EQ(*e.reading(0, 0.0), 21.0);
    EXPECT_DOUBLE_EQ(*e.reading(0, 25.0), 23.0);
    EXPECT_NEAR(*e.reading(0, 50.0), 21.0, 1e-9);
    EXPECT_NE(*e.reading(1, 25.0) - 21.5, 2.0);  // sensors do not move in step
    EXPECT_EQ(e.thermoReplyText(25.0), e.thermoReplyText(25.0));
    size_t separators = 0;
    for (char c : e.thermoReplyText(0)) separators += c == ';';
    EXPECT_EQ(separators, 8u);  // title and eight readings

    Device o = makeDevice("thermo1,drift=0");
    o.thermoOverride = "odd;text";
    EXPECT_EQ(o.thermoReplyText(0), "odd;text");
}

TEST(DeviceDescription, ParsesKeysAndRejectsMistakes) {
    DeviceConfig cfg;
    std::string error;
    ASSERT_TRUE(parseDeviceDescription(
        "24x,port=4000,name=left,pw=a\\,b\\x20c,outputs=0x3,counter7=9,error=1,nul=0,"
        "fault=slow:50,fault=garbage",
        cfg, error))
        << error;
    EXPECT_EQ(cfg.type, DeviceType::Digital24);
    EXPECT_EQ(cfg.port, 4000);
    EXPECT_EQ(cfg.name, "left");
    EXPECT_EQ(cfg.password, "a,b c");
    EXPECT_EQ(cfg.outputs, 3u);
    EXPECT_EQ(cfg.counters[7], 9);
    EXPECT_TRUE(cfg.errorLatch);
    EXPECT_EQ(cfg.nul, false);
    EXPECT_EQ(cfg.faults.describe(), "garbage slow=50");

    ASSERT_TRUE(parseDeviceDescription("digital12,pw=", cfg, error));
    EXPECT_EQ(cfg.password, "");

    // The settings left out take the type's defaults: idle, connection limit, trigger.
    for (const auto& [text, idle, limit, trigger] :
         {std::tuple("12x", 30000, 4, 0), std::tuple("ioc", 50000, 1, 1),
          std::tuple("ioc,idle=0,maxconn=0,trigger=0", 0, 0, 0),
          std::tuple("2x,idle=1500,maxconn=2,trigger=1", 1500, 2, 1)}) {
        const DeviceConfig c = makeDevice(text).config();
        EXPECT_EQ(std::tuple(c.idleMs, c.maxConnections, c.trigger),
                  std::tuple(idle, limit, trigger))
            << text;
    }
    ASSERT_TRUE(parseDeviceDescription("ioc,keep=1,keepms=200,header=1,errors=text,decimal=point",
                                       cfg, error));
    EXPECT_TRUE(cfg.keep && cfg.header && cfg.errorTexts && !cfg.decimalComma);
    EXPECT_EQ(cfg.keepMs, 200);

    for (const char* bad :
         {"dimmer", "12x,port=70000", "12x,inputs=x", "12x,colour=red", "12x,counter24=1",
          "2x,temps=1/2/3/4/5/6/7/8/9", "2x,temps=a", "12x,fault=explode", "12x,fault=slow",
          "12x,pw", "12x,name=a b", "2x,decimal=dot", "12x,errors=loud", "12x,idle=-1",
          "ioc,keepms=0", "12x,header=2", "ioc,maxconn=x"}) {
        DeviceConfig c;
        EXPECT_FALSE(parseDeviceDescription(bad, c, error)) << bad;
    }
}

TEST(Faults, SetAndClearEachMode) {
    Faults f;
    std::string error;
    EXPECT_TRUE(applyFault(f, "close-after", "3", error));
    EXPECT_TRUE(applyFault(f, "garbage", "", error));
    EXPECT_TRUE(applyFault(f, "split", "", error));
    EXPECT_TRUE(applyFault(f, "cut", "3", error));
    EXPECT_TRUE(applyFault(f, "coalesce", "", error));
    EXPECT_TRUE(applyFault(f, "slow", "250", error));
    EXPECT_TRUE(applyFault(f, "silent", "", error));
    EXPECT_TRUE(applyFault(f, "refuse", "", error));
    EXPECT_TRUE(applyFault(f, "accept-close", "", error));
    EXPECT_TRUE(applyFault(f, "flood", "100", error));
    EXPECT_EQ(f.describe(),
              "close-after=3 garbage split=20 cut=3/20 coalesce=2 slow=250 silent refuse "
              "accept-close flood=100");
    EXPECT_TRUE(applyFault(f, "slow", "off", error));
    EXPECT_TRUE(applyFault(f, "refuse", "off", error));
    EXPECT_TRUE(applyFault(f, "cut", "7/0", error));
    EXPECT_TRUE(applyFault(f, "coalesce", "36/5000", error));
    EXPECT_EQ(f.describe(),
              "close-after=3 garbage split=20 cut=7/0 coalesce=36/5000 silent "
              "accept-close flood=100");
    EXPECT_TRUE(applyFault(f, "coalesce", "2", error));
    EXPECT_EQ(f.describe(),
              "close-after=3 garbage split=20 cut=7/0 coalesce=2 silent accept-close flood=100");
    EXPECT_TRUE(applyFault(f, "cut", "off", error));
    EXPECT_EQ(f.describe(),
              "close-after=3 garbage split=20 coalesce=2 silent accept-close flood=100");
    EXPECT_TRUE(applyFault(f, "none", "", error));
    EXPECT_FALSE(f.any());
    EXPECT_EQ(f.describe(), "none");

    EXPECT_FALSE(applyFault(f, "close-after", "", error));
    EXPECT_FALSE(applyFault(f, "close-after", "0", error));
    EXPECT_FALSE(applyFault(f, "coalesce", "1", error));
    for (const char* bad : {"", "0", "3/", "/20", "3/x", "3/20/1", "3/60001"}) {
        EXPECT_FALSE(applyFault(f, "cut", bad, error)) << bad;
    }
    for (const char* bad : {"1/500", "2/", "2/x", "1001"}) {
        EXPECT_FALSE(applyFault(f, "coalesce", bad, error)) << bad;
    }
    EXPECT_FALSE(applyFault(f, "garbage", "5", error));
    EXPECT_FALSE(applyFault(f, "slow", "-1", error));
    EXPECT_FALSE(f.any());
}

TEST(Options, CommandLineAndConfigFile) {
    vexlor::testing::TempDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(dir.write("sim.conf",
                          "# two devices\n"
                          "listen 127.0.0.1\n"
                          "  control-port 0  \n"
                          "no-nul\n"
                          "device thermo2,temps=1/2\n"
                          "device ioc\n"));
    Options o;
    std::string error;
    ASSERT_TRUE(parseArguments(
        {"-v", "12x,pw=x", "--config", dir.file("sim.conf"), "--exit-on-stdin-eof", "-p", "off"}, o,
        error))
        << error;
    EXPECT_TRUE(o.verbose);
    EXPECT_FALSE(o.nul);
    EXPECT_TRUE(o.exitOnStdinEof);
    EXPECT_EQ(o.controlPort, -1);
    ASSERT_EQ(o.devices.size(), 3u);
    EXPECT_EQ(o.devices[0].type, DeviceType::Digital12);
    EXPECT_EQ(o.devices[1].type, DeviceType::Thermo2);
    EXPECT_EQ(o.devices[2].type, DeviceType::IoController);

    ASSERT_TRUE(dir.write("bad.conf", "device\n"));
    Options bad;
    EXPECT_FALSE(parseArguments({"--config", dir.file("bad.conf")}, bad, error));
    EXPECT_NE(error.find("bad.conf:1"), std::string::npos) << error;
    EXPECT_FALSE(parseArguments({"--config", dir.file("missing.conf")}, bad, error));
    EXPECT_FALSE(parseArguments({"--bogus"}, bad, error));
    EXPECT_FALSE(parseArguments({"--listen"}, bad, error));
}

TEST(TempDirHelper, CreatesAndRemovesRecursively) {
    std::string path;
    {
        vexlor::testing::TempDir dir("sim-test");
        ASSERT_TRUE(dir.ok());
        path = dir.path();
        ASSERT_TRUE(dir.write("a/b/c.txt", "hello"));
        EXPECT_EQ(dir.read("a/b/c.txt"), "hello");
        EXPECT_TRUE(dir.exists("a/b"));
        EXPECT_FALSE(dir.read("nothing").has_value());
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}
