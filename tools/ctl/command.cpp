#include "command.h"

#include <cctype>
#include <cstdlib>

namespace vexlorctl {

namespace {

constexpr ReadKindInfo kKinds[] = {
    {ReadKind::k12DI, "12di", 12, 0, 0, false}, {ReadKind::k12DO, "12do", 12, 0, 0, false},
    {ReadKind::k12CI, "12ci", 0, 12, 0, false}, {ReadKind::k24DI, "24di", 24, 0, 0, false},
    {ReadKind::k24DO, "24do", 24, 0, 0, false}, {ReadKind::k24CI, "24ci", 0, 24, 0, false},
    {ReadKind::kThermo1, "t1", 0, 0, 1, true},  {ReadKind::kThermo2, "t2", 0, 0, 2, true},
    {ReadKind::kThermo8, "t8", 0, 0, 8, true},  {ReadKind::kIoc, "ioc", 8, 0, 0, false},
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Join(const std::vector<std::string>& words, size_t from) {
    std::string text;
    for (size_t i = from; i < words.size(); ++i) {
        if (i > from) text += ' ';
        text += words[i];
    }
    return text;
}

bool ParseSlot(const std::vector<std::string>& words, size_t index, Command& command,
               std::string& error) {
    uint32_t slot = 0;
    if (index >= words.size()) {
        error = words[0] + ": missing slot number";
        return false;
    }
    // Any 16-bit value is passed on: the driver itself answers 2 for slots above 99.
    if (!ParseNumber(words[index], 0xFFFF, slot)) {
        error = words[0] + ": slot must be a number 0..65535, not '" + words[index] + "'";
        return false;
    }
    command.slot = static_cast<uint16_t>(slot);
    return true;
}

// Option with a numeric argument: "--name VALUE".
bool TakeNumberOption(const std::vector<std::string>& words, size_t& i, uint32_t max,
                      uint32_t& value, std::string& error) {
    if (i + 1 >= words.size()) {
        error = words[0] + ": " + words[i] + " needs a value";
        return false;
    }
    if (!ParseNumber(words[i + 1], max, value)) {
        error = words[0] + ": bad value '" + words[i + 1] + "' for " + words[i];
        return false;
    }
    ++i;
    return true;
}

bool UnknownOption(const std::vector<std::string>& words, size_t i, std::string& error) {
    error = words[0] + ": unexpected argument '" + words[i] + "'";
    return false;
}

// Values of write/reset-counters: "v0 v1 ..." (missing ones 0), "--mask M", "all", "none".
bool ParseValues(const std::vector<std::string>& words, size_t from, int count, bool allowAll,
                 Command& command, std::string& error) {
    command.values.assign(static_cast<size_t>(count), 0);
    size_t next = 0;
    for (size_t i = from; i < words.size(); ++i) {
        const std::string word = Lower(words[i]);
        if (word == "--mask") {
            uint32_t mask = 0;
            const uint32_t max = count >= 32 ? 0xFFFFFFFFu : (1u << count) - 1;
            if (!TakeNumberOption(words, i, max, mask, error)) return false;
            for (int bit = 0; bit < count; ++bit) {
                command.values[static_cast<size_t>(bit)] =
                    static_cast<uint16_t>((mask >> bit) & 1u);
            }
            next = static_cast<size_t>(count);
        } else if (allowAll && (word == "all" || word == "none")) {
            command.values.assign(static_cast<size_t>(count), word == "all" ? 1 : 0);
            next = static_cast<size_t>(count);
        } else {
            uint32_t value = 0;
            if (!ParseNumber(word, 0xFFFF, value)) {
                error = words[0] + ": value must be a number 0..65535, not '" + words[i] + "'";
                return false;
            }
            if (next >= static_cast<size_t>(count)) {
                error = words[0] + ": at most " + std::to_string(count) + " values";
                return false;
            }
            command.values[next++] = static_cast<uint16_t>(value);
        }
    }
    return true;
}

}  // namespace

const ReadKindInfo& KindInfo(ReadKind kind) {
    for (const ReadKindInfo& info : kKinds) {
        if (info.kind == kind) return info;
    }
    return kKinds[0];
}

bool ParseReadKind(const std::string& token, ReadKind& kind) {
    const std::string word = Lower(token);
    for (const ReadKindInfo& info : kKinds) {
        if (word == info.token) {
            kind = info.kind;
            return true;
        }
    }
    return false;
}

bool ParseFamily(const std::string& token, Family& family, bool allowIoc) {
    const std::string word = Lower(token);
    if (word == "12") {
        family = Family::k12;
    } else if (word == "24") {
        family = Family::k24;
    } else if (allowIoc && word == "ioc") {
        family = Family::kIoc;
    } else {
        return false;
    }
    return true;
}

int FamilyOutputs(Family family) {
    switch (family) {
        case Family::k12:
            return 12;
        case Family::k24:
            return 24;
        case Family::kIoc:
            return 8;
    }
    return 0;
}

bool ParseNumber(const std::string& text, uint32_t max, uint32_t& value) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    unsigned long long result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(c)) {
            digit = std::tolower(c) - 'a' + 10;
        } else {
            return false;
        }
        result = result * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (result > max) return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

bool ParseLanguage(const std::string& text, uint16_t& language) {
    const std::string word = Lower(text);
    if (word == "de" || word == "german" || word == "deutsch") {
        language = 0;
        return true;
    }
    if (word == "en" || word == "english") {
        language = 1;
        return true;
    }
    uint32_t value = 0;
    if (!ParseNumber(word, 0xFFFF, value)) return false;
    language = static_cast<uint16_t>(value);
    return true;
}

bool ParseGlobalOptions(const std::vector<std::string>& args, GlobalOptions& options,
                        std::vector<std::string>& rest, std::string& error) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--driver" || word == "--lang") {
            if (i + 1 >= args.size()) {
                error = word + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (word == "--driver") {
                options.driverPath = value;
            } else if (!ParseLanguage(value, options.language)) {
                error = "--lang takes de, en or a number 0..65535, not '" + value + "'";
                return false;
            }
        } else if (word.compare(0, 9, "--driver=") == 0) {
            options.driverPath = word.substr(9);
        } else if (word.compare(0, 7, "--lang=") == 0) {
            if (!ParseLanguage(word.substr(7), options.language)) {
                error = "--lang takes de, en or a number 0..65535, not '" + word.substr(7) + "'";
                return false;
            }
        } else if (word == "--auto-open") {
            options.autoOpen = 1;
        } else if (word == "--no-auto-open") {
            options.autoOpen = 0;
        } else if (word == "--keep-going") {
            options.keepGoing = true;
        } else if (word == "-h" || word == "--help") {
            rest.assign(1, "help");
            return true;
        } else if (word == "--version") {
            options.version = true;
            rest.clear();
            return true;
        } else if (word.size() > 1 && word[0] == '-' && word != "-") {
            error = "unknown option '" + word + "'";
            return false;
        } else {
            break;
        }
    }
    rest.assign(args.begin() + static_cast<long>(i), args.end());
    return true;
}

