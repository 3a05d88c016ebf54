// Module start-up and shut-down, and the binding of the trace library.
#include "core_test_support.h"

namespace coretest {
namespace {

using vexlor::g_devices;
using vexlor::g_module;

int32_t HandleNumber(const void* handle) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)));
}

using StartupTest = CoreTest;

TEST_F(StartupTest, BindsTraceThenSocketLayerAndMarksSlotsFree) {
    Set(g_devices[5].inUse, 1);
    Set(g_devices[5].kind, 3);
    Set(g_devices[99].inUse, 1);
    fake::StartModule();

    EXPECT_EQ(fake::LoadedLibraries(), (std::vector<std::string>{"ORVANE.DLL", "WSOCK32.DLL"}));
    EXPECT_EQ(fake::WsaStartupCalls(), 1);
    EXPECT_EQ(fake::WsaStartupVersion(), 0x0101);
    EXPECT_EQ(fake::TraceStartCalls(), 1);
    EXPECT_EQ(g_module.moduleHandle, vexlor::platform::SelfModule());
    EXPECT_NE(g_module.socketLibrary, nullptr);
    EXPECT_EQ(g_module.socketLayerFailed, 0);
    EXPECT_STREQ(g_module.settingsFileName, "Vexlor.ini");
    EXPECT_EQ(Get(g_devices[5].inUse), 0);
    EXPECT_EQ(Get(g_devices[99].inUse), 0);
    EXPECT_EQ(Get(g_devices[5].kind), 3);  // nothing else is touched
    EXPECT_EQ(fake::MessageHookInstalls(), 1);

    // The socket-library load is the first traced call.
    const auto lines = fake::TraceLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].channel, 1);
    EXPECT_EQ(lines[0].text, "Ret=" + std::to_string(HandleNumber(g_module.socketLibrary)) +
                                 "; LoadLibrary (WSOCK32.DLL)");
}

TEST_F(StartupTest, WithoutSocketLibraryEveryCallGivesThree) {
    fake::SetSocketLibraryPresent(false);
    fake::StartModule();
    EXPECT_EQ(fake::TraceTexts(), (std::vector<std::string>{"Ret=0; LoadLibrary (WSOCK32.DLL)"}));
    EXPECT_EQ(g_module.socketLayerFailed, 0);
    EXPECT_EQ(fake::WsaStartupCalls(), 0);
    for (uint16_t slot : {0, 17, 99}) {
        EXPECT_EQ(vexlor::InitSlot(0, slot), 3);
        EXPECT_EQ(vexlor::DeInitSlot(0, slot), 3);
    }
    EXPECT_EQ(vexlor::InitSlot(0, 100), 2);
    EXPECT_EQ(fake::ThreadsCreated(), 0);

    fake::StopModule();
    EXPECT_EQ(fake::WsaCleanupCalls(), 0);
    EXPECT_EQ(fake::FreedLibraries(), (std::vector<std::string>{"ORVANE.DLL"}));
}

