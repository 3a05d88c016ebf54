#include "runner.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "loader.h"
#include "result_codes.h"

namespace vexlorctl {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t ElapsedMs(Clock::time_point start) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Export ReadExport(ReadKind kind) {
    switch (kind) {
        case ReadKind::k12DI:
            return Export::k12ReadDI;
        case ReadKind::k12DO:
            return Export::k12ReadDO;
        case ReadKind::k12CI:
            return Export::k12ReadCI;
        case ReadKind::k24DI:
            return Export::k24ReadDI;
        case ReadKind::k24DO:
            return Export::k24ReadDO;
        case ReadKind::k24CI:
            return Export::k24ReadCI;
        case ReadKind::kThermo1:
            return Export::kThermo1Read;
        case ReadKind::kThermo2:
            return Export::kThermo2Read;
        case ReadKind::kThermo8:
            return Export::kThermo8Read;
        case ReadKind::kIoc:
            return Export::kIocReadDI;
    }
    return Export::k12ReadDI;
}

std::string ValueList(const std::vector<uint16_t>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ' ';
        text += std::to_string(values[i]);
    }
    return text;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

bool NeedsConnection(const Command& command) {
    switch (command.op) {
        case Op::kRead:
        case Op::kWatch:
            return !KindInfo(command.kind).thermometer;
        case Op::kWrite:
        case Op::kResetCounters:
        case Op::kErrorClear:
            return true;
        default:
            return false;
    }
}

}  // namespace

Runner::Runner(Driver& driver, const GlobalOptions& options, bool autoOpen, std::ostream& out,
               std::ostream& err)
    : driver_(driver),
      language_(options.language),
      autoOpen_(autoOpen),
      keepGoing_(options.keepGoing),
      out_(out),
      err_(err) {}

void Runner::PrintCall(const std::string& call, int result) {
    out_ << call << " -> " << DescribeResult(result) << '\n';
}

void Runner::Note(const std::string& text) {
    out_ << "    " << text << '\n';
}

Outcome Runner::CallOutcome(int result) {
    Outcome outcome;
    outcome.hasResult = true;
    outcome.result = result;
    outcome.status = result == 0 ? kStatusOk : kStatusFailed;
    return outcome;
}

void* Runner::BindOrFail(Export which, Outcome& outcome) {
    std::string error;
    void* address = driver_.Bind(which, error);
    if (address == nullptr) {
        err_ << "vexlorctl: " << error << '\n';
        out_ << ExportName(which) << ": not available (" << error << ")\n";
        outcome.status = kStatusDriver;
    }
    return address;
}

int Runner::Execute(const Command& command) {
    Outcome outcome = Dispatch(command);
    if (command.hasExpectedResult && outcome.status != kStatusDriver) {
        if (outcome.hasResult && outcome.result == command.expectedResult) {
            Note("result " + std::to_string(outcome.result) + " as expected");
            outcome.status = kStatusOk;
        } else {
            Note("expected result " + DescribeResult(command.expectedResult) + ", got " +
                 (outcome.hasResult ? DescribeResult(outcome.result) : std::string("no result")));
            outcome.status = kStatusFailed;
        }
    }
    if (outcome.status != kStatusOk && command.ignoreFailure) {
        Note("(failure ignored)");
        outcome.status = kStatusOk;
    }
    out_.flush();
    return outcome.status;
}

Outcome Runner::Dispatch(const Command& command) {
    Outcome outcome;
    if (NeedsConnection(command) && !EnsureOpen(command.slot, outcome)) return outcome;
    switch (command.op) {
        case Op::kInit:
            return Init(command.slot, nullptr);
        case Op::kDeInit:
            return DeInit(command.slot, nullptr);
        case Op::kRead:
            return Read(command);
        case Op::kWatch:
            return Watch(command);
        case Op::kWrite:
            return Write(command);
        case Op::kResetCounters:
            return ResetCounters(command);
        case Op::kErrorClear:
            return ErrorClear(command);
        case Op::kConfig:
            return Config(command);
        case Op::kExports:
            return Exports();
        case Op::kCodes:
            return Codes();
        case Op::kScript:
            return Script(command);
        case Op::kSleep:
            SleepMs(command.sleepMs);
            return outcome;
        case Op::kEcho:
            out_ << command.text << '\n';
            return outcome;
        case Op::kSection:
            out_ << '\n' << "=== " << command.text << " ===" << '\n';
            return outcome;
        case Op::kShell:
            return Shell(command);
        case Op::kLang:
            language_ = command.language;
            Note("language selector is now " + std::to_string(language_) +
                 (language_ == 0 ? " (German)" : " (English)"));
            return outcome;
        case Op::kHelp:
            out_ << UsageText();
            return outcome;
    }
    return outcome;
}

