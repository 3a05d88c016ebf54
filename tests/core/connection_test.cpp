// Init and DeInit: the sequence of calls and trace lines, failures, the slot's socket and thread
// ownership, the wait windows.
#include "core_test_support.h"

namespace coretest {
namespace {

using vexlor::g_devices;
using vexlor::g_module;
using vexlor::platform::WaitNoticeTemplate;
using vexlor::ws::kInvalidSocket;

constexpr char kSettingsPassword[] = "geheim";

class ConnectionTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        ConfigureSlot(4, "10.0.0.200", "8080", kSettingsPassword);
        fake::StartModule();
        fake::ClearTrace();
        fake::ClearSocketCalls();
    }
};

// --- Init ----------------------------------------------------------------------------------

TEST_F(ConnectionTest, SuccessfulInitTracesEveryCallInOrder) {
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);

    EXPECT_EQ(HostTraceTexts(), (std::vector<std::string>{
                                    "Ret=256; CreateThread (NULL, 0, ThreadDev, 4, &...)",
                                    "Ret=-939524086; inet_addr (10.0.0.200)",
                                    "Ret=256; socket (AF_INET, SOCK_STREAM, 0)",
                                    "Ret=0; bind (256, &..., sizeof(...))",
                                    "Ret=36895; htons (8080)",
                                    "Ret=0; connect (256, &..., sizeof(...))",
                                }));
    for (const auto& line : fake::TraceLines()) {
        const bool threadLine = line.text.find("Thread") != std::string::npos;
        EXPECT_EQ(line.channel, threadLine ? 1 : 2) << line.text;
    }
    // The new thread's priority line comes at a moment of its own, on channel 1.
    EXPECT_TRUE(fake::WaitFor([] {
        const auto texts = fake::TraceTexts(1);
        return std::find(texts.begin(), texts.end(),
                         "SetThreadPriority (GetCurrentThread (), 0)") != texts.end();
    }));

    EXPECT_EQ(fake::SocketCallNames(),
              (std::vector<std::string>{"inet_addr", "socket", "bind", "htons", "connect"}));
    const auto calls = fake::SocketCalls();
    EXPECT_EQ(calls[2].family, 2);  // bind: any local address, any port
    EXPECT_EQ(calls[2].address, 0u);
    EXPECT_EQ(calls[2].port, 0);
    EXPECT_EQ(calls[2].length, 16);
    EXPECT_EQ(calls[4].family, 2);  // connect: the device's address and port
    EXPECT_EQ(calls[4].address, 0xC800000Au);
    EXPECT_EQ(calls[4].port, 0x901F);
    EXPECT_EQ(calls[4].length, 16);

    const auto& slot = g_devices[4];
    EXPECT_EQ(Get(slot.inUse), 1);
    EXPECT_EQ(Get(slot.socket), 256u);
    EXPECT_TRUE(fake::IsConnected(256));
    EXPECT_EQ(Get(slot.kind), 0);
    EXPECT_EQ(Get(slot.runFlag), 1);
    EXPECT_NE(Get(slot.threadHandle), nullptr);
    EXPECT_NE(Get(slot.threadId), 0u);
    EXPECT_TRUE(fake::WaitFor([&] { return Get(slot.threadAlive) == 1; }));
    EXPECT_STREQ(vexlor::g_settings.password[4], kSettingsPassword);  // unscrambled
    EXPECT_EQ(g_module.uiLanguage.load(), 1);
}

