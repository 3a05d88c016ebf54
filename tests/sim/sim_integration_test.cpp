// Tests that start the real simulator through SimProcess and talk to it over plain sockets.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "support/sim_process.h"
#include "support/temp_dir.h"
#include "test_client.h"

using vexlor::testing::SimProcess;
using vexlor::testing::TestClient;
using namespace std::string_literals;

namespace {

const std::string kReadInputs = "\xFF\xFA\x2C\x32\x00\xFF\xF0"s;

std::string frame(uint8_t sub, uint8_t value) {
    return "\xFF\xFA\x2C"s + static_cast<char>(sub) + static_cast<char>(value) + "\xFF\xF0"s;
}

long long sends(SimProcess& sim, int device) {
    auto v = sim.query("sends " + std::to_string(device));
    return v ? std::stoll(*v) : -1;
}

// Sends a request and returns the reply up to and including its NUL byte.
std::string ask(TestClient& c, const std::string& request) {
    if (!c.send(request)) return "<send failed>";
    return c.receiveUntilNul();
}

}  // namespace

TEST(SimDigital, EveryRequestGetsItsReply) {
    SimProcess sim({"digital12,pw=s3cret,inputs=0x5A5,counter3=42"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.connected());

    EXPECT_EQ(ask(c, "GET /input?PW=s3cret&"), "input;05A5\0"s);
    EXPECT_EQ(ask(c, "GET /output?PW=s3cret&"), "output;0000\0"s);
    EXPECT_EQ(ask(c, "GET /outputaccess3?PW=s3cret&State=ON&"), "output;0008\0"s);
    EXPECT_EQ(ask(c, "GET /outputaccess11?PW=s3cret&State=ON&"), "output;0808\0"s);
    EXPECT_EQ(ask(c, "GET /outputaccess3?PW=s3cret&State=OFF&"), "output;0800\0"s);
    EXPECT_EQ(sim.outputs(0), 0x800u);
    EXPECT_EQ(sim.output(0, 11), true);
    EXPECT_EQ(ask(c, "GET /counter3?PW=s3cret&"), "counter3;42\0"s);
    EXPECT_EQ(ask(c, "GET /counterclear3?PW=s3cret&"), "counter3;0\0"s);
    EXPECT_EQ(sim.counter(0, 3), 0);

    // The error latch clear has no reply: the next reply is the next request's.
    ASSERT_TRUE(sim.command("error 0 1"));
    ASSERT_TRUE(c.send("GET /errorclear?PW=s3cret&"));
    EXPECT_EQ(ask(c, "GET /input?PW=s3cret&"), "input;05A5\0"s);
    EXPECT_EQ(sim.errorLatch(0), false);

    // State changed through the control port shows in the next replies.
    ASSERT_TRUE(sim.setInputs(0, 0xFFF));
    ASSERT_TRUE(sim.pulse(0, 7, 5));
    EXPECT_EQ(ask(c, "GET /input?PW=s3cret&"), "input;0FFF\0"s);
    EXPECT_EQ(ask(c, "GET /counter7?PW=s3cret&"), "counter7;5\0"s);

    EXPECT_EQ(sim.requestLog(0).size(), 11u);
    EXPECT_EQ(sim.requestLog(0)[2], "GET /outputaccess3?PW=s3cret&State=ON&");
}

TEST(SimDigital, FloodOfRequestsIsAnsweredWithoutErrorReplies) {
    // Far more than one 64 KiB read: reads routinely end in the middle of a request, which must
    // wait for its rest instead of being answered as an unknown request.
    // A sender that the system holds back for a moment (a loaded or sanitized build) must not
    // have its unfinished request flushed as one: the idle flush is set far beyond that.
    SimProcess sim({"digital12,pw=pw,inputs=0x123"}, {"--idle-flush-ms", "20000"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.connected());
    const std::string request = "GET /input?PW=pw&";
    constexpr size_t kCount = 20000;
    std::string all;
    for (size_t i = 0; i < kCount; ++i) all += request;
    const std::string reply = "input;0123\0"s;
    std::string received;
    std::thread sender([&] { c.send(all); });
    while (received.size() < kCount * reply.size()) {
        std::string more = c.receiveSome(10000);
        if (more.empty()) break;
        received += more;
    }
    sender.join();
    ASSERT_EQ(received.size(), kCount * reply.size());
    EXPECT_EQ(received.find("Error"), std::string::npos);
}

TEST(SimDigital, TwentyFourChannelsAndEmptyPassword) {
    SimProcess sim({"digital24,inputs=0xFFFFFF,counter23=7,errors=text"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;FFFFFF\0"s);
    EXPECT_EQ(ask(c, "GET /outputaccess23?PW=&State=ON&"), "output;800000\0"s);
    EXPECT_EQ(ask(c, "GET /counter23?PW=&"), "counter23;7\0"s);
    EXPECT_EQ(ask(c, "GET /counter24?PW=&"), "Error: no such channel\0"s);
}

TEST(SimDigital, RepliesWithoutNulWhenAsked) {
    SimProcess sim({"12x,pw=p", "12x,pw=p,nul=1"}, {"--no-nul"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("GET /input?PW=p&"));
    EXPECT_EQ(c.receiveBytes(10), "input;0000");
    EXPECT_TRUE(c.quietFor(200));  // no NUL after it
    ASSERT_TRUE(sim.command("nul 0 1"));
    EXPECT_EQ(ask(c, "GET /output?PW=p&"), "output;0000\0"s);

    // The per-device setting wins over the option.
    TestClient d(sim.port(1));
    EXPECT_EQ(ask(d, "GET /input?PW=p&"), "input;0000\0"s);
}

TEST(SimDigital, BadRequestsCloseTheConnectionOrGetAnErrorText) {
    SimProcess sim({"12x,pw=right", "12x,pw=right,errors=text"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient texts(sim.port(1));
    for (const char* bad : {"GET /input?PW=&", "GET /counter12?PW=right&", "GET /inputs?PW=&"}) {
        // The device closes without a word, and takes nothing after the bad request.
        TestClient closed(sim.port(0));
        ASSERT_TRUE(closed.send(std::string(bad) + "GET /input?PW=right&"));
        EXPECT_EQ(closed.receiveUntilClose(), "") << bad;
        EXPECT_TRUE(closed.eof()) << bad;
        EXPECT_EQ(ask(texts, bad).substr(0, 7), "Error: ") << bad;
    }
    EXPECT_EQ(ask(texts, "GET /input?PW=RIGHT&"), "Error: wrong password\0"s);
    EXPECT_EQ(sim.errorLatch(0), true);
    EXPECT_EQ(sim.requestCount(0), 3);
}

TEST(SimDigital, PasswordWithAmpersandSpacesAndHighBytesIsTakenAsSent) {
    const std::string pw = "a&b c?\xE4&";
    SimProcess sim({"12x,errors=text,pw=" + SimProcess::escape(pw)}, {"--idle-flush-ms", "5000"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.query("password 0"), SimProcess::escape(pw));
    TestClient c(sim.port(0));
    const std::string request = "GET /outputaccess2?PW=" + pw + "&State=ON&";
    // Cut inside the password, right after an "&": the device waits for the rest.
    const size_t cut = request.find('&') + 1;
    ASSERT_TRUE(c.send(request.substr(0, cut)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it arrive on its own
    EXPECT_EQ(sim.requestCount(0), 0);
    ASSERT_TRUE(c.send(request.substr(cut)));
    EXPECT_EQ(c.receiveUntilNul(), "output;0004\0"s);
    ASSERT_EQ(sim.requestLog(0), std::vector<std::string>{request});

    // Changing the password at run time.
    ASSERT_TRUE(sim.setPassword(0, "new pw"));
    EXPECT_EQ(ask(c, "GET /input?PW=" + pw + "&"), "Error: wrong password\0"s);
    EXPECT_EQ(ask(c, "GET /input?PW=new pw&"), "input;0000\0"s);
    ASSERT_TRUE(sim.setPassword(0, ""));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0000\0"s);
}

TEST(SimDigital, RequestsSentByteByByteOrAllAtOnce) {
    SimProcess sim({"12x,pw=x"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string stream =
        "GET /input?PW=x&GET /outputaccess1?PW=x&State=ON&GET /counter0?PW=x&";
    const std::string replies = "input;0000\0output;0002\0counter0;0\0"s;
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send(stream));
        EXPECT_EQ(c.receiveBytes(replies.size()), replies);
    }
    ASSERT_TRUE(sim.setOutputs(0, 0));
    TestClient c(sim.port(0));
    for (char ch : stream) ASSERT_TRUE(c.send(std::string(1, ch)));
    EXPECT_EQ(c.receiveBytes(replies.size()), replies);
}

TEST(SimDigital, UnfinishedAndJunkTextIsAnsweredAfterIdleTime) {
    SimProcess sim({"12x,errors=text"}, {"--idle-flush-ms", "100"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("\x01junk\xB0"s));
    EXPECT_EQ(c.receiveUntilNul(), "Error: unknown request\0"s);
    ASSERT_TRUE(c.send("GET /input?PW="));
    EXPECT_EQ(c.receiveUntilNul(), "Error: unknown request\0"s);
    // The log is byte-exact and the escaping round-trips non-printable bytes.
    EXPECT_EQ(sim.requestLog(0), (std::vector<std::string>{"\x01junk\xB0"s, "GET /input?PW="}));
    EXPECT_EQ(sim.control("log 0"), "OK 2 \\x01junk\\xB0 GET\\x20/input?PW=");
    ASSERT_TRUE(sim.clearLog(0));
    EXPECT_TRUE(sim.requestLog(0).empty());
    EXPECT_EQ(sim.requestCount(0), 2);
}

TEST(SimThermometer, OneRequestPerConnectionWithMissingSensor) {
    SimProcess sim({"thermo2,title=Lab,drift=0,temps=20.5/----", "thermo1,drift=0,decimal=point",
                    "thermo8,drift=0,title="});
    ASSERT_TRUE(sim.ok()) << sim.error();
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send("GET /Single"));
        EXPECT_EQ(c.receiveUntilClose(),
                  "Lab;20,5\xB0"
                  "C;----\0"s);
        EXPECT_TRUE(c.eof());  // the device closed the connection after answering
    }
    ASSERT_TRUE(sim.setTemperature(0, 1, -4.25));
    ASSERT_TRUE(sim.setTemperature(0, 0, 30));
    EXPECT_EQ(sim.query("temp 0 1"), "-4.2");
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send("GET /Si"));  // arrives in two pieces
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(c.send("ngle"));
        EXPECT_EQ(c.receiveUntilClose(),
                  "Lab;30,0\xB0"
                  "C;-4,2\xB0"
                  "C\0"s);
    }
    ASSERT_TRUE(sim.setSensorMissing(0, 0));
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send("GET /Single"));
        EXPECT_EQ(c.receiveUntilClose(),
                  "Lab;----;-4,2\xB0"
                  "C\0"s);
    }
    EXPECT_EQ(sim.accepts(0), 3);
    EXPECT_EQ(sim.requestLog(0), std::vector<std::string>(3, "GET /Single"));

    TestClient one(sim.port(1));
    ASSERT_TRUE(one.send("GET /Single"));
    EXPECT_EQ(one.receiveUntilClose(),
              "Thermometer;21.0\xB0"
              "C\0"s);

    TestClient eight(sim.port(2));
    ASSERT_TRUE(eight.send("GET /Single"));
    std::string expected;
    for (const char* t : {"21,0", "21,5", "22,0", "22,5", "23,0", "23,5", "24,0", "24,5"}) {
        expected += (expected.empty() ? "" : ";") + std::string(t) +
                    "\xB0"
                    "C";
    }
    EXPECT_EQ(eight.receiveUntilClose(), expected + "\0"s);
}

TEST(SimThermometer, OddRepliesAndUnknownRequests) {
    SimProcess sim({"thermo2,drift=0,errors=text", "thermo2"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    {
        // Without errors=text the device closes without an answer.
        TestClient c(sim.port(1));
        ASSERT_TRUE(c.send("GET /Double"));
        EXPECT_EQ(c.receiveUntilClose(), "");
        EXPECT_TRUE(c.eof());
    }
    ASSERT_TRUE(sim.setThermometerReply(0,
                                        "20.5\xB0"
                                        "c;1;2;"s));
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send("GET /Single"));
        EXPECT_EQ(c.receiveUntilClose(),
                  "20.5\xB0"
                  "c;1;2;\0"s);
    }
    ASSERT_TRUE(sim.setThermometerReply(0, std::nullopt));
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send("GET /Double"));
        EXPECT_EQ(c.receiveUntilClose(), "Error: unknown request\0"s);
    }
    {
        TestClient c(sim.port(0));
        ASSERT_TRUE(c.send("GET /Single"));
        EXPECT_EQ(c.receiveUntilClose(),
                  "Thermometer;21,0\xB0"
                  "C;21,5\xB0"
                  "C\0"s);
    }
}

TEST(SimIoController, FramesAcknowledgementsAndSpontaneousInputState) {
    SimProcess sim({"ioc,inputs=0x05"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send(kReadInputs));
    EXPECT_EQ(c.receiveBytes(7), frame(0x96, 0x05));

    // Every set-outputs frame is acknowledged with the mask it set.
    ASSERT_TRUE(c.send(frame(0x33, 0xFF)));
    EXPECT_EQ(c.receiveBytes(7), frame(0x97, 0xFF));
    ASSERT_TRUE(c.send(frame(0x33, 0x08)));
    EXPECT_EQ(c.receiveBytes(7), frame(0x97, 0x08));
    EXPECT_EQ(sim.outputs(0), 0x08u);

    // An input change is sent as a set-outputs frame without a request; setting the same value
    // again sends nothing.
    ASSERT_TRUE(sim.setInput(0, 7, true));
    EXPECT_EQ(c.receiveBytes(7), frame(0x33, 0x85));
    ASSERT_TRUE(sim.setInputs(0, 0x85));
    ASSERT_TRUE(sim.setInputs(0, 0x00));
    EXPECT_EQ(c.receiveBytes(7), frame(0x33, 0x00));
    EXPECT_FALSE(sim.setInputs(0, 0x100));  // only 8 inputs

    // Requests split over sends and surrounded by junk.
    ASSERT_TRUE(c.send("xy\xFF\xFA"s));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(c.send("\x2C\x32\x00\xFF\xF0"s));
    EXPECT_EQ(c.receiveBytes(7), frame(0x96, 0x00));
    auto log = sim.requestLog(0);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], kReadInputs);
    EXPECT_EQ(log[1], frame(0x33, 0xFF));
    EXPECT_EQ(log[3], "xy");
    EXPECT_EQ(log[4], kReadInputs);

    // One connection at a time: a second one is closed at once, the first stays.
    TestClient second(sim.port(0));
    EXPECT_EQ(second.receiveUntilClose(), "");
    EXPECT_TRUE(second.eof());
    EXPECT_EQ(sim.connections(0), 1);
}

TEST(SimOptions, IdleTimerHeaderTriggerKeepAliveAndConnectionLimit) {
    SimProcess sim({"12x,idle=400,header=1,trigger=1,inputs=0xA5F", "ioc,idle=400,keep=1,keepms=50",
                    "24x,idle=0,maxconn=2,header=1,title=Hall"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string header = "127.0.0.1;Web-IO 12x Digital;";
    TestClient d(sim.port(0)), ioc(sim.port(1));
    EXPECT_EQ(ask(d, "GET /input?PW=&"), header + "input;0A5F\0"s);
    ASSERT_TRUE(sim.setInputs(0, 0x001));  // sent unprompted, with the header
    EXPECT_EQ(d.receiveUntilNul(), header + "input;0001\0"s);
    // Valid requests keep a connection open; without them it is closed after its idle time,
    // NOPs of the keep-alive or not.
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(ask(d, "GET /output?PW=&"), header + "output;0000\0"s);
        ASSERT_TRUE(ioc.send(kReadInputs));
    }
    EXPECT_EQ(d.receiveUntilClose(), "");
    EXPECT_TRUE(d.eof());
    std::string received = ioc.receiveUntilClose();
    EXPECT_TRUE(ioc.eof());
    // The three answers, with NOPs between them whenever nothing was sent for 50 ms.
    size_t nops = 0;
    for (size_t at; (at = received.find("\xFF\xF1"s)) != std::string::npos; ++nops) {
        received.erase(at, 2);
    }
    EXPECT_GE(nops, 3u);
    EXPECT_EQ(received, frame(0x96, 0) + frame(0x96, 0) + frame(0x96, 0));

    // idle=0 keeps connections open; maxconn=2 closes a third one at once.
    TestClient a(sim.port(2)), b(sim.port(2)), third(sim.port(2));
    EXPECT_EQ(third.receiveUntilClose(), "");
    EXPECT_TRUE(third.eof());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(ask(b, "GET /input?PW=&"), "127.0.0.1;Hall;input;000000\0"s);
    EXPECT_EQ(sim.connections(2), 2);
}

TEST(SimFaults, CloseAfterRequests) {
    SimProcess sim({"12x,fault=close-after:2"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("GET /input?PW=&GET /output?PW=&GET /input?PW=&"));
    EXPECT_EQ(c.receiveUntilClose(), "input;0000\0output;0000\0"s);
    EXPECT_TRUE(c.eof());
    EXPECT_EQ(sim.requestCount(0), 2);
}

TEST(SimFaults, GarbageReplies) {
    SimProcess sim({"12x", "ioc"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(sim.setFault(0, "garbage"));
    ASSERT_TRUE(sim.setFault(1, "garbage"));
    TestClient c(sim.port(0));
    std::string reply = ask(c, "GET /input?PW=&");
    EXPECT_FALSE(reply.empty());
    EXPECT_EQ(reply.back(), '\0');
    EXPECT_EQ(reply.find("input;"), std::string::npos);
    TestClient i(sim.port(1));
    ASSERT_TRUE(i.send(kReadInputs));
    std::string bytes = i.receiveSome();
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.find("\xFF\xFA\x2C\x96"s), std::string::npos);
    ASSERT_TRUE(sim.setFault(0, "garbage", "off"));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0000\0"s);
}

TEST(SimFaults, SplitRepliesGoOutInTwoSends) {
    SimProcess sim({"12x,inputs=0xABC"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0ABC\0"s);
    EXPECT_EQ(sends(sim, 0), 1);
    ASSERT_TRUE(sim.setFault(0, "split", "30"));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0ABC\0"s);
    EXPECT_EQ(ask(c, "GET /output?PW=&"), "output;0000\0"s);
    EXPECT_EQ(sends(sim, 0), 5);
}

TEST(SimFaults, CutRepliesGoOutInTwoSendsAtTheOffset) {
    SimProcess sim({"12x,inputs=0xABC,fault=cut:3/100", "ioc,inputs=0x5A"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("GET /input?PW=&"));
    // The pause keeps the two parts apart, so the first receive ends at the offset.
    EXPECT_EQ(c.receiveSome(), "inp");
    EXPECT_EQ(c.receiveBytes(8), "ut;0ABC\0"s);
    EXPECT_EQ(sends(sim, 0), 2);
    // Replies not longer than the offset go out whole; the default pause is 20 ms.
    ASSERT_TRUE(sim.setFault(0, "cut", "20"));
    EXPECT_EQ(ask(c, "GET /output?PW=&"), "output;0000\0"s);
    EXPECT_EQ(sends(sim, 0), 3);
    ASSERT_TRUE(sim.setFault(0, "cut", "9"));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0ABC\0"s);
    EXPECT_EQ(sends(sim, 0), 5);
    EXPECT_EQ(sim.query("faults 0"), std::optional<std::string>("cut=9/20"));

    // I/O Controller frames, the spontaneous ones included, are cut the same way.
    ASSERT_TRUE(sim.setFault(1, "cut", "4/100"));
    TestClient i(sim.port(1));
    ASSERT_TRUE(i.send(kReadInputs));
    EXPECT_EQ(i.receiveSome(), "\xFF\xFA\x2C\x96"s);
    EXPECT_EQ(i.receiveBytes(3), "\x5A\xFF\xF0"s);
    ASSERT_TRUE(sim.setInputs(1, 0x81));
    EXPECT_EQ(i.receiveSome(), "\xFF\xFA\x2C\x33"s);
    EXPECT_EQ(i.receiveBytes(3), "\x81\xFF\xF0"s);
}

TEST(SimFaults, CoalescedRepliesGoOutInOneSend) {
    SimProcess sim({"12x,fault=coalesce:3"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("GET /input?PW=&GET /output?PW=&GET /counter1?PW=&"));
    const std::string all = "input;0000\0output;0000\0counter1;0\0"s;
    EXPECT_EQ(c.receiveBytes(all.size()), all);
    EXPECT_EQ(sends(sim, 0), 1);
    // A lone reply is not held back for ever.
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0000\0"s);
    EXPECT_EQ(sends(sim, 0), 2);
}

TEST(SimFaults, SlowRepliesComeNoEarlierThanTheDelay) {
    SimProcess sim({"12x,fault=slow:300"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    const int64_t start = vexlor::testing::monotonicMs();
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0000\0"s);
    EXPECT_GE(vexlor::testing::monotonicMs() - start, 300);
}

TEST(SimFaults, SilentDeviceLogsButNeverAnswers) {
    SimProcess sim({"12x,fault=silent", "thermo1,fault=silent"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("GET /input?PW=&"));
    ASSERT_TRUE(sim.waitForRequests(0, 1));
    EXPECT_TRUE(c.quietFor(300));
    TestClient t(sim.port(1));
    ASSERT_TRUE(t.send("GET /Single"));
    ASSERT_TRUE(sim.waitForRequests(1, 1));
    EXPECT_TRUE(t.quietFor(300));  // neither an answer nor a close
    ASSERT_TRUE(sim.clearFaults(0));
    EXPECT_EQ(ask(c, "GET /input?PW=&"), "input;0000\0"s);
}

TEST(SimFaults, RefuseClosesTheListenerAndReopensIt) {
    SimProcess sim({"12x", "2x,fault=refuse"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_NE(sim.port(1), 0);  // refusing from the start still reports its port
    EXPECT_EQ(TestClient(sim.port(1)).connectError(), ECONNREFUSED);

    TestClient before(sim.port(0));
    ASSERT_TRUE(before.connected());
    ASSERT_TRUE(sim.setFault(0, "refuse"));
    EXPECT_EQ(TestClient(sim.port(0)).connectError(), ECONNREFUSED);
    // An open connection is not touched by refusing new ones.
    EXPECT_EQ(ask(before, "GET /input?PW=&"), "input;0000\0"s);
    ASSERT_TRUE(sim.setFault(0, "refuse", "off"));
    TestClient after(sim.port(0));
    ASSERT_TRUE(after.connected());
    EXPECT_EQ(ask(after, "GET /input?PW=&"), "input;0000\0"s);
    ASSERT_TRUE(sim.clearFaults(1));
    EXPECT_TRUE(TestClient(sim.port(1)).connected());
}

TEST(SimFaults, RestartResetsConnectionsRefusesForItsTimeAndComesBackCleared) {
    SimProcess sim({"12x,outputs=0xF0F,counter3=42,error=1,inputs=0x5", "ioc,outputs=0x81",
                    "12x,fault=restart:600000"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    // Described as restarting: down from the start, until the mode is cleared.
    EXPECT_EQ(sim.listening(2), false);
    EXPECT_EQ(TestClient(sim.port(2)).connectError(), ECONNREFUSED);
    ASSERT_TRUE(sim.setFault(2, "restart", "off"));
    EXPECT_TRUE(TestClient(sim.port(2)).connected());

    TestClient a(sim.port(0)), b(sim.port(0)), ioc(sim.port(1));
    ASSERT_TRUE(sim.waitForConnections(0, 2));
    ASSERT_TRUE(sim.waitForConnections(1, 1));
    EXPECT_EQ(ask(a, "GET /output?PW=&"), "output;0F0F\0"s);

    // Every connection is reset at once, and connecting is refused while the device is down.
    EXPECT_EQ(sim.restart(0, 1500), 2);
    EXPECT_EQ(sim.listening(0), false);
    EXPECT_EQ(sim.query("faults 0"), "restart=1500");
    EXPECT_EQ(TestClient(sim.port(0)).connectError(), ECONNREFUSED);
    EXPECT_EQ(a.receiveUntilClose(), "");
    EXPECT_TRUE(a.eof());
    EXPECT_TRUE(b.receiveUntilClose().empty() && b.eof());
    EXPECT_EQ(sim.connections(0), 0);
    EXPECT_TRUE(sim.connections(1) == 1) << "other devices are not touched";

    // Back on the same port with outputs off, counters 0, the latch cleared; inputs stay.
    ASSERT_TRUE(sim.waitUntilListening(0, 10000));
    EXPECT_EQ(sim.query("faults 0"), "none");
    TestClient after(sim.port(0));
    ASSERT_TRUE(after.connected());
    EXPECT_EQ(ask(after, "GET /output?PW=&"), "output;0000\0"s);
    EXPECT_EQ(ask(after, "GET /counter3?PW=&"), "counter3;0\0"s);
    EXPECT_EQ(ask(after, "GET /input?PW=&"), "input;0005\0"s);
    EXPECT_EQ(sim.errorLatch(0), false);
    EXPECT_EQ(sim.outputs(1), 0x81u);

    // The mode does the same; clearing it ends the down time at once.
    ASSERT_TRUE(sim.setFault(1, "restart", "600000"));
    EXPECT_TRUE(ioc.receiveUntilClose().empty() && ioc.eof());
    EXPECT_EQ(sim.outputs(1), 0u);
    EXPECT_EQ(TestClient(sim.port(1)).connectError(), ECONNREFUSED);
    ASSERT_TRUE(sim.clearFaults(1));
    EXPECT_EQ(sim.listening(1), true);
    EXPECT_TRUE(TestClient(sim.port(1)).connected());
    EXPECT_EQ(sim.control("restart 0 -5").substr(0, 4), "ERR ");
}

TEST(SimFaults, AcceptCloseAcceptsAndHangsUp) {
    SimProcess sim({"12x,fault=accept-close"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.receiveUntilClose(), "");
    EXPECT_TRUE(c.eof());
    EXPECT_EQ(sim.accepts(0), 1);
    EXPECT_EQ(sim.connections(0), 0);
}

TEST(SimFaults, FloodSendsFillerBeforeTheReply) {
    SimProcess sim({"12x,fault=flood:100000"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    TestClient c(sim.port(0));
    ASSERT_TRUE(c.send("GET /input?PW=&"));
    std::string bytes = c.receiveBytes(100000 + 11);
    ASSERT_EQ(bytes.size(), 100011u);
    EXPECT_EQ(bytes.find('\0'), 100010u);
    EXPECT_EQ(bytes.substr(0, 4), "ABCD");
    EXPECT_EQ(bytes.substr(100000), "input;0000\0"s);
}

TEST(SimControl, ConnectionsDropAndRawSends) {
    SimProcess sim({"12x,name=left", "12x"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    EXPECT_EQ(sim.devices()[0].name, "left");
    EXPECT_EQ(sim.devices()[1].type, "digital12");
    EXPECT_EQ(sim.connections(0), 0);
    EXPECT_EQ(sim.query("connected left"), "0");
    TestClient a(sim.port(0)), b(sim.port(0));
    ASSERT_TRUE(sim.waitForConnections(0, 2));
    EXPECT_EQ(sim.query("connected left"), "1");
    EXPECT_EQ(sim.connections(1), 0);

    ASSERT_TRUE(sim.sendRaw(0, "input;1;2\0output;3"s));
    EXPECT_EQ(a.receiveBytes(18), "input;1;2\0output;3"s);
    EXPECT_EQ(b.receiveBytes(18), "input;1;2\0output;3"s);

    EXPECT_EQ(sim.query("drop 0"), "2");
    EXPECT_EQ(a.receiveUntilClose(), "");
    EXPECT_TRUE(a.eof());
    EXPECT_TRUE(b.receiveUntilClose().empty() && b.eof());
    EXPECT_EQ(sim.connections(0), 0);
    EXPECT_EQ(sim.accepts(0), 2);
}

TEST(SimControl, CommandErrorsAndStandardInput) {
    SimProcess sim({"12x", "thermo1"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    EXPECT_EQ(sim.control("ping"), "OK pong");
    EXPECT_EQ(sim.control("frobnicate 0").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.control("inputs 9").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.control("inputs 0 0x1000").substr(0, 4), "ERR ");  // 13 bits on a 12x
    EXPECT_EQ(sim.control("input 0 12 1").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.control("temp 0 0 20").substr(0, 4), "ERR ");  // not a thermometer
    EXPECT_EQ(sim.control("counter 1 0").substr(0, 4), "ERR ");  // not a digital device
    EXPECT_EQ(sim.control("fault 0 explode").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.control("fault 0 slow 20"), "OK slow=20");
    EXPECT_EQ(sim.query("faults 0"), "slow=20");
    EXPECT_EQ(sim.control(""), "ERR empty command");

    // The same commands work on standard input, with replies on standard output.
    EXPECT_EQ(sim.stdinCommand("inputs 0 0x123"), "OK");
    EXPECT_EQ(sim.stdinCommand("inputs 0"), "OK 0x123");
    EXPECT_EQ(sim.inputs(0), 0x123u);
}

TEST(SimLifecycle, ExitsOnStdinEofOnSignalsAndOnQuit) {
    {
        SimProcess sim({"12x"});
        ASSERT_TRUE(sim.ok()) << sim.error();
        EXPECT_EQ(sim.stop(), 0);  // closes standard input
    }
    for (int sig : {SIGTERM, SIGINT}) {
        SimProcess sim({"12x"});
        ASSERT_TRUE(sim.ok()) << sim.error();
        TestClient c(sim.port(0));
        EXPECT_EQ(sim.signalAndWait(sig), 0) << sig;
    }
    {
        SimProcess sim({"12x"});
        ASSERT_TRUE(sim.ok()) << sim.error();
        EXPECT_EQ(sim.control("quit"), "OK bye");
        EXPECT_EQ(sim.stop(), 0);
    }
}

TEST(SimLifecycle, BadArgumentsFailFast) {
    SimProcess sim({"dimmer"}, {}, 5000);
    EXPECT_FALSE(sim.ok());
    EXPECT_EQ(sim.stop(), 2);
}

TEST(SimLifecycle, ConfigFileFixedPortAndLoopbackOnly) {
    // A free port to ask for (the simulator sets SO_REUSEADDR, so a short race is harmless).
    uint16_t fixed = 0;
    {
        SimProcess probe({"12x"});
        ASSERT_TRUE(probe.ok()) << probe.error();
        fixed = probe.port(0);
    }
    vexlor::testing::TempDir dir;
    ASSERT_TRUE(dir.write("sim.conf", "device 12x,pw=conf,port=" + std::to_string(fixed) +
                                          "\ndevice ioc,name=ctl\n"));
    SimProcess sim({}, {"--config", dir.file("sim.conf")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(sim.devices().size(), 2u);
    EXPECT_EQ(sim.port(0), fixed);
    EXPECT_EQ(sim.devices()[1].name, "ctl");
    TestClient c(fixed);
    EXPECT_EQ(ask(c, "GET /input?PW=conf&"), "input;0000\0"s);
    // Bound to 127.0.0.1 only: another loopback address is refused.
    EXPECT_EQ(TestClient(fixed, "127.0.0.2").connectError(), ECONNREFUSED);
}