Outcome Runner::Init(uint16_t slot, const char* note) {
    Outcome outcome;
    auto init = reinterpret_cast<InitFn>(BindOrFail(Export::kInit, outcome));
    if (init == nullptr) return outcome;
    const int result = init(language_, slot);
    std::string call = "VexlorWeb_IO_Init(lang " + std::to_string(language_) + ", slot " +
                       std::to_string(slot) + ")";
    if (note != nullptr) call = std::string(note) + call;
    PrintCall(call, result);
    if (result == 0 && slot < VEXLOR_SLOT_COUNT) open_[slot] = true;
    return CallOutcome(result);
}

Outcome Runner::DeInit(uint16_t slot, const char* note) {
    Outcome outcome;
    auto deinit = reinterpret_cast<DeInitFn>(BindOrFail(Export::kDeInit, outcome));
    if (deinit == nullptr) return outcome;
    const int result = deinit(language_, slot);
    std::string call = "VexlorWeb_IO_DeInit(lang " + std::to_string(language_) + ", slot " +
                       std::to_string(slot) + ")";
    if (note != nullptr) call = std::string(note) + call;
    PrintCall(call, result);
    if (result == 0 && slot < VEXLOR_SLOT_COUNT) {
        open_[slot] = false;
        autoOpened_[slot] = false;
    }
    return CallOutcome(result);
}

bool Runner::EnsureOpen(uint16_t slot, Outcome& outcome) {
    // Slots above 99 are passed on unopened: the driver answers them with 2 itself.
    if (!autoOpen_ || slot >= VEXLOR_SLOT_COUNT || open_[slot]) return true;
    outcome = Init(slot, "(auto-open) ");
    if (outcome.status != kStatusOk) return false;
    autoOpened_[slot] = true;
    return true;
}

void Runner::CloseAutoOpened() {
    for (int slot = 0; slot < VEXLOR_SLOT_COUNT; ++slot) {
        if (autoOpened_[slot] && open_[slot]) DeInit(static_cast<uint16_t>(slot), "(auto-close) ");
    }
    out_.flush();
}

bool Runner::CallRead(ReadKind kind, uint16_t slot, Values& v, int& result, Outcome& outcome) {
    void* address = BindOrFail(ReadExport(kind), outcome);
    if (address == nullptr) return false;
    const uint16_t lang = language_;
    uint16_t* b = v.bits;
    int32_t* c = v.counters;
    double* t = v.temperatures;
    switch (kind) {
        case ReadKind::k12DI:
        case ReadKind::k12DO: {
            uint16_t word = static_cast<uint16_t>(v.word);
            result = reinterpret_cast<Read12Fn>(address)(lang, slot, &word, &b[0], &b[1], &b[2],
                                                         &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                                                         &b[9], &b[10], &b[11]);
            v.word = word;
            break;
        }
        case ReadKind::k24DI:
        case ReadKind::k24DO:
            result = reinterpret_cast<Read24Fn>(address)(
                lang, slot, &v.word, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                &b[9], &b[10], &b[11], &b[12], &b[13], &b[14], &b[15], &b[16], &b[17], &b[18],
                &b[19], &b[20], &b[21], &b[22], &b[23]);
            break;
        case ReadKind::k12CI:
            result = reinterpret_cast<ReadCI12Fn>(address)(lang, slot, &c[0], &c[1], &c[2], &c[3],
                                                           &c[4], &c[5], &c[6], &c[7], &c[8], &c[9],
                                                           &c[10], &c[11]);
            break;
        case ReadKind::k24CI:
            result = reinterpret_cast<ReadCI24Fn>(address)(
                lang, slot, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9],
                &c[10], &c[11], &c[12], &c[13], &c[14], &c[15], &c[16], &c[17], &c[18], &c[19],
                &c[20], &c[21], &c[22], &c[23]);
            break;
        case ReadKind::kThermo1:
            result = reinterpret_cast<Thermo1Fn>(address)(lang, slot, &t[0]);
            break;
        case ReadKind::kThermo2:
            result = reinterpret_cast<Thermo2Fn>(address)(lang, slot, &t[0], &t[1]);
            break;
        case ReadKind::kThermo8:
            result = reinterpret_cast<Thermo8Fn>(address)(lang, slot, &t[0], &t[1], &t[2], &t[3],
                                                          &t[4], &t[5], &t[6], &t[7]);
            break;
        case ReadKind::kIoc: {
            uint16_t value = static_cast<uint16_t>(v.word);
            result = reinterpret_cast<IocReadFn>(address)(lang, slot, &value, &b[0], &b[1], &b[2],
                                                          &b[3], &b[4], &b[5], &b[6], &b[7]);
            v.word = value;
            break;
        }
    }
    return true;
}