bool ParseCommand(const std::vector<std::string>& words, Command& command, std::string& error,
                  const std::string* rawText) {
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    const std::string name = Lower(words[0]);

    if (name == "expect") {
        uint32_t code = 0;
        if (words.size() < 3 || !ParseNumber(words[1], 0x7FFFFFFF, code)) {
            error = "expect: usage is 'expect CODE COMMAND...'";
            return false;
        }
        std::vector<std::string> inner(words.begin() + 2, words.end());
        std::string innerRaw;
        if (rawText != nullptr) {
            // The raw text of the inner command starts after "expect CODE ".
            innerRaw = *rawText;
        }
        if (!ParseCommand(inner, command, error, rawText != nullptr ? &innerRaw : nullptr)) {
            return false;
        }
        command.hasExpectedResult = true;
        command.expectedResult = static_cast<int>(code);
        return true;
    }

    command = Command();
    if (name == "init" || name == "deinit") {
        command.op = name == "init" ? Op::kInit : Op::kDeInit;
        if (!ParseSlot(words, 1, command, error)) return false;
        if (words.size() > 2) return UnknownOption(words, 2, error);
        return true;
    }
    if (name == "read" || name == "watch") {
        command.op = name == "read" ? Op::kRead : Op::kWatch;
        if (!ParseSlot(words, 1, command, error)) return false;
        if (words.size() < 3 || !ParseReadKind(words[2], command.kind)) {
            error = name + ": kind must be one of 12di 12do 12ci 24di 24do 24ci t1 t2 t8 ioc";
            return false;
        }
        for (size_t i = 3; i < words.size(); ++i) {
            const std::string option = Lower(words[i]);
            bool ok;
            if (command.op == Op::kRead && option == "--settle") {
                ok = TakeNumberOption(words, i, 600000, command.settleMs, error);
            } else if (command.op == Op::kRead && option == "--expect") {
                ok = TakeNumberOption(words, i, 0xFFFFFFFFu, command.expectValue, error);
                command.hasExpectValue = true;
            } else if (option == "--timeout") {
                ok = TakeNumberOption(words, i, 3600000, command.timeoutMs, error);
            } else if (command.op == Op::kWatch && option == "--interval") {
                ok = TakeNumberOption(words, i, 600000, command.intervalMs, error);
            } else if (command.op == Op::kWatch && option == "--count") {
                ok = TakeNumberOption(words, i, 0xFFFFFFFFu, command.count, error);
            } else if (command.op == Op::kWatch && option == "--changes") {
                ok = TakeNumberOption(words, i, 0xFFFFFFFFu, command.changes, error);
            } else {
                return UnknownOption(words, i, error);
            }
            if (!ok) return false;
        }
        if (command.op == Op::kRead && command.hasExpectValue) {
            if (KindInfo(command.kind).bits == 0) {
                error = "read: --expect applies to 12di 12do 24di 24do ioc (the word read)";
                return false;
            }
            if (command.timeoutMs == 0) command.timeoutMs = 3000;
        }
        return true;
    }
    if (name == "write" || name == "reset-counters") {
        command.op = name == "write" ? Op::kWrite : Op::kResetCounters;
        if (!ParseSlot(words, 1, command, error)) return false;
        const bool allowIoc = command.op == Op::kWrite;
        if (words.size() < 3 || !ParseFamily(words[2], command.family, allowIoc)) {
            error =
                name + (allowIoc ? ": device must be 12, 24 or ioc" : ": device must be 12 or 24");
            return false;
        }
        return ParseValues(words, 3, FamilyOutputs(command.family), !allowIoc, command, error);
    }
    if (name == "error-clear") {
        command.op = Op::kErrorClear;
        if (!ParseSlot(words, 1, command, error)) return false;
        uint32_t value = 0;
        if (words.size() != 4 || !ParseFamily(words[2], command.family, false) ||
            !ParseNumber(words[3], 0xFFFF, value)) {
            error = "error-clear: usage is 'error-clear SLOT 12|24 VALUE'";
            return false;
        }
        command.values.assign(1, static_cast<uint16_t>(value));
        return true;
    }
    if (name == "config") {
        command.op = Op::kConfig;
        for (size_t i = 1; i < words.size(); ++i) {
            if (Lower(words[i]) == "--lang" && i + 1 < words.size() &&
                ParseLanguage(words[i + 1], command.language)) {
                command.hasLanguage = true;
                ++i;
            } else {
                return UnknownOption(words, i, error);
            }
        }
        return true;
    }
    if (name == "lang") {
        command.op = Op::kLang;
        if (words.size() != 2 || !ParseLanguage(words[1], command.language)) {
            error = "lang: usage is 'lang de|en|NUMBER'";
            return false;
        }
        command.hasLanguage = true;
        return true;
    }
    if (name == "exports" || name == "codes" || name == "help") {
        command.op = name == "exports" ? Op::kExports : name == "codes" ? Op::kCodes : Op::kHelp;
        if (words.size() > 1) return UnknownOption(words, 1, error);
        return true;
    }
    if (name == "script") {
        command.op = Op::kScript;
        if (words.size() != 2) {
            error = "script: usage is 'script FILE' or 'script -' (standard input)";
            return false;
        }
        command.text = words[1];
        return true;
    }
    if (name == "sleep") {
        command.op = Op::kSleep;
        if (words.size() != 2 || !ParseNumber(words[1], 3600000, command.sleepMs)) {
            error = "sleep: usage is 'sleep MILLISECONDS'";
            return false;
        }
        return true;
    }
    if (name == "echo" || name == "section" || name == "sh") {
        command.op = name == "echo" ? Op::kEcho : name == "section" ? Op::kSection : Op::kShell;
        command.text = rawText != nullptr ? *rawText : Join(words, 1);
        if (command.op == Op::kShell && command.text.empty()) {
            error = "sh: no command given";
            return false;
        }
        return true;
    }
    error = "unknown command '" + words[0] + "' (try 'vexlorctl help')";
    return false;
}

