// The receive thread: its wait, its hand-offs and the error box.
#include <chrono>
#include <thread>

#include "core/health.h"
#include "core_test_support.h"

namespace coretest {
namespace {

using vexlor::g_devices;
using vexlor::ws::kInvalidSocket;

class ReceiveTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        fake::StartModule();
    }
    // A connected socket of the fake layer, as Init would leave it in the slot.
    vexlor::ws::SOCKET ConnectedSocket(uint16_t slot) {
        const auto& api = vexlor::g_module.sockets;
        const auto socket = api.socket(2, 1, 0);
        vexlor::ws::SockAddrIn address{};
        address.sin_family = 2;
        address.sin_port = api.htons(80);
        address.sin_addr.s_addr = api.inet_addr("10.0.0.1");
        api.connect(socket, reinterpret_cast<const vexlor::ws::SockAddr*>(&address),
                    sizeof address);
        Set(g_devices[slot].socket, socket);
        vexlor::MarkConnectionUp(g_devices[slot]);
        return socket;
    }
};

TEST_F(ReceiveTest, ErrorBoxShowsTheReceivedTextUpToItsCount) {
    vexlor::ShowReplyErrorBox("Caption", "abc\0def", 7);
    vexlor::ShowReplyErrorBox("Caption", "abcdef", 4);
    const auto boxes = fake::ErrorBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Caption");
    EXPECT_EQ(boxes[0].text, "abc");
    EXPECT_EQ(boxes[1].text, "abcd");
}

