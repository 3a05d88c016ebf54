// Shared fixture of the core unit tests: a fresh fake platform and driver state per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "core/connection.h"
#include "core/device_table.h"
#include "core/module.h"
#include "core/receive_thread.h"
#include "fake_platform.h"
#include "trace/trace_sink.h"

namespace coretest {

using vexlor::Get;
using vexlor::Set;

class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Writes a slot's settings section; the password is stored scrambled, except the marker.
void ConfigureSlot(int slot, const std::string& ip, const std::string& port,
                   const std::string& password = "", const std::string& timing = "500");

// The trace lines of all channels without the lines that a receive thread writes at a moment of
// its own choosing (priority and exit lines).
std::vector<std::string> HostTraceTexts();

// A parser that takes one chunk of what is waiting and records which thread called it for which
// slot; while `blockNext` is set, the next call blocks (after its recv, as in an error box)
// until Release().
class RecordingParser {
  public:
    static RecordingParser& Instance();
    static void Parse(vexlor::ReceiveStep& step);

    void Reset();
    void BlockNext();
    bool WaitBlocked();
    void Release();
    int Calls();
    int CallsBy(std::thread::id thread);
    std::thread::id BlockedThread();
    std::vector<uint16_t> Slots();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool blockNext_ = false;
    bool blocked_ = false;
    bool released_ = false;
    std::thread::id blockedThread_;
    std::vector<std::pair<std::thread::id, uint16_t>> calls_;
};

}  // namespace coretest