bool SplitWords(const std::string& line, std::vector<std::string>& words,
                std::vector<size_t>& starts, std::string& error) {
    words.clear();
    starts.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size()) break;
        starts.push_back(i);
        std::string word;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            const char c = line[i];
            if (c == '\'' || c == '"') {
                const size_t open = i++;
                while (i < line.size() && line[i] != c) {
                    if (c == '"' && line[i] == '\\' && i + 1 < line.size() &&
                        (line[i + 1] == '"' || line[i + 1] == '\\')) {
                        ++i;
                    }
                    word += line[i++];
                }
                if (i >= line.size()) {
                    error = "unterminated quote at column " + std::to_string(open + 1);
                    return false;
                }
                ++i;  // closing quote
            } else {
                word += c;
                ++i;
            }
        }
        words.push_back(word);
    }
    return true;
}

bool ParseScriptLine(const std::string& line, Command& command, bool& empty, std::string& error) {
    empty = false;
    size_t start = 0;
    while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start]))) ++start;
    if (start >= line.size() || line[start] == '#') {
        empty = true;
        return true;
    }
    bool ignoreFailure = false;
    if (line[start] == '-' &&
        (start + 1 >= line.size() || std::isspace(static_cast<unsigned char>(line[start + 1])))) {
        ignoreFailure = true;
        ++start;
    }
    const std::string body = line.substr(start);

    // echo, section and sh take the rest of the line as written (quotes, apostrophes and all),
    // also after "expect CODE"; their words are found without any quote handling.
    std::vector<std::string> plain;
    size_t position = 0;
    while (plain.size() < 3) {
        while (position < body.size() && std::isspace(static_cast<unsigned char>(body[position]))) {
            ++position;
        }
        if (position >= body.size()) break;
        const size_t wordStart = position;
        while (position < body.size() &&
               !std::isspace(static_cast<unsigned char>(body[position]))) {
            ++position;
        }
        plain.push_back(body.substr(wordStart, position - wordStart));
        const size_t commandWord = Lower(plain[0]) == "expect" ? 2 : 0;
        if (plain.size() == commandWord + 1) {
            const std::string name = Lower(plain[commandWord]);
            if (name == "echo" || name == "section" || name == "sh") {
                std::string raw = body.substr(position);
                const size_t first = raw.find_first_not_of(" \t");
                raw = first == std::string::npos ? std::string() : raw.substr(first);
                while (!raw.empty() && std::isspace(static_cast<unsigned char>(raw.back()))) {
                    raw.pop_back();
                }
                if (!ParseCommand(plain, command, error, &raw)) return false;
                command.ignoreFailure = ignoreFailure;
                return true;
            }
            break;
        }
    }

    std::vector<std::string> words;
    std::vector<size_t> starts;
    if (!SplitWords(body, words, starts, error)) return false;
    if (words.empty()) {
        error = "'-' without a command";
        return false;
    }
    if (!ParseCommand(words, command, error)) return false;
    command.ignoreFailure = ignoreFailure;
    return true;
}