class MissingSocketFunctionTest : public CoreTest,
                                  public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingSocketFunctionTest, AnyMissingNameMakesTheLayerUnusable) {
    fake::OmitSocketFunction(GetParam());
    fake::StartModule();
    EXPECT_EQ(g_module.socketLayerFailed, 1);
    EXPECT_EQ(fake::WsaStartupCalls(), 0);
    EXPECT_EQ(vexlor::InitSlot(1, 3), 3);
    EXPECT_EQ(vexlor::DeInitSlot(1, 3), 3);
    EXPECT_EQ(vexlor::InitSlot(1, 100), 2);

    // The library stays loaded until shut-down; the layer was never started, so it is not
    // cleaned up either.
    EXPECT_TRUE(fake::FreedLibraries().empty());
    fake::StopModule();
    EXPECT_EQ(fake::WsaCleanupCalls(), 0);
    const auto freed = fake::FreedLibraries();
    EXPECT_NE(std::find(freed.begin(), freed.end(), "WSOCK32.DLL"), freed.end());
    EXPECT_EQ(g_module.socketLibrary, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EachOfThe23, MissingSocketFunctionTest,
                         ::testing::ValuesIn(vexlor::kSocketApiNames),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_F(StartupTest, SocketApiNamesAreTheTableInOrder) {
    const std::vector<std::string> expected = {"WSAStartup",     "WSACleanup",  "WSAGetLastError",
                                               "WSAAsyncSelect", "socket",      "shutdown",
                                               "closesocket",    "setsockopt",  "connect",
                                               "accept",         "bind",        "listen",
                                               "gethostbyname",  "gethostname", "inet_addr",
                                               "inet_ntoa",      "htons",       "send",
                                               "recv",           "sendto",      "recvfrom",
                                               "select",         "ioctlsocket"};
    ASSERT_EQ(vexlor::kSocketApiNameCount, 23);
    for (int i = 0; i < vexlor::kSocketApiNameCount; ++i) {
        EXPECT_EQ(vexlor::kSocketApiNames[i], expected[i]);
    }
}

TEST_F(StartupTest, FailedWsaStartupGivesThreeAndIsNotCleanedUp) {
    fake::SetWsaStartupResult(10092);
    fake::StartModule();
    EXPECT_EQ(g_module.socketLayerFailed, 1);
    EXPECT_EQ(vexlor::InitSlot(0, 0), 3);
    fake::StopModule();
    EXPECT_EQ(fake::WsaCleanupCalls(), 0);
    const auto freed = fake::FreedLibraries();
    EXPECT_NE(std::find(freed.begin(), freed.end(), "WSOCK32.DLL"), freed.end());
}

using TraceBindingTest = CoreTest;

TEST_F(TraceBindingTest, CompleteLibraryTracesAndIsStoppedAndUnloaded) {
    fake::StartModule();
    EXPECT_TRUE(vexlor::trace::IsOn());
    EXPECT_FALSE(fake::TraceLines().empty());
    fake::StopModule();
    EXPECT_EQ(fake::TraceStopCalls(), 1);
    EXPECT_FALSE(vexlor::trace::IsOn());
    const auto freed = fake::FreedLibraries();
    ASSERT_EQ(freed.size(), 2u);
    EXPECT_EQ(freed[0], "ORVANE.DLL");  // before the socket layer is ended
    EXPECT_EQ(freed[1], "WSOCK32.DLL");
}

TEST_F(TraceBindingTest, NoTraceLibraryMeansNoLinesAndEverythingElseWorks) {
    fake::SetTraceLibraryPresent(false);
    ConfigureSlot(2, "10.1.1.1", "80");
    fake::StartModule();
    EXPECT_FALSE(vexlor::trace::IsOn());
    EXPECT_EQ(vexlor::InitSlot(1, 2), 0);
    EXPECT_EQ(vexlor::DeInitSlot(1, 2), 0);
    fake::StopModule();
    EXPECT_TRUE(fake::TraceLines().empty());
    EXPECT_EQ(fake::TraceStartCalls(), 0);
}

class MissingTraceFunctionTest : public CoreTest,
                                 public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingTraceFunctionTest, IncompleteLibraryWritesNothingButIsUnloaded) {
    fake::OmitTraceFunction(GetParam());
    ConfigureSlot(2, "10.1.1.1", "80");
    fake::StartModule();
    EXPECT_FALSE(vexlor::trace::IsOn());
    EXPECT_EQ(vexlor::InitSlot(1, 2), 0);
    EXPECT_EQ(vexlor::DeInitSlot(1, 2), 0);
    fake::StopModule();
    EXPECT_TRUE(fake::TraceLines().empty());
    EXPECT_EQ(fake::TraceStartCalls(), 0);
    EXPECT_EQ(fake::TraceStopCalls(), 0);
    const auto freed = fake::FreedLibraries();
    EXPECT_NE(std::find(freed.begin(), freed.end(), "ORVANE.DLL"), freed.end());
}

INSTANTIATE_TEST_SUITE_P(EachOfTheSix, MissingTraceFunctionTest,
                         ::testing::Values("Orvane", "SetTraceIDColor", "SetTraceIDMedium",
                                           "SetTraceIDFile", "StartTraceOutput", "StopTraceOutput"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_F(TraceBindingTest, StartTraceOutputOtherThanOneKeepsTracingOff) {
    fake::SetStartTraceOutputResult(2);
    ConfigureSlot(2, "10.1.1.1", "80");
    fake::StartModule();
    EXPECT_EQ(fake::TraceStartCalls(), 1);
    EXPECT_FALSE(vexlor::trace::IsOn());
    EXPECT_EQ(vexlor::InitSlot(1, 2), 0);
    fake::StopModule();
    EXPECT_TRUE(fake::TraceLines().empty());
    EXPECT_EQ(fake::TraceStopCalls(), 0);
    const auto freed = fake::FreedLibraries();
    EXPECT_NE(std::find(freed.begin(), freed.end(), "ORVANE.DLL"), freed.end());
}

using ShutdownTest = CoreTest;

TEST_F(ShutdownTest, OpenSlotsAreStoppedBeforeTracingAndSocketsEnd) {
    ConfigureSlot(1, "10.0.0.1", "80");
    ConfigureSlot(2, "10.0.0.2", "80", vexlor::kIoControllerMarker);
    fake::StartModule();
    ASSERT_EQ(vexlor::InitSlot(1, 1), 0);
    ASSERT_EQ(vexlor::InitSlot(1, 2), 0);
    ASSERT_TRUE(fake::WaitFor([] { return Get(g_devices[1].threadAlive) == 1; }));
    ASSERT_TRUE(fake::WaitFor([] { return Get(g_devices[2].threadAlive) == 1; }));

    // Both threads sit in their waits (a second long); shut-down wakes them instead of waiting.
    fake::ResetSleepCount();
    fake::StopModule();
    EXPECT_LT(fake::HostSleepCount(), 200);  // waiting would take its whole budget (2000)
    // Every receive thread has ended and its handle is closed before the module is gone.
    EXPECT_EQ(fake::ThreadsRunning(), 0);
    EXPECT_TRUE(fake::ThreadClosed(0));
    EXPECT_TRUE(fake::ThreadClosed(1));
    EXPECT_EQ(Get(g_devices[1].threadHandle), nullptr);
    EXPECT_EQ(Get(g_devices[2].threadHandle), nullptr);
    EXPECT_EQ(Get(g_devices[1].runFlag), 0);
    // The threads' exit lines came before tracing stopped; nothing was written afterwards.
    const auto texts = fake::TraceTexts(1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "ExitThread (0)"), 2);
    EXPECT_EQ(fake::TraceStopCalls(), 1);
    EXPECT_EQ(static_cast<int>(fake::TraceLines().size()), fake::TraceLineCountAtStop());
    EXPECT_EQ(fake::WsaCleanupCalls(), 1);
    EXPECT_EQ(g_module.socketLibrary, nullptr);
    EXPECT_EQ(fake::MessageHookRemovals(), 1);
    // Sockets the host left open are not closed one by one.
    const auto calls = fake::SocketCallNames();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("closesocket")), 0);
}