TEST_F(ConnectionTest, InitResetsTheConnectionFieldsOnly) {
    auto& slot = g_devices[4];
    Set(slot.kind, 2);
    Set(slot.inputWord12, 0x0FFF);
    Set(slot.outputWord12, 0x0ABC);
    Set(slot.inputWord24, 0x123456);
    Set(slot.outputWord24, 0x654321);
    for (int i = 0; i < 24; ++i) {
        Set(slot.inputBits[i], 1);
        Set(slot.outputBits[i], 1);
        Set(slot.counters[i], 77);
        Set(slot.outputShadow[i], 1);
        Set(slot.counterClearShadow[i], 9);
    }
    Set(slot.lastErrorClear, 3);
    Set(slot.temperatures[0], 21.5);
    Set(slot.controllerInputs, 0x55);
    Set(slot.lastInputPoll, 1234.0);

    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    EXPECT_EQ(Get(slot.kind), 0);
    EXPECT_EQ(Get(slot.inputWord12), 0);
    EXPECT_EQ(Get(slot.outputWord12), 0);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(Get(slot.inputBits[i]), i < 12 ? 0 : 1) << i;
        EXPECT_EQ(Get(slot.outputBits[i]), i < 12 ? 0 : 1) << i;
        EXPECT_EQ(Get(slot.counters[i]), 0) << i;
        EXPECT_EQ(Get(slot.outputShadow[i]), 5) << i;
        EXPECT_EQ(Get(slot.counterClearShadow[i]), 0) << i;
    }
    // What Init does not reset keeps the earlier connection's values.
    EXPECT_EQ(Get(slot.inputWord24), 0x123456u);
    EXPECT_EQ(Get(slot.outputWord24), 0x654321u);
    EXPECT_EQ(Get(slot.lastErrorClear), 3);
    EXPECT_EQ(Get(slot.temperatures[0]), 21.5);
    EXPECT_EQ(Get(slot.controllerInputs), 0x55);
    EXPECT_EQ(Get(slot.lastInputPoll), 1234.0);
}

TEST_F(ConnectionTest, SecondInitIsRefusedAndChangesNothing) {
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    const auto socket = Get(g_devices[4].socket);
    const auto thread = Get(g_devices[4].threadHandle);
    Set(g_devices[4].kind, 1);
    Set(g_devices[4].outputShadow[0], 1);
    fake::ClearSocketCalls();
    fake::ClearTrace();

    EXPECT_EQ(vexlor::InitSlot(0, 4), 6);
    EXPECT_TRUE(fake::SocketCalls().empty());
    EXPECT_TRUE(HostTraceTexts().empty());
    EXPECT_EQ(Get(g_devices[4].socket), socket);
    EXPECT_EQ(Get(g_devices[4].threadHandle), thread);
    EXPECT_EQ(Get(g_devices[4].kind), 1);
    EXPECT_EQ(Get(g_devices[4].outputShadow[0]), 1);
    EXPECT_EQ(Get(g_devices[4].inUse), 1);
    EXPECT_EQ(fake::ThreadsCreated(), 1);
    EXPECT_EQ(g_module.uiLanguage.load(), 1);  // the refused call's language is not stored
}

struct FailureCase {
    const char* name;
    const char* function;
    int error;
    std::vector<std::string> lines;  // channel 2 lines after the thread-creation line
};

class InitFailureTest : public ConnectionTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InitFailureTest, FailedInitFreesTheSlotAndClosesItsSocket) {
    const FailureCase& c = GetParam();
    fake::ScriptResult(c.function, -1, c.error);
    EXPECT_EQ(vexlor::InitSlot(1, 4), c.error);

    std::vector<std::string> expected = {"Ret=256; CreateThread (NULL, 0, ThreadDev, 4, &...)"};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(HostTraceTexts(), expected);

    const auto& slot = g_devices[4];
    EXPECT_EQ(Get(slot.inUse), 0);
    EXPECT_EQ(Get(slot.kind), 0);
    EXPECT_EQ(Get(slot.runFlag), 0);
    EXPECT_EQ(Get(slot.socket), kInvalidSocket);
    for (auto socket : fake::CreatedSockets()) EXPECT_FALSE(fake::IsOpen(socket));
    // The thread ends by itself; its handle is released once it has.
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
    EXPECT_TRUE(fake::ThreadClosed(0));
    EXPECT_EQ(Get(slot.threadHandle), nullptr);

