// vexlorctl: the result-code table, the command language, value printing, and the runner
// against a stand-in driver library that logs every call with its arguments.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "driver.h"
#include "result_codes.h"
#include "runner.h"
#include "values.h"

namespace vexlorctl {
namespace {

// --- Result codes ----------------------------------------------------------------------------

TEST(ResultCodes, DriverCodesAndCommonSocketErrorsHaveNamesAndMeanings) {
    EXPECT_EQ(DescribeResult(0), "0 OK: success");
    EXPECT_EQ(DescribeResult(2), "2 BAD_SLOT: slot number above 99");
    EXPECT_NE(DescribeResult(3).find("socket layer not available"), std::string::npos);
    EXPECT_NE(DescribeResult(6).find("already in use"), std::string::npos);
    EXPECT_EQ(DescribeResult(10061), "10061 WSAECONNREFUSED: connection refused");
    const std::pair<int, const char*> named[] = {
        {10038, "WSAENOTSOCK"},      {10060, "WSAETIMEDOUT"},    {10054, "WSAECONNRESET"},
        {10049, "WSAEADDRNOTAVAIL"}, {10065, "WSAEHOSTUNREACH"}, {10093, "WSANOTINITIALISED"},
        {10022, "WSAEINVAL"},        {10035, "WSAEWOULDBLOCK"},  {10053, "WSAECONNABORTED"},
        {10057, "WSAENOTCONN"},      {10051, "WSAENETUNREACH"},  {11001, "WSAHOST_NOT_FOUND"}};
    for (const auto& [code, name] : named) {
        const ResultInfo* info = FindResult(code);
        ASSERT_NE(info, nullptr) << code;
        EXPECT_STREQ(info->name, name);
    }
}

TEST(ResultCodes, TableIsSortedUniqueAndSocketErrorsAreWsaNames) {
    int count = 0;
    const ResultInfo* table = ResultTable(count);
    ASSERT_GT(count, 40);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            EXPECT_LT(table[i - 1].code, table[i].code);
        }
        EXPECT_GT(std::string(table[i].meaning).size(), 3u);
        if (table[i].code >= 10000) {
            EXPECT_EQ(std::string(table[i].name).rfind("WSA", 0), 0u);
        }
    }
}

TEST(ResultCodes, UnknownCodesAreShownAsNumbers) {
    EXPECT_EQ(FindResult(1), nullptr);
    EXPECT_EQ(DescribeResult(1), "1 (unknown result code)");
    EXPECT_EQ(DescribeResult(-1), "-1 (unknown result code)");
}

// --- Command language ------------------------------------------------------------------------

Command Parse(const std::vector<std::string>& words) {
    Command command;
    std::string error;
    EXPECT_TRUE(ParseCommand(words, command, error)) << error;
    return command;
}

std::string ParseError(const std::vector<std::string>& words) {
    Command command;
    std::string error;
    EXPECT_FALSE(ParseCommand(words, command, error));
    return error;
}

TEST(CommandLine, GlobalOptionsComeBeforeTheCommand) {
    GlobalOptions options;
    std::vector<std::string> rest;
    std::string error;
    ASSERT_TRUE(ParseGlobalOptions({"--driver", "/x/libvexlor.so", "--lang", "de", "--keep-going",
                                    "read", "1", "12di", "--settle", "0"},
                                   options, rest, error));
    EXPECT_EQ(options.driverPath, "/x/libvexlor.so");
    EXPECT_EQ(options.language, 0);
    EXPECT_TRUE(options.keepGoing);
    EXPECT_EQ(rest, (std::vector<std::string>{"read", "1", "12di", "--settle", "0"}));

    ASSERT_TRUE(
        ParseGlobalOptions({"--lang=7", "--no-auto-open", "init", "0"}, options, rest, error));
    EXPECT_EQ(options.language, 7);
    EXPECT_EQ(options.autoOpen, 0);

    EXPECT_FALSE(ParseGlobalOptions({"--lang", "fr", "init", "0"}, options, rest, error));
    EXPECT_FALSE(ParseGlobalOptions({"--frobnicate", "init", "0"}, options, rest, error));
    EXPECT_FALSE(ParseGlobalOptions({"--driver"}, options, rest, error));
}

