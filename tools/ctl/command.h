// vexlorctl's command language: global options, the commands and their arguments. Parsing is
// kept apart from running so that it can be tested without a driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexlorctl {

// What a read or watch command reads.
enum class ReadKind {
    k12DI,
    k12DO,
    k12CI,
    k24DI,
    k24DO,
    k24CI,
    kThermo1,
    kThermo2,
    kThermo8,
    kIoc,
};

enum class Family { k12, k24, kIoc };

struct ReadKindInfo {
    ReadKind kind;
    const char* token;  // "12di", ...
    int bits;           // number of input/output bits returned (0 for counters/thermometers)
    int counters;       // number of counters returned
    int temperatures;   // number of temperatures returned
    bool thermometer;   // opens and closes its own connection
};

const ReadKindInfo& KindInfo(ReadKind kind);
bool ParseReadKind(const std::string& token, ReadKind& kind);
bool ParseFamily(const std::string& token, Family& family, bool allowIoc);
int FamilyOutputs(Family family);  // 12, 24 or 8

enum class Op {
    kInit,
    kDeInit,
    kRead,
    kWatch,
    kWrite,
    kResetCounters,
    kErrorClear,
    kConfig,
    kExports,
    kCodes,
    kScript,
    kSleep,
    kEcho,
    kSection,
    kShell,
    kLang,
    kHelp,
};

struct Command {
    Op op = Op::kHelp;
    bool ignoreFailure = false;      // script line prefixed with "-"
    bool hasExpectedResult = false;  // "expect CODE COMMAND..."
    int expectedResult = 0;

    uint16_t slot = 0;
    ReadKind kind = ReadKind::k12DI;
    Family family = Family::k12;
    std::vector<uint16_t> values;  // write, reset-counters, error-clear: one per output/counter

    uint32_t settleMs = 300;      // read: time between the call that requests and the one printed
    bool hasExpectValue = false;  // read --expect: the word/value to wait for
    uint32_t expectValue = 0;
    uint32_t intervalMs = 200;  // watch
    uint32_t count = 0;         // watch: number of reads (0: no limit)
    uint32_t changes = 0;       // watch: stop after this many changes (0: no limit)
    uint32_t timeoutMs = 0;     // read --expect / watch: give up after this time (0: none)

    bool hasLanguage = false;  // config --lang, lang
    uint16_t language = 1;
    uint32_t sleepMs = 0;
    std::string text;  // echo, section, sh, script file
};

struct GlobalOptions {
    std::string driverPath;  // empty: the default beside the executable
    uint16_t language = 1;   // 0 German, any other value English
    int autoOpen = -1;       // -1: on for a single command, off for scripts
    bool keepGoing = false;  // scripts: run on after a failed command
    bool version = false;    // --version: print the version, run nothing
};

// Parses leading global options of argv[1..]; the remaining words go to rest.
bool ParseGlobalOptions(const std::vector<std::string>& args, GlobalOptions& options,
                        std::vector<std::string>& rest, std::string& error);

// Parses one command from its words (command word first). For echo/section/sh the text is the
// words joined by single spaces unless rawText is given (the rest of a script line as written).
bool ParseCommand(const std::vector<std::string>& words, Command& command, std::string& error,
                  const std::string* rawText = nullptr);

// Parses one script line. Blank lines and lines starting with "#" set empty and succeed.
// A leading "-" marks a command whose failure does not stop the script.
bool ParseScriptLine(const std::string& line, Command& command, bool& empty, std::string& error);

// Splits a script line into words: blanks separate, '...' and "..." group (no escapes inside
// single quotes; \" and \\ inside double quotes). starts receives each word's offset.
bool SplitWords(const std::string& line, std::vector<std::string>& words,
                std::vector<size_t>& starts, std::string& error);

// Numbers: decimal, or hexadecimal with 0x. False when not a number or above max.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t& value);
bool ParseLanguage(const std::string& text, uint16_t& language);

// The usage text.
const char* UsageText();

}  // namespace vexlorctl