    // A second Init may be tried at once.
    fake::ClearTrace();
    EXPECT_EQ(vexlor::InitSlot(1, 4), 0);
    EXPECT_EQ(Get(slot.inUse), 1);
    EXPECT_NE(Get(slot.socket), kInvalidSocket);
    EXPECT_TRUE(fake::IsConnected(Get(slot.socket)));
}

INSTANTIATE_TEST_SUITE_P(
    AtEachSocketCall, InitFailureTest,
    ::testing::Values(
        FailureCase{
            "socket",
            "socket",
            10024,
            {"Ret=-939524086; inet_addr (10.0.0.200)", "Ret=-1; socket (AF_INET, SOCK_STREAM, 0)"}},
        FailureCase{
            "bind",
            "bind",
            10048,
            {"Ret=-939524086; inet_addr (10.0.0.200)", "Ret=256; socket (AF_INET, SOCK_STREAM, 0)",
             "Ret=-1; bind (256, &..., sizeof(...))", "Ret=10048; WSAGetLastError ()"}},
        FailureCase{
            "connect",
            "connect",
            10061,
            {"Ret=-939524086; inet_addr (10.0.0.200)", "Ret=256; socket (AF_INET, SOCK_STREAM, 0)",
             "Ret=0; bind (256, &..., sizeof(...))", "Ret=36895; htons (8080)",
             "Ret=-1; connect (256, &..., sizeof(...))", "Ret=10061; WSAGetLastError ()"}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ConnectionTest, ConnectFailureStillStoresTheLanguageAndShowsTheWindow) {
    fake::ScriptResult("connect", -1, 10060);
    EXPECT_EQ(vexlor::InitSlot(0, 4), 10060);
    EXPECT_EQ(g_module.uiLanguage.load(), 0);
    const auto notices = fake::WaitNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].which, WaitNoticeTemplate::kConnectGerman);
    EXPECT_TRUE(notices[0].destroyed);
}

TEST_F(ConnectionTest, FailureBeforeConnectLeavesTheLanguageAndShowsNoWindow) {
    g_module.uiLanguage.store(1);
    fake::ScriptResult("socket", -1, 10024);
    EXPECT_EQ(vexlor::InitSlot(0, 4), 10024);
    EXPECT_EQ(g_module.uiLanguage.load(), 1);
    EXPECT_TRUE(fake::WaitNotices().empty());
}

TEST_F(ConnectionTest, InitWhoseThreadCannotStartFailsAndLeavesTheSlotClosed) {
    // The platform's error number; none, or one that reads as a driver result, gives 10107.
    const struct {
        uint32_t platformError;
        int result;
    } cases[] = {{8, 8}, {1450, 1450}, {0, 10107}, {6, 10107}, {2, 10107}};
    fake::SetThreadMode(fake::ThreadMode::kFail);
    for (const auto& c : cases) {
        fake::SetThreadStartError(c.platformError);
        fake::ClearTrace();
        EXPECT_EQ(vexlor::InitSlot(1, 4), c.result);
        EXPECT_EQ(Get(g_devices[4].inUse), 0);
        EXPECT_EQ(Get(g_devices[4].runFlag), 0);
        EXPECT_EQ(Get(g_devices[4].kind), 0);
        EXPECT_EQ(g_devices[4].threadHandle.load(), nullptr);
        EXPECT_EQ(Get(g_devices[4].socket), kInvalidSocket);
        // The creation is traced with the null handle; no socket is made, nothing connects.
        EXPECT_EQ(fake::TraceTexts(1),
                  std::vector<std::string>{"Ret=0; CreateThread (NULL, 0, ThreadDev, 4, &...)"});
    }
    EXPECT_TRUE(fake::CreatedSockets().empty());
    EXPECT_TRUE(fake::WaitNotices().empty());
    EXPECT_EQ(fake::ThreadsCreated(), 0);
    EXPECT_EQ(vexlor::RunningReceiveThreads(4), 0);

    // Once threads start again, so does the slot.
    fake::SetThreadMode(fake::ThreadMode::kRun);
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    EXPECT_TRUE(fake::WaitFor([] { return Get(g_devices[4].threadAlive) == 1; }));
    EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0);
}

