// A receive thread held inside an error box (on Windows the box blocks the thread until the
// user closes it) while the host closes, reopens and unloads: on the fake platform, whose error
// box can be made to block. DeInit gives up waiting and frees the slot, the next Init serves the
// slot with a new thread while the old one is still in its box, the old thread leaves the slot
// alone once the box is closed, and shut-down ends and writes no trace line after it stopped
// tracing.
#include <gtest/gtest.h>
#include <vexlor.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "core/device_table.h"
#include "core/receive_thread.h"
#include "fake_platform.h"

namespace {

using vexlor::g_devices;

// A thread that is joined however the test ends.
class Joined {
  public:
    template <typename Fn>
    explicit Joined(Fn fn) : thread_(fn) {}
    ~Joined() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::thread thread_;
};
using vexlor::Get;

// Makes every error box block until Release(); counts the boxes entered.
class BlockingBoxes {
  public:
    BlockingBoxes() {
        fake::SetErrorBoxHook([this](const std::string&, const std::string&) {
            std::unique_lock<std::mutex> lock(mu_);
            ++entered_;
            cv_.notify_all();
            cv_.wait(lock, [this] { return released_; });
        });
    }
    ~BlockingBoxes() {
        Release();
        fake::SetErrorBoxHook(nullptr);
    }
    bool WaitEntered(int count) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= count; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mu_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int entered_ = 0;
    bool released_ = false;
};

class ErrorBoxLifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        boxes_ = std::make_unique<BlockingBoxes>();
        fake::StartModule();
    }
    void TearDown() override {
        boxes_.reset();  // never leave a thread blocked for Reset() to join
        fake::Reset();
    }
    void Configure(int slot, const std::string& timing) {
        const std::string section = "DEV" + std::to_string(slot);
        fake::SetProfileString(section, "IP", "10.0.0.1");
        fake::SetProfileString(section, "Port", "80");
        fake::SetProfileString(section, "Timing", timing);
        fake::SetProfileString(section, "Password", "");
    }
    // The socket of the slot's latest connection.
    static fake::SOCKET LatestSocket() {
        const auto sockets = fake::CreatedSockets();
        return sockets.empty() ? vexlor::ws::kInvalidSocket : sockets.back();
    }
    static bool WaitForSendOn(fake::SOCKET socket) {
        return fake::WaitFor([&] { return !fake::Sends(socket).empty(); });
    }
    static int ReadDI12(uint16_t slot, uint16_t* word) {
        uint16_t b[12];
        return VexlorWeb_IO_12xDigital_ReadDI(1, slot, word, &b[0], &b[1], &b[2], &b[3], &b[4],
                                              &b[5], &b[6], &b[7], &b[8], &b[9], &b[10], &b[11]);
    }

    std::unique_ptr<BlockingBoxes> boxes_;
};

TEST_F(ErrorBoxLifecycle, DeInitAndReInitWhileTheThreadIsInsideAnErrorBox) {
    Configure(5, "0");
    ASSERT_EQ(VexlorWeb_IO_Init(1, 5), 0);
    const fake::SOCKET first = LatestSocket();
    uint16_t word = 0;
    ASSERT_EQ(ReadDI12(5, &word), 0);
    // The box comes up for the first reply of the block; a valid one follows it.
    fake::QueueReceive(first, std::string("no reply\0input;777\0", 20));
    ASSERT_TRUE(boxes_->WaitEntered(1));

    // DeInit gives up on the blocked thread after its 50 passes and still frees the slot.
    EXPECT_EQ(VexlorWeb_IO_DeInit(1, 5), 0);
    const int firstRecvs = fake::RecvCalls(first);
    EXPECT_EQ(Get(g_devices[5].inUse), 0);
    EXPECT_FALSE(fake::IsOpen(first));
    EXPECT_EQ(vexlor::RunningReceiveThreads(5), 1);  // still in its box

    // A new connection of the slot gets a thread of its own, which decodes its replies.
    ASSERT_EQ(VexlorWeb_IO_Init(1, 5), 0);
    const fake::SOCKET second = LatestSocket();
    ASSERT_NE(second, first);
    ASSERT_EQ(ReadDI12(5, &word), 0);
    fake::QueueReceive(second, std::string("input;5A5\0", 10));
    ASSERT_TRUE(fake::WaitUntilReceived(second));
    EXPECT_TRUE(fake::WaitFor([] { return Get(g_devices[5].inputWord12) == 0x5A5; }));

    // The user closes the old box: its thread ends without touching the slot (the rest of its
    // block is not decoded into the new connection's values, nor is its old socket read again),
    // and only the new thread goes on serving it.
    boxes_->Release();
    EXPECT_TRUE(fake::WaitFor([] { return vexlor::RunningReceiveThreads(5) == 1; }));
    EXPECT_EQ(Get(g_devices[5].inputWord12), 0x5A5);
    EXPECT_EQ(fake::RecvCalls(first), firstRecvs);
    EXPECT_EQ(Get(g_devices[5].threadAlive), 1);
    EXPECT_EQ(Get(g_devices[5].inUse), 1);
    fake::QueueReceive(second, std::string("input;F0\0", 9));
    ASSERT_TRUE(fake::WaitUntilReceived(second));
    EXPECT_TRUE(fake::WaitFor([] { return Get(g_devices[5].inputWord12) == 0xF0; }));
    EXPECT_EQ(fake::ErrorBoxes().size(), 1u);

    EXPECT_EQ(VexlorWeb_IO_DeInit(1, 5), 0);
    EXPECT_TRUE(fake::WaitFor([] { return vexlor::RunningReceiveThreads(5) == 0; }));
    EXPECT_FALSE(fake::IsOpen(second));
}

