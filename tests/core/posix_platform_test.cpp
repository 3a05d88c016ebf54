// The POSIX platform layer: thread handles, libraries by their Windows names, the module path,
// the error box line.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "core/receive_thread.h"
#include "platform/platform.h"
#include "platform/posix/threads.h"

namespace {

namespace platform = vexlor::platform;

std::atomic<int> g_gate{0};

uint32_t WaitForGate(void* argument) {
    while (g_gate.load() == 0) platform::Sleep(1);
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 0;
}

TEST(PosixThreads, WaitIsBoundedAndCloseAfterWaitReleasesTheHandle) {
    g_gate = 0;
    std::atomic<int> ran{0};
    uint32_t id = 0;
    platform::ThreadHandle thread = platform::CreateThread(WaitForGate, &ran, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(platform::ThreadHandleValue(thread), 0);
    EXPECT_FALSE(platform::WaitThread(thread, 5));  // still running: the wait gives up
    g_gate = 1;
    EXPECT_TRUE(platform::WaitThread(thread, 10000));
    EXPECT_TRUE(platform::WaitThread(thread, 0));  // the handle stays valid after the wait
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(platform::CloseThreadHandle(thread), 1);
    EXPECT_EQ(platform::CloseThreadHandle(nullptr), 0);
}

TEST(PosixThreads, HandleClosedWhileRunningIsJoinedLater) {
    g_gate = 0;
    std::atomic<int> ran{0};
    platform::ThreadHandle thread = platform::CreateThread(WaitForGate, &ran, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(platform::CloseThreadHandle(thread), 1);
    EXPECT_EQ(platform::posix::JoinReleasedThreads(0), 1);  // still running
    g_gate = 1;
    EXPECT_EQ(platform::posix::JoinReleasedThreads(10000), 0);
    EXPECT_EQ(ran.load(), 1);
}

TEST(PosixThreads, ManyShortThreadsReuseTheirRecords) {
    g_gate = 1;
    std::atomic<int> ran{0};
    for (int i = 0; i < 600; ++i) {
        platform::ThreadHandle thread = platform::CreateThread(WaitForGate, &ran, nullptr);
        ASSERT_NE(thread, nullptr) << i;
        if (i % 2 == 0) {
            ASSERT_TRUE(platform::WaitThread(thread, 10000));
        }
        platform::CloseThreadHandle(thread);
    }
    EXPECT_EQ(platform::posix::JoinReleasedThreads(10000), 0);
    EXPECT_EQ(ran.load(), 600);
}

TEST(PosixModule, OwnPathIsAbsoluteWithSlashes) {
    char path[260];
    const uint32_t n = platform::ModuleFileName(platform::SelfModule(), path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(path));
    EXPECT_EQ(path[0], '/');
    EXPECT_EQ(platform::PathSeparator(), '/');
    char small[4];
    EXPECT_EQ(platform::ModuleFileName(platform::SelfModule(), small, sizeof small), 3u);
    EXPECT_EQ(std::strlen(small), 3u);
}

TEST(PosixModule, WindowsNamesMapToSharedObjectsBesideTheModule) {
    // The program lies in the build's bin directory, beside libwsock32.so.
    char self[4096];
    platform::ModuleFileName(platform::SelfModule(), self, sizeof self);
    std::string beside(self);
    beside = beside.substr(0, beside.rfind('/') + 1) + "libwsock32.so";
    if (access(beside.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << beside;
    platform::ModuleHandle library = platform::LoadLibrary("WSOCK32.DLL");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(platform::GetProcAddress(library, "WSAStartup"), nullptr);
    EXPECT_EQ(platform::GetProcAddress(library, "NoSuchName"), nullptr);
    char path[4096];
    ASSERT_GT(platform::ModuleFileName(library, path, sizeof path), 0u);
    EXPECT_EQ(std::string(path), beside);
    platform::FreeLibrary(library);
    EXPECT_EQ(platform::LoadLibrary("NOSUCHLIBRARY.DLL"), nullptr);
}

TEST(PosixTime, CounterDoesNotRunBackwards) {
    const uint32_t first = platform::TimeMs();
    platform::Sleep(2);
    EXPECT_GE(static_cast<uint32_t>(platform::TimeMs() - first), 2u);
}

// Runs ErrorBox with standard error redirected into a pipe and returns what it wrote.
std::string CaptureErrorBox(const char* caption, const char* text) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "";
    const int saved = dup(STDERR_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    platform::ErrorBox(caption, text);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(pipeFds[1]);
    std::string output;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
    close(pipeFds[0]);
    return output;
}

TEST(PosixErrorBox, OneLineWithControlBytesEscaped) {
    EXPECT_EQ(CaptureErrorBox("Web-IO", "in\tput;\r\n\x01\x7F\xE4\\"),
              "Web-IO: in\\tput;\\r\\n\\x01\\x7F\xE4\\\n");
    EXPECT_EQ(CaptureErrorBox("Caption", ""), "Caption: \n");
    // On a receive thread the line names the thread's slot.
    static std::string onThread;
    platform::ThreadHandle thread = platform::CreateThread(
        [](void*) -> uint32_t {
            onThread = CaptureErrorBox("Web-IO 12xDigital", "<html>");
            return 0;
        },
        vexlor::PackThreadArgument(42, 7), nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(platform::WaitThread(thread, 10000));
    platform::CloseThreadHandle(thread);
    EXPECT_EQ(onThread, "Web-IO 12xDigital: slot 42: <html>\n");
}

TEST(PosixUi, NoticesAndHooksDoNothing) {
    EXPECT_EQ(platform::WaitNoticeCreate(platform::WaitNoticeTemplate::kConnectGerman), nullptr);
    platform::WaitNoticeDestroy(nullptr);
    platform::InstallMessageHook();
    platform::RemoveMessageHook();
    EXPECT_FALSE(platform::ProcessEnding());
}

}  // namespace