TEST_F(ConnectionTest, SlotWithoutSettingsFailsToConnect) {
    // Nothing in the file for slot 9: IP and Port stay empty, the address is unusable.
    EXPECT_EQ(vexlor::InitSlot(1, 9), 10049);
    EXPECT_STREQ(vexlor::g_settings.ip[9], "");
    EXPECT_EQ(Get(g_devices[9].inUse), 0);
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
}

TEST_F(ConnectionTest, NonNumericPortConvertsToZero) {
    ConfigureSlot(6, "10.0.0.6", "http");
    EXPECT_EQ(vexlor::InitSlot(1, 6), 10049);
    const auto texts = fake::TraceTexts(2);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Ret=0; htons (0)"), texts.end());
}

TEST_F(ConnectionTest, PortBeyondThirtyTwoBitsReadsAsOnWindows) {
    // Windows reads the Port text with a 32-bit long: the nearest limit, never a wrapped value
    // (2^32 + 80 is not port 80).
    ConfigureSlot(6, "10.0.0.6", "4294967376");
    EXPECT_EQ(vexlor::InitSlot(1, 6), 0);
    const auto calls = fake::SocketCalls();
    ASSERT_EQ(calls.back().function, "connect");
    EXPECT_EQ(calls.back().port, 0xFFFF);
    ConfigureSlot(7, "10.0.0.7", "-4294967296");
    EXPECT_EQ(vexlor::InitSlot(1, 7), 10049);  // port 0
    const auto texts = fake::TraceTexts(2);
    for (const char* line : {"Ret=65535; htons (2147483647)", "Ret=0; htons (-2147483648)"})
        EXPECT_NE(std::find(texts.begin(), texts.end(), line), texts.end()) << line;
}

TEST_F(ConnectionTest, SocketErrorIsReadBeforeTheTraceLinesOfTheFailedCall) {
    // A trace library whose own calls fail changes the thread's last error with every line.
    fake::SetTraceLineLastError(2);
    fake::ScriptResult("socket", -1, 10024);
    EXPECT_EQ(vexlor::InitSlot(1, 4), 10024);
    fake::ScriptResult("bind", -1, 10048);
    EXPECT_EQ(vexlor::InitSlot(1, 4), 10048);
    fake::ScriptResult("connect", -1, 10061);
    EXPECT_EQ(vexlor::InitSlot(1, 4), 10061);
    // The lines keep their order: the failed call's line, then the WSAGetLastError line.
    const auto texts = fake::TraceTexts(2);
    const auto follows = [&](const std::string& first, const std::string& second) {
        const auto at = std::find(texts.begin(), texts.end(), first);
        return at != texts.end() && at + 1 != texts.end() && at[1] == second;
    };
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Ret=-1; socket (AF_INET, SOCK_STREAM, 0)"),
              texts.end());
    EXPECT_TRUE(follows("Ret=-1; bind (256, &..., sizeof(...))", "Ret=10048; WSAGetLastError ()"));
    EXPECT_TRUE(
        follows("Ret=-1; connect (260, &..., sizeof(...))", "Ret=10061; WSAGetLastError ()"));
}