TEST_F(ErrorBoxLifecycle, OneBoxPerSlotAndTheBoxedThreadsGenerationIsNeverReused) {
    Configure(5, "0");
    Configure(6, "0");
    uint16_t word = 0;
    ASSERT_EQ(VexlorWeb_IO_Init(1, 5), 0);
    ASSERT_EQ(ReadDI12(5, &word), 0);
    fake::QueueReceive(LatestSocket(), std::string("no reply\0", 9));
    ASSERT_TRUE(boxes_->WaitEntered(1));
    const uint32_t boxedGeneration = vexlor::GenerationOf(Get(g_devices[5].threadGeneration));
    EXPECT_EQ(Get(g_devices[5].errorBoxOwner), boxedGeneration + 1);

    // The next connections of the slot meet the same text while the box is open: no second box,
    // a trace line instead, and their threads end with their DeInit.
    for (int poll = 0; poll < 3; ++poll) {
        EXPECT_EQ(VexlorWeb_IO_DeInit(1, 5), 0);
        ASSERT_EQ(VexlorWeb_IO_Init(1, 5), 0);
        ASSERT_EQ(ReadDI12(5, &word), 0);
        const fake::SOCKET socket = LatestSocket();
        fake::QueueReceive(socket, std::string("still no reply\0", 15));
        ASSERT_TRUE(fake::WaitUntilReceived(socket));
    }
    EXPECT_EQ(fake::ErrorBoxes().size(), 1u);
    const auto lines = fake::TraceTexts(1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "MessageBoxA not shown (slot 5 has a box open): Web-IO 12xDigital: "
                         "still no reply"),
              3);
    EXPECT_EQ(VexlorWeb_IO_DeInit(1, 5), 0);
    EXPECT_TRUE(fake::WaitFor([] { return vexlor::RunningReceiveThreads(5) == 1; }));

    // Another slot still gets a box of its own.
    ASSERT_EQ(VexlorWeb_IO_Init(1, 6), 0);
    ASSERT_EQ(ReadDI12(6, &word), 0);
    fake::QueueReceive(LatestSocket(), std::string("other\0", 6));
    ASSERT_TRUE(boxes_->WaitEntered(2));

    // Once the generation counter has come round to the boxed thread's, Init skips it.
    g_devices[5].threadGeneration.store(boxedGeneration - 1 + vexlor::kGenerationMask + 1);
    ASSERT_EQ(VexlorWeb_IO_Init(1, 5), 0);
    EXPECT_NE(vexlor::GenerationOf(Get(g_devices[5].threadGeneration)), boxedGeneration);
    ASSERT_EQ(ReadDI12(5, &word), 0);
    const fake::SOCKET current = LatestSocket();
    fake::QueueReceive(current, std::string("input;5A5\0", 10));
    ASSERT_TRUE(fake::WaitUntilReceived(current));
    EXPECT_TRUE(fake::WaitFor([] { return Get(g_devices[5].inputWord12) == 0x5A5; }));

    // Closing the boxes: the old thread of slot 5 ends and leaves the slot to the current one,
    // which shows the next box of its own.
    boxes_->Release();
    EXPECT_TRUE(fake::WaitFor([] { return vexlor::RunningReceiveThreads(5) == 1; }));
    EXPECT_EQ(Get(g_devices[5].threadAlive), 1);
    EXPECT_EQ(Get(g_devices[5].errorBoxOwner), 0u);
    fake::QueueReceive(current, std::string("no reply again\0", 15));
    ASSERT_TRUE(fake::WaitUntilReceived(current));
    EXPECT_EQ(fake::ErrorBoxes().size(), 3u);
    fake::QueueReceive(current, std::string("input;F0\0", 9));
    EXPECT_TRUE(fake::WaitFor([] { return Get(g_devices[5].inputWord12) == 0xF0; }));
    EXPECT_EQ(VexlorWeb_IO_DeInit(1, 5), 0);
    EXPECT_EQ(VexlorWeb_IO_DeInit(1, 6), 0);
}