Outcome Runner::Read(const Command& command) {
    Outcome outcome;
    const std::string call = std::string(ExportName(ReadExport(command.kind))) + "(slot " +
                             std::to_string(command.slot) + ")";
    Values values;
    int result = 0;
    if (!CallRead(command.kind, command.slot, values, result, outcome)) return outcome;
    const bool thermometer = KindInfo(command.kind).thermometer;
    if (result == 0 && !thermometer) {
        // The first call sent the request (when due) and returned the stored values; the reply
        // is decoded by the driver's receive thread in the meantime.
        if (command.hasExpectValue) {
            const Clock::time_point start = Clock::now();
            while (result == 0 && values.word != command.expectValue &&
                   ElapsedMs(start) < command.timeoutMs) {
                SleepMs(50);
                if (!CallRead(command.kind, command.slot, values, result, outcome)) return outcome;
            }
        } else if (command.settleMs > 0) {
            SleepMs(command.settleMs);
            if (!CallRead(command.kind, command.slot, values, result, outcome)) return outcome;
        }
    }
    PrintCall(call, result);
    if (result != 0) return CallOutcome(result);
    Note(FormatValues(command.kind, values));
    outcome = CallOutcome(result);
    if (command.hasExpectValue) {
        if (values.word == command.expectValue) {
            Note("value " + Hex(values.word) + " as expected");
        } else {
            Note("EXPECTED value " + Hex(command.expectValue) + ", still " + Hex(values.word) +
                 " after " + std::to_string(command.timeoutMs) + " ms");
            outcome.status = kStatusFailed;
        }
    }
    return outcome;
}

namespace {

// Results that end a watch because they cannot change by themselves: a slot number above 99, no
// socket layer, or a slot that is not open.
bool EndsWatch(int result) {
    return result == 2 || result == 3 || result == 10038 || result == 10093;
}

}  // namespace

Outcome Runner::Watch(const Command& command) {
    Outcome outcome;
    const std::string call = std::string(ExportName(ReadExport(command.kind))) + "(slot " +
                             std::to_string(command.slot) + ")";
    std::string limits = "every " + std::to_string(command.intervalMs) + " ms";
    if (command.count > 0) limits += ", " + std::to_string(command.count) + " reads";
    if (command.changes > 0) limits += ", until " + std::to_string(command.changes) + " change(s)";
    if (command.timeoutMs > 0) limits += ", at most " + std::to_string(command.timeoutMs) + " ms";
    out_ << "watching " << call << ": " << limits << '\n';
    out_.flush();

    const Clock::time_point start = Clock::now();
    Values previous;  // the values of the last read that returned 0
    bool havePrevious = false;
    int lastResult = 0;
    uint64_t troubleSince = 0;  // when the current run of failing reads began
    bool lostInRun = false;     // the run holds a lost connection, which a new one ended
    uint32_t reads = 0;
    uint32_t changes = 0;
    uint32_t resultChanges = 0;
    uint32_t reconnects = 0;
    uint32_t recoveries = 0;
    for (;;) {
        Values values;
        int result = 0;
        if (!CallRead(command.kind, command.slot, values, result, outcome)) return outcome;
        const uint64_t elapsed = ElapsedMs(start);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "  [+%5llu ms] ",
                      static_cast<unsigned long long>(elapsed));
        if (reads == 0) {
            PrintCall(call, result);
            if (result != 0) troubleSince = elapsed;
        } else if (result != lastResult) {
            // Health: every change of the result, with its meaning; a return to 0 after a run of
            // errors that held a lost connection is a reconnect (the new connection may first
            // wait for its reply), after anything else (no answer) a recovery.
            ++resultChanges;
            const ResultInfo* info = FindResult(result);
            out_ << stamp << "result " << result << ": "
                 << (info != nullptr ? info->meaning : "unknown result code");
            if (result == 0) {
                const bool reconnect = lostInRun;
                lostInRun = false;
                ++(reconnect ? reconnects : recoveries);
                out_ << " - " << (reconnect ? "reconnected" : "recovered") << " after "
                     << elapsed - troubleSince << " ms of errors";
            } else if (lastResult == 0) {
                troubleSince = elapsed;
            }
            out_ << '\n';
        }
        if (IsConnectionLoss(result)) lostInRun = true;
        if (result != 0 && EndsWatch(result)) {
            out_.flush();
            return CallOutcome(result);
        }
        // Values are compared between reads that returned 0 only: a failed read may leave them
        // as they were or fill them with stale ones.
        if (result == 0) {
            if (!havePrevious) {
                out_ << stamp << FormatValues(command.kind, values) << '\n';
            } else if (!SameValues(command.kind, previous, values)) {
                ++changes;
                out_ << stamp << FormatValues(command.kind, values)
                     << "   changed: " << DescribeChange(command.kind, previous, values) << '\n';
            }
            previous = values;
            havePrevious = true;
        }
        out_.flush();
        lastResult = result;
        ++reads;
        if (command.count > 0 && reads >= command.count) break;
        if (command.changes > 0 && changes >= command.changes) break;
        if (command.timeoutMs > 0 && elapsed >= command.timeoutMs) break;
        SleepMs(command.intervalMs);
    }
    std::string summary =
        std::to_string(reads) + " read(s), " + std::to_string(changes) + " change(s)";
    if (resultChanges > 0) {
        summary += ", " + std::to_string(resultChanges) + " result change(s), " +
                   std::to_string(reconnects) + " reconnect(s), " + std::to_string(recoveries) +
                   " recovery(ies)";
    }
    Note(summary);
    // The watch ends with the state of the slot: failed while its last read failed.
    outcome = CallOutcome(lastResult);
    if (lastResult != 0) Note("last result " + DescribeResult(lastResult));
    if (command.changes > 0 && changes < command.changes) {
        Note("EXPECTED " + std::to_string(command.changes) + " change(s)");
        outcome.status = kStatusFailed;
    }
    return outcome;
}