TEST_F(ConnectionTest, IoControllerMarkerGivesKindSixAndServiceFromTheStart) {
    vexlor::RegisterResponseParser(vexlor::kKindIoController, &RecordingParser::Parse);
    ConfigureSlot(8, "10.0.0.8", "23", vexlor::kIoControllerMarker);
    ASSERT_EQ(vexlor::InitSlot(1, 8), 0);
    EXPECT_EQ(Get(g_devices[8].kind), vexlor::kKindIoController);
    EXPECT_STREQ(vexlor::g_settings.password[8], "I/O Controller");
    // No I/O function has been called, yet the thread runs the I/O Controller parser on what
    // the device sends.
    fake::QueueReceive(Get(g_devices[8].socket), "state");
    ASSERT_TRUE(fake::WaitFor([] { return RecordingParser::Instance().Calls() > 0; }));
    EXPECT_EQ(RecordingParser::Instance().Slots()[0], 8);
}

TEST_F(ConnectionTest, MarkerIsCaseSensitive) {
    // A stored "i/o controller" is an ordinary (scrambled) password: it is unscrambled.
    ConfigureSlot(8, "10.0.0.8", "23");
    fake::SetProfileString("DEV8", "Password", "i/o controller");
    char expected[vexlor::kPasswordFieldSize] = "i/o controller";
    vexlor::UnscramblePassword(expected);
    ASSERT_EQ(vexlor::InitSlot(1, 8), 0);
    EXPECT_EQ(Get(g_devices[8].kind), 0);
    EXPECT_STREQ(vexlor::g_settings.password[8], expected);
    EXPECT_STRNE(vexlor::g_settings.password[8], "i/o controller");
}

TEST_F(ConnectionTest, WebIoSlotStaysKindZeroAndItsThreadReadsNothing) {
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    fake::QueueReceive(256, "input;0FFF");
    ASSERT_TRUE(fake::WaitFor([] { return fake::PriorityCalls() > 0; }));
    EXPECT_EQ(Get(g_devices[4].kind), 0);
    EXPECT_EQ(fake::RecvCalls(256), 0);
}

// --- DeInit --------------------------------------------------------------------------------

TEST_F(ConnectionTest, DeInitStopsTheThreadAndClosesTheSocket) {
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    ASSERT_TRUE(fake::WaitFor([] { return Get(g_devices[4].threadAlive) == 1; }));
    Set(g_devices[4].kind, 1);
    fake::ClearTrace();
    fake::ClearSocketCalls();

    // The thread sits in its wait (a second long): DeInit wakes it rather than waiting out its
    // 50 passes.
    fake::ResetSleepCount();
    EXPECT_EQ(vexlor::DeInitSlot(0, 4), 0);
    EXPECT_LT(fake::HostSleepCount(), 40);
    // DeInit lets the thread finish for a moment only; a loaded machine may take longer.
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadEnded(0); }));
    EXPECT_EQ(HostTraceTexts(), (std::vector<std::string>{
                                    "Ret=1; CloseHandle (256)",
                                    "Ret=0; shutdown (256, 2)",
                                    "Ret=0; setsockopt (256, SOL_SOCKET, SO_LINGER, &..., "
                                    "sizeof(...))",
                                    "Ret=0; closesocket (256)",
                                }));
    const auto lines = fake::TraceLines();
    for (const auto& line : lines) {
        EXPECT_EQ(line.channel, line.text.find("Handle") != std::string::npos ||
                                        line.text.find("Thread") != std::string::npos
                                    ? 1
                                    : 2)
            << line.text;
    }
    const auto calls = fake::SocketCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].function, "shutdown");
    EXPECT_EQ(calls[0].how, 2);
    EXPECT_EQ(calls[1].function, "setsockopt");
    EXPECT_EQ(calls[1].level, 0xFFFF);
    EXPECT_EQ(calls[1].option, 0x0080);
    EXPECT_EQ(calls[1].length, 4);
    EXPECT_EQ(calls[1].data, std::string("\x01\x00\x00\x00", 4));  // linger on, time 0
    EXPECT_EQ(calls[2].function, "closesocket");

    const auto& slot = g_devices[4];
    EXPECT_EQ(Get(slot.inUse), 0);
    EXPECT_EQ(Get(slot.kind), 0);
    EXPECT_EQ(Get(slot.threadHandle), nullptr);
    EXPECT_EQ(Get(slot.threadId), 0u);
    EXPECT_EQ(Get(slot.threadAlive), 0);
    EXPECT_EQ(Get(slot.socket), kInvalidSocket);
    EXPECT_FALSE(fake::IsOpen(256));
    EXPECT_TRUE(fake::ThreadClosed(0));
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
    const auto texts = fake::TraceTexts(1);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "ExitThread (0)"), texts.end());
}