TEST_F(ReceiveTest, ThreadWaitsForDataAndServesTheCurrentKind) {
    vexlor::RegisterResponseParser(vexlor::kKindDigital12, &RecordingParser::Parse);
    auto& slot = g_devices[11];
    const auto socket = ConnectedSocket(11);
    vexlor::OpenWakeChannel(11);
    slot.runFlag.store(1);
    uint32_t id = 0;
    auto handle = vexlor::StartReceiveThread(11, Get(slot.threadGeneration), &id);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(fake::WaitFor([&] { return Get(slot.threadAlive) == 1; }));
    EXPECT_EQ(vexlor::RunningReceiveThreads(11), 1);

    // Kind 0: what the device sends waits in the socket. The thread sees it arrive (a reply
    // wakes it even when the wake-up of a kind stamp is lost) but takes nothing, and does not
    // keep selecting on bytes it cannot take.
    fake::QueueReceive(socket, "input;1");
    ASSERT_TRUE(fake::WaitFor([] { return fake::PriorityCalls() == 1; }));
    EXPECT_TRUE(fake::WaitFor([&] { return fake::SelectCalls(socket) >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(fake::SelectCalls(socket), 1);
    EXPECT_EQ(fake::RecvCalls(socket), 0);

    // Stamping a kind wakes the thread at once (its idle wait is a second long), and from then on
    // every chunk that arrives is taken by one step, with no step while nothing arrives.
    const auto stamped = std::chrono::steady_clock::now();
    vexlor::StampKind(11, vexlor::kKindDigital12);
    ASSERT_TRUE(fake::WaitFor([] { return RecordingParser::Instance().Calls() == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - stamped, std::chrono::milliseconds(500));
    fake::QueueReceive(socket, "input;2");
    fake::QueueReceive(socket, "input;3");
    ASSERT_TRUE(fake::WaitUntilReceived(socket));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(RecordingParser::Instance().Calls(), 3);
    EXPECT_EQ(fake::RecvCalls(socket), 3);

    // Clearing the run flag and waking the thread ends it at once.
    const auto stopped = std::chrono::steady_clock::now();
    slot.runFlag.store(0);
    vexlor::WakeReceiveThread(11);
    ASSERT_TRUE(vexlor::platform::WaitThread(handle, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(500));
    EXPECT_EQ(Get(slot.threadAlive), 0);
    EXPECT_EQ(vexlor::RunningReceiveThreads(11), 0);
    vexlor::platform::CloseThreadHandle(handle);

    const auto texts = fake::TraceTexts(1);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "SetThreadPriority (GetCurrentThread (), 0)");
    EXPECT_EQ(texts.back(), "ExitThread (0)");
}

TEST_F(ReceiveTest, SocketInTroubleIsNeverReadBlindlyNorSpunOn) {
    vexlor::RegisterResponseParser(vexlor::kKindDigital12, &RecordingParser::Parse);
    auto& slot = g_devices[11];
    const auto socket = ConnectedSocket(11);
    vexlor::OpenWakeChannel(11);
    Set(slot.kind, vexlor::kKindDigital12);
    slot.runFlag.store(1);

    // A failed select never leads to a recv (it could block on a silent device); the socket is
    // left alone for a while and then served again.
    fake::ScriptResult("select", -1, 10022);
    auto handle = vexlor::StartReceiveThread(11, Get(slot.threadGeneration), nullptr);
    ASSERT_TRUE(fake::WaitFor([&] { return Get(slot.threadAlive) == 1; }));
    fake::QueueReceive(socket, "input;1");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fake::RecvCalls(socket), 0);
    fake::AdvanceTime(100);
    ASSERT_TRUE(fake::WaitFor([] { return RecordingParser::Instance().Calls() == 1; }));

    // After the device closed the connection the thread stops watching the socket: no more
    // selects or recvs on it however long it waits, and no error box.
    fake::QueuePeerClose(socket);
    ASSERT_TRUE(fake::WaitFor([&] { return fake::RecvCalls(socket) == 2; }));
    const int selects = fake::SelectCalls(socket);
    for (int i = 0; i < 5; ++i) fake::AdvanceTime(200);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fake::RecvCalls(socket), 2);
    EXPECT_LE(fake::SelectCalls(socket), selects + 1);
    EXPECT_TRUE(fake::ErrorBoxes().empty());

    slot.runFlag.store(0);
    vexlor::WakeReceiveThread(11);
    ASSERT_TRUE(vexlor::platform::WaitThread(handle, 5000));
    vexlor::platform::CloseThreadHandle(handle);
}

TEST_F(ReceiveTest, WithoutWakeChannelTheThreadPollsItsSocket) {
    // A socket layer without getsockname: no channel is opened and nothing fails.
    fake::Reset();
    fake::OmitSocketFunction("getsockname");
    fake::StartModule();
    vexlor::RegisterResponseParser(vexlor::kKindDigital12, &RecordingParser::Parse);
    auto& slot = g_devices[11];
    const auto socket = ConnectedSocket(11);
    vexlor::OpenWakeChannel(11);
    slot.runFlag.store(1);
    auto handle = vexlor::StartReceiveThread(11, Get(slot.threadGeneration), nullptr);
    ASSERT_TRUE(fake::WaitFor([&] { return Get(slot.threadAlive) == 1; }));
    Set(slot.kind, vexlor::kKindDigital12);  // noticed without a wake-up
    fake::QueueReceive(socket, "input;1");
    ASSERT_TRUE(fake::WaitFor([] { return RecordingParser::Instance().Calls() == 1; }));
    slot.runFlag.store(0);
    ASSERT_TRUE(vexlor::platform::WaitThread(handle, 500));
    vexlor::platform::CloseThreadHandle(handle);
}

TEST_F(ReceiveTest, ThreadThatIsNoLongerCurrentLeavesTheSlotAlone) {
    auto& slot = g_devices[12];
    slot.runFlag.store(1);
    fake::SetThreadMode(fake::ThreadMode::kHold);
    auto handle = vexlor::StartReceiveThread(12, Get(slot.threadGeneration), nullptr);
    slot.threadGeneration.fetch_add(1);  // a newer Init took over
    Set(slot.threadAlive, 1);            // ... and its thread runs
    fake::ReleaseHeldThreads();
    ASSERT_TRUE(vexlor::platform::WaitThread(handle, 5000));
    EXPECT_EQ(Get(slot.threadAlive), 1);
    EXPECT_EQ(vexlor::RunningReceiveThreads(12), 0);
    vexlor::platform::CloseThreadHandle(handle);
}

// A receive thread that takes a loss of its connection late, after DeInit and a new Init have
// put another connection in the slot on the same socket number (the system hands it out again),
// leaves the new one alone. The loss of its own connection is reported, and with Reconnect it
// takes that connection down and closes its socket.
TEST_F(ReceiveTest, LossOfAnEarlierConnectionNeverEndsItsSuccessor) {
    for (const uint16_t n : {14, 15}) {
        auto& slot = g_devices[n];
        const bool reconnects = n == 14;
        const auto first = ConnectedSocket(n);
        const uint32_t firstNumber = slot.connection.load();
        vexlor::MarkConnectionDown(slot);  // DeInit
        vexlor::g_module.sockets.closesocket(first);
        vexlor::StartHealth(n);  // Init
        Set(slot.reconnects, reconnects ? 1 : 0);
        slot.runFlag.store(1);  // the slot's receive thread serves it
        fake::SetNextSocket(first);
        const auto socket = ConnectedSocket(n);
        ASSERT_EQ(socket, first);
        const uint32_t number = slot.connection.load();
        for (const bool own : {false, true}) {
            vexlor::LinkState link;
            uint32_t waitMs = 1000;
            const bool down = vexlor::KeepLink(
                n, Get(slot.threadGeneration), link,
                {own ? number : firstNumber, socket, vexlor::ws::kWsaEConnReset}, &waitMs);
            const bool takenDown = own && reconnects;
            EXPECT_EQ(down, !own || reconnects) << n << own;
            EXPECT_EQ(link.down, takenDown) << n << own;
            EXPECT_EQ(Get(slot.linkError), own ? vexlor::ws::kWsaEConnReset : 0) << n << own;
            EXPECT_EQ(slot.connection.load(), takenDown ? number + 1 : number) << n << own;
            EXPECT_EQ(fake::IsOpen(socket), !takenDown) << n << own;
        }
    }
}

TEST_F(ReceiveTest, FailedThreadCreationIsNotCountedAsRunning) {
    fake::SetThreadMode(fake::ThreadMode::kFail);
    EXPECT_EQ(vexlor::StartReceiveThread(13, 0, nullptr), nullptr);
    EXPECT_EQ(vexlor::RunningReceiveThreads(13), 0);
    EXPECT_EQ(vexlor::RunningReceiveThreads(), 0);
}

}  // namespace
}  // namespace coretest