Outcome Runner::Write(const Command& command) {
    Outcome outcome;
    const uint16_t lang = language_;
    const uint16_t slot = command.slot;
    const uint16_t* v = command.values.data();
    int result = 0;
    const char* name = nullptr;
    switch (command.family) {
        case Family::k12: {
            auto fn = reinterpret_cast<Write12Fn>(BindOrFail(Export::k12WriteDO, outcome));
            if (fn == nullptr) return outcome;
            name = ExportName(Export::k12WriteDO);
            result = fn(lang, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
                        v[10], v[11]);
            break;
        }
        case Family::k24: {
            auto fn = reinterpret_cast<Write24Fn>(BindOrFail(Export::k24WriteDO, outcome));
            if (fn == nullptr) return outcome;
            name = ExportName(Export::k24WriteDO);
            result = fn(lang, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
                        v[10], v[11], v[12], v[13], v[14], v[15], v[16], v[17], v[18], v[19], v[20],
                        v[21], v[22], v[23]);
            break;
        }
        case Family::kIoc: {
            auto fn = reinterpret_cast<IocWriteFn>(BindOrFail(Export::kIocWriteDO, outcome));
            if (fn == nullptr) return outcome;
            name = ExportName(Export::kIocWriteDO);
            result = fn(lang, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
            break;
        }
    }
    PrintCall(std::string(name) + "(slot " + std::to_string(slot) + ", " +
                  ValueList(command.values) + ")",
              result);
    return CallOutcome(result);
}

Outcome Runner::ResetCounters(const Command& command) {
    Outcome outcome;
    const uint16_t lang = language_;
    const uint16_t slot = command.slot;
    const uint16_t* v = command.values.data();
    int result = 0;
    const Export which = command.family == Family::k12 ? Export::k12ResetCI : Export::k24ResetCI;
    void* address = BindOrFail(which, outcome);
    if (address == nullptr) return outcome;
    if (command.family == Family::k12) {
        result = reinterpret_cast<ResetCI12Fn>(address)(lang, slot, v[0], v[1], v[2], v[3], v[4],
                                                        v[5], v[6], v[7], v[8], v[9], v[10], v[11]);
    } else {
        result = reinterpret_cast<ResetCI24Fn>(address)(
            lang, slot, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11],
            v[12], v[13], v[14], v[15], v[16], v[17], v[18], v[19], v[20], v[21], v[22], v[23]);
    }
    PrintCall(std::string(ExportName(which)) + "(slot " + std::to_string(slot) + ", " +
                  ValueList(command.values) + ")",
              result);
    return CallOutcome(result);
}