TEST(CommandLine, SlotsAreAnySixteenBitNumberSoTheDriverCanRefuseThem) {
    EXPECT_EQ(Parse({"init", "99"}).slot, 99);
    EXPECT_EQ(Parse({"deinit", "65535"}).slot, 65535);
    EXPECT_EQ(Parse({"init", "0x10"}).slot, 16);
    ParseError({"init", "65536"});
    ParseError({"init", "-1"});
    ParseError({"init", "seven"});
    ParseError({"init"});
    ParseError({"init", "1", "2"});
}

TEST(CommandLine, ReadAndWatchTakeAKindAndTheirOwnOptions) {
    const char* kinds[] = {"12di", "12do", "12ci", "24di", "24do", "24ci", "t1", "t2", "t8", "IOC"};
    for (const char* kind : kinds) EXPECT_EQ(Parse({"read", "3", kind}).op, Op::kRead) << kind;
    ParseError({"read", "3", "48di"});
    ParseError({"read", "3"});

    Command read = Parse({"read", "1", "24do", "--expect", "0x800001"});
    EXPECT_TRUE(read.hasExpectValue);
    EXPECT_EQ(read.expectValue, 0x800001u);
    EXPECT_EQ(read.timeoutMs, 3000u);                    // an expectation always has a deadline
    ParseError({"read", "1", "12ci", "--expect", "3"});  // counters have no word
    ParseError({"read", "1", "t1", "--interval", "5"});  // a watch option

    Command watch = Parse({"watch", "0", "ioc", "--interval", "50", "--changes", "2", "--count",
                           "9", "--timeout", "4000"});
    EXPECT_EQ(watch.kind, ReadKind::kIoc);
    EXPECT_EQ(watch.intervalMs, 50u);
    EXPECT_EQ(watch.changes, 2u);
    EXPECT_EQ(watch.count, 9u);
    EXPECT_EQ(watch.timeoutMs, 4000u);
    ParseError({"watch", "0", "ioc", "--settle", "5"});
    ParseError({"watch", "0", "ioc", "--count"});
}