const char* UsageText() {
    return R"(Usage: vexlorctl [OPTIONS] COMMAND [ARGUMENTS]

Loads the Vexlor driver like a host application and calls its exported functions.
Every call is printed with its result code and the meaning of that code.

Options (before the command):
  --driver PATH     driver library (default: libvexlor.so / Vexlor.dll beside vexlorctl, else
                    the installed driver in ../lib/vexlor)
  --lang de|en|N    language selector passed to the driver (0 German, other English; default en)
  --auto-open       open (Init) a slot before an I/O command if this process has not opened it,
                    and close it (DeInit) at the end; default for a single command
  --no-auto-open    never open slots implicitly; default for scripts
  --keep-going      scripts: continue after a failed command
  --version         print the version
  -h, --help        print this text

Commands:
  init SLOT                         VexlorWeb_IO_Init
  deinit SLOT                       VexlorWeb_IO_DeInit
  read SLOT KIND [--settle MS] [--expect VALUE [--timeout MS]]
                                    read once; KIND is 12di 12do 12ci 24di 24do 24ci (Web-IO
                                    digital), t1 t2 t8 (thermometers) or ioc (I/O Controller).
                                    Digital and I/O Controller reads request new values and return
                                    the stored ones, so the read is repeated after --settle ms
                                    (default 300). --expect waits until the word (ioc: the
                                    input state) equals VALUE.
  watch SLOT KIND [--interval MS] [--count N] [--changes N] [--timeout MS]
                                    read every MS (default 200) and print each change of the
                                    values and of the result, and every return to 0 after
                                    errors (reconnected / recovered)
  write SLOT 12|24|ioc VALUES...|--mask M
                                    set outputs: one value per output (0 off, 1 on; missing
                                    values are 0), or a bit mask (ioc: bit 0 is output 1)
  reset-counters SLOT 12|24 VALUES...|all|none|--mask M
                                    ResetCI: a counter is cleared when its value changes to a
                                    new non-zero value
  error-clear SLOT 12|24 VALUE      ErrorClear: sent when VALUE changes to a new non-zero value
  config [--lang de|en]             open the configuration dialog (where the driver has one)
  exports                           list the driver's exports and whether they are present
  codes                             list the result codes and their meanings
  script FILE|-                     run commands from a file or standard input, one per line, in
                                    this one process (the driver's state lives per process)
  help                              this text

Script-only helpers (also accepted as commands):
  # comment          - COMMAND (failure does not stop the script)
  expect CODE COMMAND   succeed only if the command's driver result is CODE
  sleep MS    echo TEXT    section TITLE    sh SHELL-COMMAND    lang de|en|N

Exit status: 0 success, 1 a driver call failed or an expectation was not met, 2 usage error,
3 the driver or one of its exports could not be loaded.
)";
}

}  // namespace vexlorctl