TEST_F(ConnectionTest, DeInitReturnsZeroWhateverTheSocketCallsReturn) {
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    fake::ScriptResult("shutdown", -1, 10057);
    fake::ScriptResult("setsockopt", -1, 10042);
    fake::ScriptResult("closesocket", -1, 10038);
    fake::ClearTrace();
    EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0);
    const auto texts = fake::TraceTexts(2);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Ret=-1; shutdown (256, 2)",
                         "Ret=-1; setsockopt (256, SOL_SOCKET, SO_LINGER, &..., sizeof(...))",
                         "Ret=-1; closesocket (256)"}));
    EXPECT_EQ(Get(g_devices[4].inUse), 0);
    EXPECT_EQ(Get(g_devices[4].socket), kInvalidSocket);
}

TEST_F(ConnectionTest, DeInitOfANeverInitialisedSlotClosesNoSocket) {
    EXPECT_EQ(vexlor::DeInitSlot(0, 7), 0);
    EXPECT_TRUE(fake::SocketCalls().empty());
    EXPECT_EQ(HostTraceTexts(), (std::vector<std::string>{"Ret=0; CloseHandle (0)"}));
    EXPECT_EQ(Get(g_devices[7].inUse), 0);
}

TEST_F(ConnectionTest, ClosedSocketNumberIsNeverReachedAgain) {
    ConfigureSlot(5, "10.0.0.5", "80");
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    ASSERT_EQ(vexlor::DeInitSlot(1, 4), 0);
    // The system hands the closed number to the next connection, here slot 5's.
    fake::SetNextSocket(256);
    ASSERT_EQ(vexlor::InitSlot(1, 5), 0);
    ASSERT_EQ(Get(g_devices[5].socket), 256u);
    fake::ClearSocketCalls();

    // A second DeInit of slot 4 (not refused) must leave slot 5's connection alone.
    EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0);
    EXPECT_TRUE(fake::SocketCalls().empty());
    EXPECT_TRUE(fake::IsConnected(256));
    // So must a send of an I/O function on slot 4: it reaches INVALID_SOCKET, which the socket
    // layer refuses.
    EXPECT_EQ(Get(g_devices[4].socket), kInvalidSocket);
    EXPECT_EQ(g_module.sockets.send(Get(g_devices[4].socket), "x", 1, 0), -1);
    EXPECT_EQ(g_module.sockets.WSAGetLastError(), 10038);
    EXPECT_TRUE(fake::Sends(256).empty());
}

TEST_F(ConnectionTest, DeInitGivesUpAfterFiftyPassesInEveryCall) {
    // A thread that never clears threadAlive: created, but held back before it runs.
    fake::SetThreadMode(fake::ThreadMode::kHold);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(vexlor::InitSlot(1, 4), 0) << round;
        Set(g_devices[4].threadAlive, 1);
        fake::ResetSleepCount();
        EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0) << round;
        EXPECT_EQ(fake::HostSleepCount(), 50) << round;
        EXPECT_EQ(fake::HostSleepMs(), 50u) << round;
        EXPECT_EQ(Get(g_devices[4].threadAlive), 0) << round;
        EXPECT_EQ(Get(g_devices[4].inUse), 0) << round;
        EXPECT_EQ(Get(g_devices[4].socket), kInvalidSocket) << round;
    }
    fake::ReleaseHeldThreads();
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
}

