// The driver as a host uses it, for the reliability tests: the built libvexlor.so copied into a
// private directory beside the socket layer, a Vexlor.ini written there, loaded with dlopen and
// called through its exported functions. Also: counting the process's open descriptors and
// threads, and running a test body in a child process whose standard error is captured (the
// driver reports unrecognised replies there on Linux).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/child_run.h"
#include "support/temp_dir.h"

namespace reliability {

struct SlotSetting {
    SlotSetting(int slotNumber, uint16_t tcpPort, std::string timingText = "0",
                std::string plainPassword = "")
        : slot(slotNumber),
          port(tcpPort),
          timing(std::move(timingText)),
          password(std::move(plainPassword)) {}
    int slot;
    uint16_t port;
    std::string timing;
    std::string password;      // plain text; "I/O Controller" marks an I/O Controller slot
    std::string replyTimeout;  // "Reply Timeout"; empty: key not written (the default)
    std::string reconnect;     // "Reconnect"; empty: key not written (off)
};

class Host {
  public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Writes Vexlor.ini with these slots (replacing any earlier file).
    bool Configure(const std::vector<SlotSetting>& slots);
    bool Load();
    // dlclose; returns its result (0 on success).
    int Unload();
    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    std::string libraryPath() const { return dir_.file("libvexlor.so"); }

    int Init(uint16_t slot, uint16_t language = 1) const;
    int DeInit(uint16_t slot, uint16_t language = 1) const;

    int ReadDI12(uint16_t slot, uint16_t* word, std::array<uint16_t, 12>& bits) const;
    int ReadDO12(uint16_t slot, uint16_t* word, std::array<uint16_t, 12>& bits) const;
    int WriteDO12(uint16_t slot, const std::array<uint16_t, 12>& out) const;
    int ReadCI12(uint16_t slot, std::array<int32_t, 12>& counters) const;
    int ResetCI12(uint16_t slot, const std::array<uint16_t, 12>& clear) const;
    int ReadDI24(uint16_t slot, uint32_t* word, std::array<uint16_t, 24>& bits) const;
    int ReadDO24(uint16_t slot, uint32_t* word, std::array<uint16_t, 24>& bits) const;
    int WriteDO24(uint16_t slot, const std::array<uint16_t, 24>& out) const;
    int ReadCI24(uint16_t slot, std::array<int32_t, 24>& counters) const;
    // Thermometer reads of 1, 2 or 8 readings.
    int ReadThermo(int readings, uint16_t slot, double* values) const;
    int IocReadDI(uint16_t slot, uint16_t* value, std::array<uint16_t, 8>& inputs) const;
    int IocWriteDO(uint16_t slot, const std::array<uint16_t, 8>& out) const;

  private:
    void* fn(const char* name) const;

    vexlor::testing::TempDir dir_{"vexlor-reliability"};
    void* handle_ = nullptr;
    std::string error_;
};

// Open file descriptors and threads of this process (/proc/self/fd, /proc/self/task).
int OpenDescriptors();
// "fd -> target" for every open descriptor, for failure messages.
std::string DescribeDescriptors();
int Threads();
// Whether a file is mapped into this process (/proc/self/maps).
bool Mapped(const std::string& path);

// Polls condition every 5 ms until it holds or timeoutMs passed; returns its last value.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 10000);

// The system has been up long enough for a first thermometer poll (its poll interval is
// 50 s from a counter that starts at boot).
bool UpLongEnoughForThermometers();

// Test bodies run in a child process whose standard error is captured (support/child_run.h).
using vexlor::testing::ChildOutcome;
using vexlor::testing::ErrorBoxLines;
using vexlor::testing::RunInChild;

}  // namespace reliability
