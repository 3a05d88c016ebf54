// The receive thread and the receive-step front shared by the parsers.
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
        return socket;
    }
};

TEST_F(ReceiveTest, FrontReadsAtMostTheReceiveSizePerStep) {
    const auto socket = ConnectedSocket(2);
    char buffer[1000];
    EXPECT_EQ(vexlor::ReceiveFront(2, buffer, sizeof buffer), 0);  // nothing waiting
    EXPECT_EQ(fake::RecvCalls(socket), 0);                         // select said so

    fake::QueueReceive(socket, std::string(1500, 'x'));
    EXPECT_EQ(vexlor::ReceiveFront(2, buffer, sizeof buffer), 1000);
    EXPECT_EQ(vexlor::ReceiveFront(2, buffer, sizeof buffer), 500);
    EXPECT_EQ(vexlor::ReceiveFront(2, buffer, sizeof buffer), 0);
}

TEST_F(ReceiveTest, FrontEndsQuietlyWhenThePeerClosed) {
    const auto socket = ConnectedSocket(2);
    fake::QueuePeerClose(socket);
    char buffer[256];
    EXPECT_EQ(vexlor::ReceiveFront(2, buffer, sizeof buffer), 0);
    EXPECT_EQ(fake::RecvCalls(socket), 1);
    EXPECT_TRUE(fake::ErrorBoxes().empty());
}

TEST_F(ReceiveTest, FrontTriesToReceiveAfterASelectError) {
    const auto socket = ConnectedSocket(2);
    fake::ScriptResult("select", -1, 10022);
    char buffer[256];
    EXPECT_EQ(vexlor::ReceiveFront(2, buffer, sizeof buffer), 0);
    EXPECT_EQ(fake::RecvCalls(socket), 1);
}

TEST_F(ReceiveTest, FrontNeverTouchesASlotWithoutSocket) {
    ASSERT_EQ(Get(g_devices[3].socket), kInvalidSocket);
    fake::ScriptResult("select", 1);  // would claim readiness if it were asked
    char buffer[256];
    EXPECT_EQ(vexlor::ReceiveFront(3, buffer, sizeof buffer), 0);
    // The scripted select is still waiting: nothing was called.
    EXPECT_EQ(vexlor::g_module.sockets.select(0, nullptr, nullptr, nullptr, nullptr), 1);
}

TEST_F(ReceiveTest, ErrorBoxShowsTheReceivedTextUpToItsCount) {
    vexlor::ShowReplyErrorBox("Caption", "abc\0def", 7);
    vexlor::ShowReplyErrorBox("Caption", "abcdef", 4);
    const auto boxes = fake::ErrorBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Caption");
    EXPECT_EQ(boxes[0].text, "abc");
    EXPECT_EQ(boxes[1].text, "abcd");
}

TEST_F(ReceiveTest, ThreadRunsTheParserOfTheCurrentKindEachPass) {
    vexlor::RegisterResponseParser(vexlor::kKindDigital12, &RecordingParser::Parse);
    auto& slot = g_devices[11];
    slot.runFlag.store(1);
    uint32_t id = 0;
    auto handle = vexlor::StartReceiveThread(11, Get(slot.threadGeneration), &id);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(fake::WaitFor([&] { return Get(slot.threadAlive) == 1; }));
    EXPECT_EQ(vexlor::RunningReceiveThreads(11), 1);
    // Kind 0: the thread only sleeps.
    ASSERT_TRUE(fake::WaitFor([] { return fake::PriorityCalls() == 1; }));
    EXPECT_EQ(RecordingParser::Instance().Calls(), 0);
    // The kind is read afresh in every pass.
    Set(slot.kind, vexlor::kKindDigital12);
    EXPECT_TRUE(fake::WaitFor([] { return RecordingParser::Instance().Calls() > 2; }));
    Set(slot.kind, 9);  // no parser for other values
    const int calls = RecordingParser::Instance().Calls();
    slot.runFlag.store(0);
    ASSERT_TRUE(vexlor::platform::WaitThread(handle, 5000));
    EXPECT_LE(RecordingParser::Instance().Calls(), calls + 1);
    EXPECT_EQ(Get(slot.threadAlive), 0);
    EXPECT_EQ(vexlor::RunningReceiveThreads(11), 0);
    vexlor::platform::CloseThreadHandle(handle);

    const auto texts = fake::TraceTexts(1);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "SetThreadPriority (GetCurrentThread (), 0)");
    EXPECT_EQ(texts.back(), "ExitThread (0)");
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

TEST_F(ReceiveTest, FailedThreadCreationIsNotCountedAsRunning) {
    fake::SetThreadMode(fake::ThreadMode::kFail);
    EXPECT_EQ(vexlor::StartReceiveThread(13, 0, nullptr), nullptr);
    EXPECT_EQ(vexlor::RunningReceiveThreads(13), 0);
    EXPECT_EQ(vexlor::RunningReceiveThreads(), 0);
}

}  // namespace
}  // namespace coretest