TEST_F(ShutdownTest, AfterDeInitOfEverySlotThereIsNothingToWaitFor) {
    ConfigureSlot(1, "10.0.0.1", "80");
    fake::StartModule();
    ASSERT_EQ(vexlor::InitSlot(1, 1), 0);
    ASSERT_EQ(vexlor::DeInitSlot(1, 1), 0);
    ASSERT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
    fake::ResetSleepCount();
    fake::StopModule();
    EXPECT_EQ(fake::HostSleepCount(), 0);
}

TEST_F(ShutdownTest, ThreadStuckInAParserDoesNotHoldUpShutdownForever) {
    ConfigureSlot(3, "10.0.0.3", "80", vexlor::kIoControllerMarker);
    fake::StartModule();
    vexlor::RegisterResponseParser(vexlor::kKindIoController, &RecordingParser::Parse);
    RecordingParser::Instance().BlockNext();
    ASSERT_EQ(vexlor::InitSlot(1, 3), 0);
    fake::QueueReceive(Get(g_devices[3].socket), "reply");
    ASSERT_TRUE(RecordingParser::Instance().WaitBlocked());

    fake::StopModule();  // returns although the thread is still blocked
    EXPECT_EQ(fake::ThreadsRunning(), 1);
    EXPECT_EQ(g_module.socketLibrary, nullptr);

    RecordingParser::Instance().Release();
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
    // The released thread left the slot at once and wrote no line into the unbound trace.
    EXPECT_EQ(static_cast<int>(fake::TraceLines().size()), fake::TraceLineCountAtStop());
}

TEST_F(ShutdownTest, EndingProcessIsNotWaitedFor) {
    ConfigureSlot(3, "10.0.0.3", "80", vexlor::kIoControllerMarker);
    fake::StartModule();
    vexlor::RegisterResponseParser(vexlor::kKindIoController, &RecordingParser::Parse);
    RecordingParser::Instance().BlockNext();
    ASSERT_EQ(vexlor::InitSlot(1, 3), 0);
    fake::QueueReceive(Get(g_devices[3].socket), "reply");
    ASSERT_TRUE(RecordingParser::Instance().WaitBlocked());
    fake::SetProcessEnding(true);
    fake::ResetSleepCount();
    fake::StopModule();
    EXPECT_EQ(fake::HostSleepCount(), 0);
    EXPECT_TRUE(fake::ThreadClosed(0));
}

}  // namespace
}  // namespace coretest