TEST(CommandLine, WriteFillsMissingOutputsWithZeroAndChecksWidths) {
    Command write = Parse({"write", "2", "12", "1", "0", "1"});
    EXPECT_EQ(write.family, Family::k12);
    EXPECT_EQ(write.values, (std::vector<uint16_t>{1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(Parse({"write", "2", "ioc", "--mask", "0x81"}).values,
              (std::vector<uint16_t>{1, 0, 0, 0, 0, 0, 0, 1}));
    Command wide = Parse({"write", "2", "24", "--mask", "0x800001"});
    EXPECT_EQ(wide.values.size(), 24u);
    EXPECT_EQ(wide.values[0], 1);
    EXPECT_EQ(wide.values[23], 1);
    // Values other than 0 and 1 are passed on as they are: the driver decides what they mean.
    EXPECT_EQ(Parse({"write", "2", "12", "257"}).values[0], 257);

    ParseError({"write", "2", "ioc", "--mask", "0x100"});
    ParseError({"write", "2", "ioc", "1", "1", "1", "1", "1", "1", "1", "1", "1"});
    ParseError({"write", "2", "12", "70000"});
    ParseError({"write", "2", "12", "all"});
    ParseError({"write", "2", "36", "1"});
}

TEST(CommandLine, CounterResetAndErrorClear) {
    EXPECT_EQ(Parse({"reset-counters", "1", "24", "all"}).values, std::vector<uint16_t>(24, 1));
    EXPECT_EQ(Parse({"reset-counters", "1", "12", "none"}).values, std::vector<uint16_t>(12, 0));
    EXPECT_EQ(Parse({"reset-counters", "1", "12", "0", "3"}).values[1], 3);
    ParseError({"reset-counters", "1", "ioc", "all"});

    Command clear = Parse({"error-clear", "4", "24", "2"});
    EXPECT_EQ(clear.family, Family::k24);
    EXPECT_EQ(clear.values, std::vector<uint16_t>{2});
    ParseError({"error-clear", "4", "24"});
    ParseError({"error-clear", "4", "ioc", "1"});
}

TEST(CommandLine, ExpectWrapsAnyCommand) {
    Command command = Parse({"expect", "6", "init", "0"});
    EXPECT_EQ(command.op, Op::kInit);
    EXPECT_TRUE(command.hasExpectedResult);
    EXPECT_EQ(command.expectedResult, 6);
    ParseError({"expect", "6"});
    ParseError({"expect", "x", "init", "0"});
    ParseError({"bogus"});
}

TEST(ScriptLines, CommentsBlanksAndTheIgnoreFailureMarker) {
    Command command;
    bool empty = false;
    std::string error;
    for (const char* line : {"", "   ", "# comment", "   # indented comment"}) {
        ASSERT_TRUE(ParseScriptLine(line, command, empty, error)) << line;
        EXPECT_TRUE(empty) << line;
    }
    ASSERT_TRUE(ParseScriptLine("  - init 3", command, empty, error));
    EXPECT_FALSE(empty);
    EXPECT_TRUE(command.ignoreFailure);
    EXPECT_EQ(command.slot, 3);
    ASSERT_TRUE(ParseScriptLine("init 3", command, empty, error));
    EXPECT_FALSE(command.ignoreFailure);
    EXPECT_FALSE(ParseScriptLine("-", command, empty, error));
    EXPECT_FALSE(ParseScriptLine("-init 3", command, empty, error));
    EXPECT_FALSE(ParseScriptLine("write 1 12 '1", command, empty, error));
}

TEST(ScriptLines, ShellAndEchoKeepTheRestOfTheLineAsWritten) {
    Command command;
    bool empty = false;
    std::string error;
    ASSERT_TRUE(
        ParseScriptLine("sh (sleep 0.5; ./simctl input d12 '3' 1) &  ", command, empty, error));
    EXPECT_EQ(command.op, Op::kShell);
    EXPECT_EQ(command.text, "(sleep 0.5; ./simctl input d12 '3' 1) &");
    ASSERT_TRUE(ParseScriptLine("echo  Outputs   \"0\" and 1", command, empty, error));
    EXPECT_EQ(command.text, "Outputs   \"0\" and 1");
    ASSERT_TRUE(ParseScriptLine("echo it's \"half' quoted", command, empty, error));
    EXPECT_EQ(command.text, "it's \"half' quoted");
    EXPECT_FALSE(ParseScriptLine("sh   ", command, empty, error));
    ASSERT_TRUE(ParseScriptLine("- expect 1 sh exit 1", command, empty, error));
    EXPECT_EQ(command.op, Op::kShell);
    EXPECT_EQ(command.text, "exit 1");
    EXPECT_TRUE(command.hasExpectedResult);
    EXPECT_TRUE(command.ignoreFailure);

    std::vector<std::string> words;
    std::vector<size_t> starts;
    ASSERT_TRUE(SplitWords(R"(a "b c" 'd\e' "f\"g")", words, starts, error));
    EXPECT_EQ(words, (std::vector<std::string>{"a", "b c", "d\\e", "f\"g"}));
}

TEST(Numbers, DecimalHexAndLimits) {
    uint32_t value = 0;
    EXPECT_TRUE(ParseNumber("0x1F", 0xFFFF, value));
    EXPECT_EQ(value, 31u);
    EXPECT_TRUE(ParseNumber("65535", 0xFFFF, value));
    EXPECT_FALSE(ParseNumber("65536", 0xFFFF, value));
    EXPECT_FALSE(ParseNumber("99999999999999999999", 0xFFFFFFFFu, value));
    EXPECT_FALSE(ParseNumber("", 10, value));
    EXPECT_FALSE(ParseNumber("0x", 10, value));
    EXPECT_FALSE(ParseNumber("1e3", 10000, value));
    uint16_t language = 9;
    EXPECT_TRUE(ParseLanguage("EN", language));
    EXPECT_EQ(language, 1);
    EXPECT_TRUE(ParseLanguage("deutsch", language));
    EXPECT_EQ(language, 0);
}

// --- Printing values -------------------------------------------------------------------------

TEST(Values, FormatsWordsBitsCountersAndTemperatures) {
    Values values;
    values.word = 0x5;
    values.bits[0] = values.bits[2] = 1;
    EXPECT_EQ(FormatValues(ReadKind::k12DI, values),
              "word 0x005  bits 0..11: 1 0 1 0 0 0 0 0 0 0 0 0");
    EXPECT_EQ(FormatValues(ReadKind::kIoc, values), "state 0x05  in1..8: 1 0 1 0 0 0 0 0");
    values.counters[1] = 7;
    EXPECT_EQ(FormatValues(ReadKind::k12CI, values).substr(0, 22), "counters: 0=0 1=7 2=0 ");
    values.temperatures[0] = 21.5;
    values.temperatures[1] = -999.0;
    EXPECT_EQ(FormatValues(ReadKind::kThermo2, values), "T1=21.50  T2=-999 (no sensor)");
}

TEST(Values, ChangesCountOnlyWhatTheKindReturns) {
    Values before;
    Values after;
    after.bits[12] = 1;  // not part of a 12xDigital read
    after.temperatures[3] = 5;
    EXPECT_TRUE(SameValues(ReadKind::k12DI, before, after));
    EXPECT_TRUE(SameValues(ReadKind::kThermo2, before, after));
    EXPECT_FALSE(SameValues(ReadKind::k24DI, before, after));
    EXPECT_FALSE(SameValues(ReadKind::kThermo8, before, after));

    after.bits[3] = 1;
    after.word = 0x1008;
    EXPECT_EQ(DescribeChange(ReadKind::k12DI, before, after), "in3 0->1");
    EXPECT_EQ(DescribeChange(ReadKind::kIoc, before, after), "in4 0->1");  // counted from 1
    EXPECT_EQ(DescribeChange(ReadKind::k12DO, before, after), "out3 0->1");
    after.counters[2] = 4;
    EXPECT_EQ(DescribeChange(ReadKind::k12CI, before, after), "counter2 0->4");
}

// --- Running against a stand-in driver -------------------------------------------------------

class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The same library that the Driver loads: dlopen hands out the one instance.
        library_ = dlopen(VEXLORCTL_FAKE_DRIVER, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        log_ = reinterpret_cast<const char* (*)()>(dlsym(library_, "FakeDriverLog"));
        reset_ = reinterpret_cast<void (*)(int)>(dlsym(library_, "FakeDriverReset"));
        scriptReads_ =
            reinterpret_cast<void (*)(const int*, int)>(dlsym(library_, "FakeDriverScriptReads"));
        ASSERT_NE(log_, nullptr);
        ASSERT_NE(reset_, nullptr);
        ASSERT_NE(scriptReads_, nullptr);
        reset_(0);
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
    }

    // Runs each line as a script line; returns the status of the last one.
    int Run(const std::vector<std::string>& lines, bool autoOpen = false, uint16_t language = 1) {
        options_.language = language;
        Runner runner(driver_, options_, autoOpen, out_, err_);
        int status = 0;
        for (const std::string& line : lines) {
            Command command;
            bool empty = false;
            std::string error;
            EXPECT_TRUE(ParseScriptLine(line, command, empty, error)) << error;
            status = runner.Execute(command);
        }
        runner.CloseAutoOpened();
        return status;
    }
    std::string Log() const { return log_(); }
    bool Printed(const std::string& text) const {
        return out_.str().find(text) != std::string::npos;
    }

    void* library_ = nullptr;
    const char* (*log_)() = nullptr;
    void (*reset_)(int) = nullptr;
    void (*scriptReads_)(const int*, int) = nullptr;
    Driver driver_{VEXLORCTL_FAKE_DRIVER};
    GlobalOptions options_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(RunnerTest, WritesPassLanguageSlotAndValuesInArgumentOrder) {
    EXPECT_EQ(Run({"write 4 12 1 0 1 0 0 0 0 0 0 0 0 9", "write 5 24 --mask 0x800003",
                   "write 6 ioc 1 0 0 1", "reset-counters 4 12 0 1", "error-clear 5 24 3"},
                  false, 0),
              kStatusOk);
    EXPECT_EQ(Log(),
              "WriteDO12 0 4 1 0 1 0 0 0 0 0 0 0 0 9\n"
              "WriteDO24 0 5 1 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1\n"
              "IocWriteDO 0 6 1 0 0 1 0 0 0 0\n"
              "ResetCI12 0 4 0 1 0 0 0 0 0 0 0 0 0 0\n"
              "ErrorClear24 0 5 3\n");
    EXPECT_TRUE(
        Printed("VexlorWeb_IO_12xDigital_WriteDO(slot 4, 1 0 1 0 0 0 0 0 0 0 0 9) -> 0 OK"));
    EXPECT_TRUE(Printed("HWgroup_IOController_WriteDO(slot 6, 1 0 0 1 0 0 0 0) -> 0 OK"));
}

TEST_F(RunnerTest, ReadsFillEveryPointerInOrder) {
    EXPECT_EQ(Run({"read 1 24do --settle 0", "read 1 12ci --settle 0", "read 2 t8",
                   "read 3 ioc --settle 0"}),
              kStatusOk);
    // 0x800005: bits 0, 2 and 23.
    EXPECT_TRUE(
        Printed("word 0x800005  bits 0..23: 1 0 1 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 1"));
    EXPECT_TRUE(Printed(
        "counters: 0=100 1=101 2=102 3=103 4=104 5=105 6=106 7=107 8=108 9=109 10=110 11=111"));
    EXPECT_TRUE(
        Printed("T1=20.00  T2=20.25  T3=20.50  T4=20.75  T5=21.00  T6=21.25  T7=21.50  T8=21.75"));
    EXPECT_TRUE(Printed("state 0x81  in1..8: 1 0 0 0 0 0 0 1"));
}

TEST_F(RunnerTest, ReadRepeatsTheCallAfterSettlingAndPrintsTheSecond) {
    EXPECT_EQ(Run({"read 0 12di --settle 1"}), kStatusOk);
    EXPECT_EQ(Log(), "VexlorWeb_IO_12xDigital_ReadDI 1 0\nVexlorWeb_IO_12xDigital_ReadDI 1 0\n");
    EXPECT_TRUE(Printed("word 0x015"));
    EXPECT_FALSE(Printed("word 0x005"));
}

TEST_F(RunnerTest, ReadExpectWaitsForTheValueOrFails) {
    EXPECT_EQ(Run({"read 0 12di --expect 0x035"}), kStatusOk);  // the third call returns it
    EXPECT_TRUE(Printed("value 0x35 as expected"));
    reset_(0);
    EXPECT_EQ(Run({"read 0 12do --expect 0x7 --timeout 150"}), kStatusFailed);
    EXPECT_TRUE(Printed("EXPECTED value 0x7"));
}

TEST_F(RunnerTest, WatchPrintsEveryChange) {
    EXPECT_EQ(Run({"watch 0 12di --interval 0 --count 3"}), kStatusOk);
    EXPECT_TRUE(Printed("changed: in4 0->1"));
    EXPECT_TRUE(Printed("3 read(s), 2 change(s)"));
    reset_(0);
    EXPECT_EQ(Run({"watch 0 24di --interval 0 --changes 1"}), kStatusOk);
    EXPECT_EQ(Log(), "VexlorWeb_IO_24xDigital_ReadDI 1 0\nVexlorWeb_IO_24xDigital_ReadDI 1 0\n");
}

TEST_F(RunnerTest, WatchShowsEveryResultChangeWithItsMeaningAndEveryReturnToZero) {
    // A device that stops answering and answers again, then one whose connection is reset and
    // comes back through a new one, which waits for its first reply.
    const int results[] = {0, 10060, 10060, 0, 10054, 10061, 10060, 0};
    scriptReads_(results, 8);
    EXPECT_EQ(Run({"watch 0 12di --interval 0 --count 8"}), kStatusOk);
    const std::string out = out_.str();
    const size_t stale = out.find("] result 10060: the device does not answer\n");
    const size_t recovered = out.find("] result 0: success - recovered after ");
    const size_t reset = out.find("] result 10054: connection reset by peer\n");
    const size_t refused = out.find("] result 10061: connection refused\n");
    const size_t reconnected = out.find("] result 0: success - reconnected after ");
    ASSERT_NE(stale, std::string::npos) << out;
    ASSERT_NE(recovered, std::string::npos) << out;
    ASSERT_NE(reset, std::string::npos) << out;
    ASSERT_NE(refused, std::string::npos) << out;
    ASSERT_NE(reconnected, std::string::npos) << out;
    EXPECT_LT(stale, recovered);
    EXPECT_LT(recovered, reset);
    EXPECT_LT(reset, refused);
    EXPECT_LT(refused, reconnected);
    // Unchanged results print nothing; values are compared between successful reads only.
    EXPECT_EQ(out.find("result 10060"), stale + 2);
    EXPECT_TRUE(
        Printed("8 read(s), 2 change(s), 6 result change(s), 1 reconnect(s), "
                "1 recovery(ies)"))
        << out;

    // A watch that ends while the slot fails, fails; one the slot cannot recover from ends at once.
    reset_(0);
    const int failing[] = {0, 10060, 10060};
    scriptReads_(failing, 3);
    EXPECT_EQ(Run({"watch 0 12di --interval 0 --count 3"}), kStatusFailed);
    EXPECT_TRUE(Printed("last result 10060 WSAETIMEDOUT: the device does not answer"));
    reset_(10038);
    EXPECT_EQ(Run({"watch 0 12di --interval 0 --count 5"}), kStatusFailed);
    EXPECT_EQ(Log(), "VexlorWeb_IO_12xDigital_ReadDI 1 0\n");
}

TEST_F(RunnerTest, AutoOpenInitialisesOnceAndClosesAtTheEnd) {
    EXPECT_EQ(Run({"write 7 12 1", "read 7 12do --settle 0", "read 8 t1"}, true), kStatusOk);
    EXPECT_EQ(Log(),
              "Init 1 7\nWriteDO12 1 7 1 0 0 0 0 0 0 0 0 0 0 0\n"
              "VexlorWeb_IO_12xDigital_ReadDO 1 7\nThermo1 1 8\nDeInit 1 7\n");
    reset_(0);
    // Explicitly opened slots are left to the script; nothing is opened without auto-open.
    EXPECT_EQ(Run({"init 2", "write 2 ioc 1", "write 3 ioc 1"}, true), kStatusOk);
    EXPECT_EQ(Log(),
              "Init 1 2\nIocWriteDO 1 2 1 0 0 0 0 0 0 0\nInit 1 3\n"
              "IocWriteDO 1 3 1 0 0 0 0 0 0 0\nDeInit 1 3\n");
    reset_(0);
    EXPECT_EQ(Run({"write 2 ioc 1"}, false), kStatusOk);
    EXPECT_EQ(Log(), "IocWriteDO 1 2 1 0 0 0 0 0 0 0\n");
}

TEST_F(RunnerTest, AFailedResultIsPrintedWithItsMeaningAndFailsTheCommand) {
    reset_(10061);
    EXPECT_EQ(Run({"write 7 12 1"}, true), kStatusFailed);
    EXPECT_EQ(Log(), "Init 1 7\n");  // the write is not attempted without a connection
    EXPECT_TRUE(
        Printed("(auto-open) VexlorWeb_IO_Init(lang 1, slot 7) -> 10061 WSAECONNREFUSED: "
                "connection refused"));
    reset_(10038);
    EXPECT_EQ(Run({"read 1 12di"}), kStatusFailed);
    EXPECT_TRUE(Printed("-> 10038 WSAENOTSOCK"));
}

TEST_F(RunnerTest, ExpectAndIgnoreTurnResultsIntoSuccess) {
    reset_(6);
    EXPECT_EQ(Run({"expect 6 init 1"}), kStatusOk);
    EXPECT_EQ(Run({"expect 0 init 1"}), kStatusFailed);
    EXPECT_EQ(Run({"- init 1"}), kStatusOk);
    reset_(0);
    EXPECT_EQ(Run({"expect 2 init 100"}), kStatusOk);
    EXPECT_TRUE(Printed("2 BAD_SLOT"));
}

TEST_F(RunnerTest, AMissingExportFailsOnlyTheCommandThatNeedsIt) {
    EXPECT_EQ(Run({"config"}), kStatusDriver);
    EXPECT_NE(err_.str().find("VexlorDlgWeb_IO_ConfigHardware"), std::string::npos);
    EXPECT_EQ(Run({"init 0"}), kStatusOk);
    EXPECT_EQ(Run({"exports"}), kStatusOk);
    EXPECT_TRUE(Printed("MISSING  VexlorDlgWeb_IO_ConfigHardware"));
    EXPECT_TRUE(Printed("19 of 20 exports present"));
}

TEST_F(RunnerTest, ScriptsStopAtTheFirstFailureUnlessToldOtherwise) {
    Runner runner(driver_, options_, false, out_, err_);
    std::istringstream script("init 1\nexpect 3 init 2\ninit 3\n");
    EXPECT_EQ(runner.RunScript(script, "s"), kStatusFailed);
    EXPECT_EQ(Log(), "Init 1 1\nInit 1 2\n");
    EXPECT_TRUE(Printed("s:2: stopped after a failed command"));

    reset_(0);
    options_.keepGoing = true;
    Runner keepGoing(driver_, options_, false, out_, err_);
    std::istringstream again("expect 3 init 2\ninit 3\n");
    EXPECT_EQ(keepGoing.RunScript(again, "s"), kStatusFailed);
    EXPECT_EQ(Log(), "Init 1 2\nInit 1 3\n");

    reset_(0);
    std::istringstream broken("init 1\nread 1 99di\ninit 2\n");
    EXPECT_EQ(runner.RunScript(broken, "b"), kStatusUsage);
    EXPECT_EQ(Log(), "Init 1 1\n");
}

TEST(DriverLoading, AMissingLibraryIsReportedForEveryDriverCommand) {
    Driver driver("/nonexistent/libvexlor.so");
    GlobalOptions options;
    std::ostringstream out;
    std::ostringstream err;
    Runner runner(driver, options, true, out, err);
    Command command;
    std::string error;
    ASSERT_TRUE(ParseCommand({"read", "0", "12di"}, command, error));
    EXPECT_EQ(runner.Execute(command), kStatusDriver);
    ASSERT_TRUE(ParseCommand({"echo", "still", "fine"}, command, error));
    EXPECT_EQ(runner.Execute(command), kStatusOk);
    EXPECT_NE(err.str().find("cannot load the driver"), std::string::npos);
}

TEST(DriverLoading, LookupNamesOfTheTwentyExports) {
    std::set<std::string> names;
    for (int i = 0; i < kExportCount; ++i) {
        const Export which = static_cast<Export>(i);
        names.insert(ExportName(which));
        ASSERT_NE(ExportLookupNames(which)[0], nullptr);
    }
    EXPECT_EQ(names.size(), 20u);
    // Windows hosts bind this one by its decorated name; elsewhere the plain name is the export.
    const char* const* readDO = ExportLookupNames(Export::k24ReadDO);
#if defined(_WIN32)
    EXPECT_STREQ(readDO[0], VEXLOR_24XDIGITAL_READDO_DECORATED_NAME);
#else
    EXPECT_STREQ(readDO[0], "VexlorWeb_IO_24xDigital_ReadDO");
#endif
}

}  // namespace
}  // namespace vexlorctl
