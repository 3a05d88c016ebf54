// Runs vexlorctl commands against the loaded driver and prints every call with its result.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "command.h"
#include "driver.h"
#include "values.h"

namespace vexlorctl {

// Exit statuses of vexlorctl.
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;  // a driver call returned non-zero, or an expectation failed
constexpr int kStatusUsage = 2;
constexpr int kStatusDriver = 3;  // the driver or an export could not be loaded

struct Outcome {
    int status = kStatusOk;
    bool hasResult = false;  // a driver function was called
    int result = 0;          // the result of the last call made
};

class Runner {
  public:
    Runner(Driver& driver, const GlobalOptions& options, bool autoOpen, std::ostream& out,
           std::ostream& err);

    // Runs one command (expect and ignore-failure markers applied); returns its exit status.
    int Execute(const Command& command);

    // Runs a script; stops at the first failing command unless --keep-going.
    int RunScript(std::istream& in, const std::string& name);

    // De-initialises the slots that were opened implicitly and are still open.
    void CloseAutoOpened();

  private:
    Outcome Dispatch(const Command& command);
    Outcome Init(uint16_t slot, const char* note);
    Outcome DeInit(uint16_t slot, const char* note);
    // After Init returned 10049: names the settings file and how to give the slot an address
    // when the slot has none there (the usual cause).
    void ExplainUnconfigured(uint16_t slot);
    bool EnsureOpen(uint16_t slot, Outcome& outcome);
    Outcome Read(const Command& command);
    Outcome Watch(const Command& command);
    Outcome Write(const Command& command);
    Outcome ResetCounters(const Command& command);
    Outcome ErrorClear(const Command& command);
    Outcome Config(const Command& command);
    Outcome Exports();
    Outcome Codes();
    Outcome Script(const Command& command);
    Outcome Shell(const Command& command);

    // Calls the read function of kind; false (and outcome.status set) when it cannot be bound.
    bool CallRead(ReadKind kind, uint16_t slot, Values& values, int& result, Outcome& outcome);
    void* BindOrFail(Export which, Outcome& outcome);
    void PrintCall(const std::string& call, int result);
    void Note(const std::string& text);
    Outcome CallOutcome(int result);

    Driver& driver_;
    uint16_t language_;
    bool autoOpen_;
    bool keepGoing_;
    int scriptDepth_ = 0;
    std::ostream& out_;
    std::ostream& err_;
    bool open_[VEXLOR_SLOT_COUNT] = {};
    bool autoOpened_[VEXLOR_SLOT_COUNT] = {};
};

}  // namespace vexlorctl
