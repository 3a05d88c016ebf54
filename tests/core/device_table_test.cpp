// The preamble, the time base and the RequestThrottle.
#include "core_test_support.h"

namespace coretest {
namespace {

using vexlor::g_devices;

using PreambleTest = CoreTest;

TEST_F(PreambleTest, SlotTestComesBeforeTheSocketLayerTest) {
    fake::SetSocketLibraryPresent(false);
    fake::StartModule();
    EXPECT_EQ(vexlor::Preamble(100), 2);
    EXPECT_EQ(vexlor::Preamble(65535), 2);
    EXPECT_EQ(vexlor::Preamble(99), 3);
    EXPECT_EQ(vexlor::Preamble(0), 3);
    EXPECT_EQ(vexlor::InitSlot(0, 100), 2);
    EXPECT_EQ(vexlor::DeInitSlot(0, 65535), 2);
}

TEST_F(PreambleTest, UsableSocketLayerPassesEverySlotBelow100) {
    fake::StartModule();
    EXPECT_EQ(vexlor::Preamble(0), 0);
    EXPECT_EQ(vexlor::Preamble(99), 0);
    EXPECT_EQ(vexlor::Preamble(100), 2);
}

TEST_F(PreambleTest, FailedSocketLayerGivesThree) {
    fake::SetWsaStartupResult(10092);
    fake::StartModule();
    EXPECT_EQ(vexlor::Preamble(100), 2);
    EXPECT_EQ(vexlor::Preamble(42), 3);
}

using ThrottleTest = CoreTest;

TEST_F(ThrottleTest, SendsOnlyWhenTheIntervalHasPassed) {
    auto& slot = g_devices[4];
    fake::SetTime(1000000);
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
    EXPECT_EQ(vexlor::Get(slot.lastInputPoll), 1000000.0);
    EXPECT_EQ(vexlor::Get(slot.now), 1000000.0);

    fake::AdvanceTime(499);
    EXPECT_FALSE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
    EXPECT_EQ(vexlor::Get(slot.lastInputPoll), 1000000.0);
    EXPECT_EQ(vexlor::Get(slot.now), 1000499.0);

    fake::AdvanceTime(1);  // exactly the interval counts as due
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
    EXPECT_EQ(vexlor::Get(slot.lastInputPoll), 1000500.0);
    // Each sort of request has its own timestamp.
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastOutputPoll, 500));
}

TEST_F(ThrottleTest, ZeroIntervalSendsEveryTime) {
    auto& slot = g_devices[0];
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastCounterPoll, 0));
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastCounterPoll, 0));
}

TEST_F(ThrottleTest, CounterWrapCountsAsDue) {
    auto& slot = g_devices[7];
    fake::SetTime(0xFFFFFF00u);
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
    EXPECT_EQ(vexlor::Get(slot.lastInputPoll), 4294967040.0);
    // The counter wraps: elapsed is negative, which must not stall polling for 49 days.
    fake::SetTime(100);
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
    EXPECT_EQ(vexlor::Get(slot.lastInputPoll), 100.0);
    fake::SetTime(200);
    EXPECT_FALSE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
}

TEST_F(ThrottleTest, FirstReadAfterLoadIsDueOnceTheSystemIsUpLongerThanTheInterval) {
    auto& slot = g_devices[1];
    fake::SetTime(400);
    EXPECT_FALSE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
    fake::SetTime(500);
    EXPECT_TRUE(vexlor::RequestDue(slot, slot.lastInputPoll, 500));
}

TEST_F(ThrottleTest, TimeBaseIsTheUnsignedCounter) {
    fake::SetTime(0xFFFFFFFFu);
    EXPECT_EQ(vexlor::TimeBase(), 4294967295.0);
}

TEST_F(ThrottleTest, TimingTextConvertsLikeAtol) {
    std::strcpy(vexlor::g_settings.timing[3], "");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), 0.0);
    std::strcpy(vexlor::g_settings.timing[3], "abc");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), 0.0);
    std::strcpy(vexlor::g_settings.timing[3], "250");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), 250.0);
    std::strcpy(vexlor::g_settings.timing[3], "12ms");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), 12.0);
    // As on Windows, where long has 32 bits: numbers beyond that range read as its limits and
    // never wrap (2^32 + 10 is not 10 ms).
    std::strcpy(vexlor::g_settings.timing[3], "4294967306");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), 2147483647.0);
    std::strcpy(vexlor::g_settings.timing[3], " -4294967306");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), -2147483648.0);
    std::strcpy(vexlor::g_settings.timing[3], "99999999999999999999");
    vexlor::PublishSlotSettings(3);
    EXPECT_EQ(vexlor::SlotTimingMs(3), 2147483647.0);
}

}  // namespace
}  // namespace coretest