Outcome Runner::ErrorClear(const Command& command) {
    Outcome outcome;
    const Export which =
        command.family == Family::k12 ? Export::k12ErrorClear : Export::k24ErrorClear;
    auto fn = reinterpret_cast<ErrorClearFn>(BindOrFail(which, outcome));
    if (fn == nullptr) return outcome;
    const int result = fn(language_, command.slot, command.values[0]);
    PrintCall(std::string(ExportName(which)) + "(slot " + std::to_string(command.slot) + ", " +
                  std::to_string(command.values[0]) + ")",
              result);
    return CallOutcome(result);
}

Outcome Runner::Config(const Command& command) {
    Outcome outcome;
    std::string error;
    auto fn = reinterpret_cast<ConfigFn>(driver_.Bind(Export::kConfigDialog, error));
    if (fn == nullptr) {
        err_ << "vexlorctl: " << error << '\n';
        out_ << "The configuration dialog is not available in this driver build; edit Vexlor.ini "
                "with vexlor-config instead.\n";
        outcome.status = kStatusDriver;
        return outcome;
    }
    const uint16_t lang = command.hasLanguage ? command.language : language_;
    const int result = fn(lang);
    PrintCall("VexlorDlgWeb_IO_ConfigHardware(lang " + std::to_string(lang) + ")", result);
    return CallOutcome(result);
}

Outcome Runner::Exports() {
    Outcome outcome;
    std::string error;
    if (!driver_.Load(error)) {
        err_ << "vexlorctl: " << error << '\n';
        outcome.status = kStatusDriver;
        return outcome;
    }
    out_ << "driver: " << driver_.path() << '\n';
    int missing = 0;
    for (int i = 0; i < kExportCount; ++i) {
        const Export which = static_cast<Export>(i);
        const bool present = driver_.Bind(which, error) != nullptr;
        out_ << (present ? "  present  " : "  MISSING  ") << ExportName(which);
        if (present && std::string(driver_.BoundName(which)) != ExportName(which)) {
            out_ << "  (bound as " << driver_.BoundName(which) << ")";
        }
        out_ << '\n';
        if (!present) ++missing;
    }
    out_ << "  " << (kExportCount - missing) << " of " << kExportCount << " exports present\n";
    return outcome;
}

Outcome Runner::Codes() {
    int count = 0;
    const ResultInfo* table = ResultTable(count);
    for (int i = 0; i < count; ++i) out_ << "  " << DescribeResult(table[i].code) << '\n';
    out_ << "  any other value: a Windows Sockets error number without a name here\n";
    return Outcome();
}

Outcome Runner::Shell(const Command& command) {
    Outcome outcome;
    out_.flush();
    std::fflush(stdout);
    const int status = std::system(command.text.c_str());
    if (status != 0) {
        Note("shell command failed (status " + std::to_string(status) + "): " + command.text);
        outcome.status = kStatusFailed;
    }
    return outcome;
}

Outcome Runner::Script(const Command& command) {
    Outcome outcome;
    if (scriptDepth_ >= 8) {
        err_ << "vexlorctl: scripts nested too deeply\n";
        outcome.status = kStatusUsage;
        return outcome;
    }
    if (command.text == "-") {
        outcome.status = RunScript(std::cin, "<stdin>");
        return outcome;
    }
    std::ifstream file(command.text);
    if (!file) {
        err_ << "vexlorctl: cannot open script " << command.text << '\n';
        outcome.status = kStatusUsage;
        return outcome;
    }
    outcome.status = RunScript(file, command.text);
    return outcome;
}

int Runner::RunScript(std::istream& in, const std::string& name) {
    ++scriptDepth_;
    int status = kStatusOk;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Command command;
        bool empty = false;
        std::string error;
        if (!ParseScriptLine(line, command, empty, error)) {
            err_ << name << ":" << number << ": " << error << '\n';
            out_ << name << ":" << number << ": " << error << '\n';
            status = kStatusUsage;
            break;
        }
        if (empty) continue;
        if (command.op != Op::kEcho && command.op != Op::kSection) {
            size_t start = line.find_first_not_of(" \t");
            out_ << "> " << line.substr(start) << '\n';
        }
        const int result = Execute(command);
        if (result != kStatusOk) {
            if (status == kStatusOk) status = result;
            if (!keepGoing_) {
                out_ << name << ":" << number << ": stopped after a failed command\n";
                break;
            }
        }
    }
    out_.flush();
    --scriptDepth_;
    return status;
}

}  // namespace vexlorctl