TEST_F(ErrorBoxLifecycle, ThermometerPollsGoOnWhileAnOldThreadIsInItsBox) {
    Configure(9, "1000");  // time enough for the receive thread to take each answer
    double t1 = -1, t2 = -1;
    int result = -1;
    // An answer with one reading where two are needed: the error box blocks the thread, the
    // read ends at its deadline with the readings it had, and its DeInit gives up waiting.
    Joined poll([&] { result = VexlorWeb_IO_2xThermometer_Read(1, 9, &t1, &t2); });
    ASSERT_TRUE(fake::WaitFor([] { return !fake::CreatedSockets().empty(); }));
    const fake::SOCKET first = LatestSocket();
    ASSERT_TRUE(WaitForSendOn(first));
    fake::QueueReceive(first, std::string("21.0\0", 5));
    ASSERT_TRUE(boxes_->WaitEntered(1));
    poll.join();
    EXPECT_EQ(result, 10060);  // no complete answer: the cached readings, not fresh
    EXPECT_EQ(t1, 0.0);
    EXPECT_EQ(t2, 0.0);
    EXPECT_EQ(Get(g_devices[9].inUse), 0);

    // The next poll, 50 s later, opens the slot again beside the blocked thread.
    fake::AdvanceTime(50000);
    Joined second([&] { result = VexlorWeb_IO_2xThermometer_Read(1, 9, &t1, &t2); });
    ASSERT_TRUE(fake::WaitFor([&] { return LatestSocket() != first; }));
    const fake::SOCKET next = LatestSocket();
    ASSERT_TRUE(WaitForSendOn(next));
    fake::QueueReceive(next, std::string("Lab;20.5\xB0"
                                         "C;21.5\xB0"
                                         "C\0",
                                         18));
    second.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(t1, 20.5);
    EXPECT_EQ(t2, 21.5);

    // Closing the old box changes nothing any more.
    boxes_->Release();
    EXPECT_TRUE(fake::WaitFor([] { return vexlor::RunningReceiveThreads(9) == 0; }));
    EXPECT_EQ(Get(g_devices[9].temperatures[0]), 20.5);
    EXPECT_EQ(Get(g_devices[9].temperatures[1]), 21.5);
    EXPECT_EQ(Get(g_devices[9].inUse), 0);
}

TEST_F(ErrorBoxLifecycle, UnloadEndsWhileAThreadIsInsideAnErrorBox) {
    Configure(3, "0");
    Configure(4, "0");
    ASSERT_EQ(VexlorWeb_IO_Init(1, 3), 0);
    const fake::SOCKET boxed = LatestSocket();
    ASSERT_EQ(VexlorWeb_IO_Init(1, 4), 0);
    uint16_t word = 0;
    ASSERT_EQ(ReadDI12(3, &word), 0);
    ASSERT_EQ(ReadDI12(4, &word), 0);
    fake::QueueReceive(boxed, std::string("garbage\0", 8));
    ASSERT_TRUE(boxes_->WaitEntered(1));

    // Unloading with both slots still open: it does not wait for the box for ever.
    Joined unload([] { fake::StopModule(); });
    const bool ended = fake::WaitFor([] { return !fake::ModuleStarted(); }, 30000);
    if (!ended) boxes_->Release();  // let the test end either way
    unload.join();
    EXPECT_TRUE(ended) << "shut-down waited for the error box";
    EXPECT_EQ(vexlor::RunningReceiveThreads(4), 0);
    EXPECT_EQ(vexlor::RunningReceiveThreads(3), 1);

    // The box is closed after the library stopped tracing: the thread ends without a trace line.
    const size_t lines = fake::TraceLines().size();
    boxes_->Release();
    EXPECT_TRUE(fake::WaitFor([] { return vexlor::RunningReceiveThreads(3) == 0; }));
    EXPECT_EQ(fake::TraceLines().size(), lines);
    EXPECT_EQ(fake::TraceLineCountAtStop(), static_cast<int>(lines));
}

}  // namespace