TEST_F(ConnectionTest, RetiredThreadNeverServesTheSlotBesideTheNewOne) {
    RecordingParser& parser = RecordingParser::Instance();
    vexlor::RegisterResponseParser(vexlor::kKindIoController, &RecordingParser::Parse);
    ConfigureSlot(8, "10.0.0.8", "23", vexlor::kIoControllerMarker);

    // The first thread blocks inside a receive step (as in an error box): DeInit gives up.
    parser.BlockNext();
    ASSERT_EQ(vexlor::InitSlot(1, 8), 0);
    fake::QueueReceive(Get(g_devices[8].socket), "reply");
    ASSERT_TRUE(parser.WaitBlocked());
    const std::thread::id oldThread = parser.BlockedThread();
    fake::ResetSleepCount();
    ASSERT_EQ(vexlor::DeInitSlot(1, 8), 0);
    EXPECT_EQ(fake::HostSleepCount(), 50);

    // A new Init starts a new thread while the old one is still blocked.
    ASSERT_EQ(vexlor::InitSlot(1, 8), 0);
    const auto socket = Get(g_devices[8].socket);
    for (int i = 0; i < 4; ++i) fake::QueueReceive(socket, "reply" + std::to_string(i));
    ASSERT_TRUE(fake::WaitFor([&] { return parser.Calls() > 3; }));
    EXPECT_EQ(Get(g_devices[8].threadAlive), 1);

    // The old thread returns from its step: it must leave the slot without another step and
    // without clearing the new thread's threadAlive.
    parser.Release();
    ASSERT_TRUE(fake::WaitFor([] { return fake::ThreadEnded(0); }));
    const int callsBefore = parser.Calls();
    for (int i = 0; i < 4; ++i) fake::QueueReceive(socket, "more" + std::to_string(i));
    ASSERT_TRUE(fake::WaitFor([&] { return parser.Calls() > callsBefore + 3; }));
    EXPECT_EQ(parser.CallsBy(oldThread), 1);
    EXPECT_EQ(Get(g_devices[8].threadAlive), 1);
    EXPECT_EQ(Get(g_devices[8].runFlag), 1);
    EXPECT_EQ(fake::ThreadsRunning(), 1);

    EXPECT_EQ(vexlor::DeInitSlot(1, 8), 0);
    EXPECT_TRUE(fake::WaitFor([] { return fake::ThreadsRunning() == 0; }));
}

// A receive thread that found itself serving and is still storing what it decoded when DeInit
// and a new Init come: the new Init resets the slot only after that store, and the store cannot
// land in the new connection.
std::atomic<int> g_storeGate{0};  // 1: the parser waits before its store; 2: it may go on
void SlowStoringParser(vexlor::ReceiveStep& step) {
    char buffer[64];
    step.Receive(buffer, sizeof buffer);
    if (!step.Serving()) return;
    if (g_storeGate.load() == 1) {
        g_storeGate.store(3);
        while (g_storeGate.load() != 2) std::this_thread::yield();
    }
    vexlor::Set(g_devices[step.Slot()].inputWord12, 0x777);
}

TEST_F(ConnectionTest, RetiredThreadNeverStoresIntoTheNextConnection) {
    vexlor::RegisterResponseParser(vexlor::kKindDigital12, &SlowStoringParser);
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    vexlor::StampKind(4, vexlor::kKindDigital12);
    g_storeGate.store(1);
    fake::QueueReceive(Get(g_devices[4].socket), "input;1");
    ASSERT_TRUE(fake::WaitFor([] { return g_storeGate.load() == 3; }));
    std::thread reopen([] {
        vexlor::DeInitSlot(1, 4);
        vexlor::InitSlot(1, 4);
    });
    // Longer than DeInit waits for the thread's pass: DeInit has returned and the new Init is
    // held until the store is done.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    g_storeGate.store(2);
    reopen.join();
    EXPECT_EQ(Get(g_devices[4].inUse), 1);
    EXPECT_EQ(Get(g_devices[4].inputWord12), 0);
    EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0);
}

