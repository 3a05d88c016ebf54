#include "core_test_support.h"

#include <cstring>

namespace coretest {

void CoreTest::SetUp() {
    fake::Reset();
    RecordingParser::Instance().Reset();
}

void CoreTest::TearDown() {
    // A parser blocked by the test must return before the fake can join the driver's threads.
    RecordingParser::Instance().Release();
    fake::Reset();
}

void ConfigureSlot(int slot, const std::string& ip, const std::string& port,
                   const std::string& password, const std::string& timing) {
    const std::string section = "DEV" + std::to_string(slot);
    fake::SetProfileString(section, "IP", ip);
    fake::SetProfileString(section, "Port", port);
    fake::SetProfileString(section, "Timing", timing);
    char stored[vexlor::kPasswordFieldSize] = {};
    std::strncpy(stored, password.c_str(), sizeof stored - 1);
    if (password != vexlor::kIoControllerMarker) vexlor::ScramblePassword(stored);
    fake::SetProfileString(section, "Password", stored);
}

std::vector<std::string> HostTraceTexts() {
    std::vector<std::string> texts;
    for (const auto& text : fake::TraceTexts()) {
        if (text == "SetThreadPriority (GetCurrentThread (), 0)" || text == "ExitThread (0)") {
            continue;
        }
        texts.push_back(text);
    }
    return texts;
}

RecordingParser& RecordingParser::Instance() {
    static RecordingParser parser;
    return parser;
}

void RecordingParser::Parse(vexlor::ReceiveStep& step) {
    // Takes what is waiting first, as every parser does; a block then is like an error box.
    char buffer[64];
    step.Receive(buffer, sizeof buffer);
    RecordingParser& self = Instance();
    std::unique_lock<std::mutex> lock(self.mu_);
    self.calls_.emplace_back(std::this_thread::get_id(), step.Slot());
    if (self.blockNext_) {
        // An error box leaves the slot's hand-off count while it is open.
        step.Leave();
        self.blockNext_ = false;
        self.blocked_ = true;
        self.blockedThread_ = std::this_thread::get_id();
        self.cv_.notify_all();
        self.cv_.wait(lock, [&] { return self.released_; });
    }
}

void RecordingParser::Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    blockNext_ = false;
    blocked_ = false;
    released_ = false;
    calls_.clear();
}

void RecordingParser::BlockNext() {
    std::lock_guard<std::mutex> lock(mu_);
    blockNext_ = true;
    released_ = false;
}

bool RecordingParser::WaitBlocked() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return blocked_; });
}

void RecordingParser::Release() {
    std::lock_guard<std::mutex> lock(mu_);
    released_ = true;
    cv_.notify_all();
}

int RecordingParser::Calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(calls_.size());
}

int RecordingParser::CallsBy(std::thread::id thread) {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto& call : calls_) n += call.first == thread ? 1 : 0;
    return n;
}

std::thread::id RecordingParser::BlockedThread() {
    std::lock_guard<std::mutex> lock(mu_);
    return blockedThread_;
}

std::vector<uint16_t> RecordingParser::Slots() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<uint16_t> slots;
    for (const auto& call : calls_) slots.push_back(call.second);
    return slots;
}

}  // namespace coretest