TEST_F(ConnectionTest, TwoDeInitsAtOnceCloseEachHandleAndSocketOnce) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
        const auto socket = Get(g_devices[4].socket);
        const int32_t handle = fake::ThreadHandleValueOf(round);
        fake::ClearTrace();
        std::atomic<int> ready{0};
        auto deinit = [&] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0);
        };
        std::thread first(deinit), second(deinit);
        first.join();
        second.join();
        int closedHandle = 0, closedSocket = 0;
        for (const std::string& line : HostTraceTexts()) {
            if (line.find("CloseHandle (" + std::to_string(handle) + ")") != std::string::npos) {
                ++closedHandle;
                EXPECT_EQ(line.rfind("Ret=1;", 0), 0u) << line;
            }
            if (line.find("closesocket (" + std::to_string(socket) + ")") != std::string::npos) {
                ++closedSocket;
            }
        }
        EXPECT_EQ(closedHandle, 1) << round;
        EXPECT_EQ(closedSocket, 1) << round;
        EXPECT_FALSE(fake::IsOpen(socket));
    }
}

TEST_F(ConnectionTest, LateStartingThreadOfAFailedInitLeavesTheNextConnectionAlone) {
    // The failed Init's thread has not run yet when the next Init starts its own.
    fake::SetThreadMode(fake::ThreadMode::kHold);
    fake::ScriptResult("connect", -1, 10061);
    ASSERT_EQ(vexlor::InitSlot(1, 4), 10061);
    fake::SetThreadMode(fake::ThreadMode::kRun);
    ASSERT_EQ(vexlor::InitSlot(1, 4), 0);
    ASSERT_TRUE(fake::WaitFor([] { return Get(g_devices[4].threadAlive) == 1; }));
    fake::ReleaseHeldThreads();
    ASSERT_TRUE(fake::WaitFor([] { return fake::ThreadEnded(0); }));
    EXPECT_EQ(Get(g_devices[4].threadAlive), 1);
    EXPECT_EQ(Get(g_devices[4].runFlag), 1);
    EXPECT_FALSE(fake::ThreadEnded(1));
}

// --- Wait windows --------------------------------------------------------------------------

TEST_F(ConnectionTest, WaitWindowLanguageFollowsInitAndTheLastInit) {
    struct Step {
        bool init;
        uint16_t language;
        WaitNoticeTemplate expected;
    };
    const Step steps[] = {
        {true, 0, WaitNoticeTemplate::kConnectGerman},
        {false, 1, WaitNoticeTemplate::kDisconnectGerman},  // DeInit ignores its own argument
        {true, 1, WaitNoticeTemplate::kConnectEnglish},
        {false, 0, WaitNoticeTemplate::kDisconnectEnglish},
        {true, 7, WaitNoticeTemplate::kConnectEnglish},
        {false, 0, WaitNoticeTemplate::kDisconnectEnglish},
    };
    size_t index = 0;
    for (const Step& step : steps) {
        const int result =
            step.init ? vexlor::InitSlot(step.language, 4) : vexlor::DeInitSlot(step.language, 4);
        ASSERT_EQ(result, 0) << index;
        const auto notices = fake::WaitNotices();
        ASSERT_EQ(notices.size(), index + 1);
        EXPECT_EQ(notices[index].which, step.expected) << index;
        EXPECT_TRUE(notices[index].destroyed) << index;
        ++index;
    }
}

TEST_F(ConnectionTest, WaitWindowThatIsNotShownIsNotDestroyed) {
    fake::SetWaitNoticeShown(false);
    EXPECT_EQ(vexlor::InitSlot(1, 4), 0);
    EXPECT_EQ(vexlor::DeInitSlot(1, 4), 0);
    for (const auto& notice : fake::WaitNotices()) EXPECT_FALSE(notice.destroyed);
}

}  // namespace
}  // namespace coretest
