// The trace library loaded with dlopen, as the driver loads it: switching on and off through
// ORVANE_TRACE_FILE, the line format, concurrent writers and closing the file.
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvane.h"

namespace {

struct Library {
    void* handle = nullptr;
    int (*orvane)(int, const char*) = nullptr;
    int (*setColor)(int, unsigned) = nullptr;
    int (*setMedium)(int, int) = nullptr;
    int (*setFile)(const char*) = nullptr;
    int (*start)() = nullptr;
    void (*stop)() = nullptr;
};

template <typename T>
void Resolve(void* handle, const char* name, T* function) {
    *function = reinterpret_cast<T>(dlsym(handle, name));
    ASSERT_NE(*function, nullptr) << name;
}

class OrvaneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lib_.handle = dlopen(ORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_.handle, nullptr) << dlerror();
        Resolve(lib_.handle, "Orvane", &lib_.orvane);
        Resolve(lib_.handle, "SetTraceIDColor", &lib_.setColor);
        Resolve(lib_.handle, "SetTraceIDMedium", &lib_.setMedium);
        Resolve(lib_.handle, "SetTraceIDFile", &lib_.setFile);
        Resolve(lib_.handle, "StartTraceOutput", &lib_.start);
        Resolve(lib_.handle, "StopTraceOutput", &lib_.stop);
        char pattern[] = "/tmp/orvane-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/trace.log";
        unsetenv("ORVANE_TRACE_FILE");
    }

    void TearDown() override {
        if (lib_.stop) lib_.stop();
        if (lib_.setFile) lib_.setFile(nullptr);
        unsetenv("ORVANE_TRACE_FILE");
        std::remove(file_.c_str());
        rmdir(dir_.c_str());
        if (lib_.handle) dlclose(lib_.handle);
    }

    std::vector<std::string> ReadLines() const {
        std::ifstream in(file_, std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }

    std::string ReadAll() const {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // True when this process holds an open descriptor on the trace file.
    bool FileIsOpen() const {
        DIR* fds = opendir("/proc/self/fd");
        if (fds == nullptr) return false;
        bool open = false;
        while (dirent* entry = readdir(fds)) {
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            char target[PATH_MAX];
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == file_) open = true;
        }
        closedir(fds);
        return open;
    }

    Library lib_;
    std::string dir_;
    std::string file_;
};

struct TraceLine {
    std::string thread;
    std::string channel;
    std::string text;
};

// Splits "YYYY-MM-DD HH:MM:SS.mmm T<thread> C<channel> <text>"; false when the line does not
// have that form. (Parsed by hand: lines can be far longer than a regex engine likes.)
bool ParseLine(const std::string& line, TraceLine* out) {
    const std::string stamp = "dddd-dd-dd dd:dd:dd.ddd";
    if (line.size() < stamp.size() + 6) return false;
    for (size_t i = 0; i < stamp.size(); ++i) {
        if (stamp[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != stamp[i]) {
            return false;
        }
    }
    size_t p = stamp.size();
    auto number = [&](char tag, bool allowSign, std::string* value) {
        if (line.compare(p, 2, std::string(" ") + tag) != 0) return false;
        p += 2;
        const size_t begin = p;
        if (allowSign && p < line.size() && line[p] == '-') ++p;
        const size_t digits = p;
        while (p < line.size() && isdigit(static_cast<unsigned char>(line[p]))) ++p;
        if (p == digits) return false;
        *value = line.substr(begin, p - begin);
        return true;
    };
    if (!number('T', false, &out->thread) || !number('C', true, &out->channel)) return false;
    if (p >= line.size() || line[p] != ' ') return false;
    out->text = line.substr(p + 1);
    return true;
}

TEST_F(OrvaneTest, StaysOffWithoutTheVariable) {
    EXPECT_EQ(lib_.start(), 0);
    EXPECT_EQ(lib_.orvane(1, "nothing"), 0);
    setenv("ORVANE_TRACE_FILE", "", 1);
    EXPECT_EQ(lib_.start(), 0);
    // A file that cannot be opened leaves tracing off as well.
    setenv("ORVANE_TRACE_FILE", (dir_ + "/missing/trace.log").c_str(), 1);
    EXPECT_EQ(lib_.start(), 0);
    EXPECT_EQ(lib_.orvane(1, "nothing"), 0);
    lib_.stop();  // harmless when off
}

TEST_F(OrvaneTest, WritesLinesInTheDocumentedFormat) {
    setenv("ORVANE_TRACE_FILE", file_.c_str(), 1);
    ASSERT_EQ(lib_.start(), 1);
    EXPECT_EQ(lib_.start(), 1);  // already on
    EXPECT_EQ(lib_.orvane(3, "Ret=15; send (5, GET /input?PW=&, 15, 0)"), 1);
    // Control bytes and backslashes are escaped so that a call is always one line; bytes above
    // 127 pass unchanged.
    EXPECT_EQ(lib_.orvane(-7, "a\nb\r\\c\x7f\xff\xfa,2"), 1);
    EXPECT_EQ(lib_.orvane(1, nullptr), 1);
    lib_.stop();

    const std::vector<std::string> lines = ReadLines();
    ASSERT_EQ(lines.size(), 3u);
    const std::string tid = std::to_string(syscall(SYS_gettid));
    const char* texts[] = {"Ret=15; send (5, GET /input?PW=&, 15, 0)",
                           "a\\x0Ab\\x0D\\\\c\\x7F\xff\xfa,2", ""};
    const char* channels[] = {"3", "-7", "1"};
    for (size_t i = 0; i < lines.size(); ++i) {
        TraceLine parsed;
        ASSERT_TRUE(ParseLine(lines[i], &parsed)) << lines[i];
        EXPECT_EQ(parsed.thread, tid);
        EXPECT_EQ(parsed.channel, channels[i]);
        EXPECT_EQ(parsed.text, texts[i]);
    }
}

TEST_F(OrvaneTest, ConcurrentWritersProduceWholeLines) {
    setenv("ORVANE_TRACE_FILE", file_.c_str(), 1);
    ASSERT_EQ(lib_.start(), 1);
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int n = 0; n < kLinesPerThread; ++n) {
                // Lengths vary; some lines are longer than the library's line buffer.
                const size_t padding = n % 7 == 0 ? 6000 : static_cast<size_t>(n % 300);
                const std::string text = "w" + std::to_string(t) + " n" + std::to_string(n) + " " +
                                         std::string(padding, static_cast<char>('a' + t));
                lib_.orvane(t % 3 + 1, text.c_str());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    lib_.stop();

    const std::vector<std::string> lines = ReadLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));
    std::map<int, int> next;  // per writer: the number of its next line
    for (const std::string& line : lines) {
        TraceLine parsed;
        ASSERT_TRUE(ParseLine(line, &parsed)) << line.substr(0, 80);
        int t = -1, n = -1, used = 0;
        ASSERT_EQ(std::sscanf(parsed.text.c_str(), "w%d n%d %n", &t, &n, &used), 2)
            << parsed.text.substr(0, 80);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(parsed.channel, std::to_string(t % 3 + 1));
        EXPECT_EQ(n, next[t]) << "lines of one writer out of order or lost";
        next[t] = n + 1;
        const size_t padding = n % 7 == 0 ? 6000 : static_cast<size_t>(n % 300);
        EXPECT_EQ(parsed.text.substr(static_cast<size_t>(used)),
                  std::string(padding, static_cast<char>('a' + t)));
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLinesPerThread);
}

TEST_F(OrvaneTest, StopClosesTheFileAndStartAppends) {
    setenv("ORVANE_TRACE_FILE", file_.c_str(), 1);
    ASSERT_EQ(lib_.start(), 1);
    EXPECT_TRUE(FileIsOpen());
    EXPECT_EQ(lib_.orvane(1, "first"), 1);
    lib_.stop();
    EXPECT_FALSE(FileIsOpen());
    const std::string afterStop = ReadAll();
    EXPECT_EQ(lib_.orvane(1, "after stop"), 0);
    EXPECT_EQ(ReadAll(), afterStop);
    lib_.stop();  // a second stop is harmless

    // Starting again appends to what is there.
    ASSERT_EQ(lib_.start(), 1);
    EXPECT_EQ(lib_.orvane(2, "second"), 1);
    lib_.stop();
    const std::vector<std::string> lines = ReadLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" C1 first"), std::string::npos);
    EXPECT_NE(lines[1].find(" C2 second"), std::string::npos);
}

TEST_F(OrvaneTest, ChannelSettingsAndFileOverride) {
    EXPECT_EQ(lib_.setColor(3, 0xFF0000u), 1);
    EXPECT_EQ(lib_.setColor(ORVANE_CHANNELS, 0), 0);
    EXPECT_EQ(lib_.setMedium(-1, ORVANE_MEDIUM_NONE), 0);
    EXPECT_EQ(lib_.setMedium(2, 7), 0);
    ASSERT_EQ(lib_.setMedium(2, ORVANE_MEDIUM_NONE), 1);

    // The named file takes the place of the environment variable.
    setenv("ORVANE_TRACE_FILE", (dir_ + "/other.log").c_str(), 1);
    ASSERT_EQ(lib_.setFile(file_.c_str()), 1);
    ASSERT_EQ(lib_.start(), 1);
    EXPECT_EQ(lib_.orvane(2, "dropped"), 0);
    EXPECT_EQ(lib_.orvane(3, "kept"), 1);
    EXPECT_EQ(lib_.orvane(1000, "unconfigurable channels are written"), 1);
    ASSERT_EQ(lib_.setMedium(2, ORVANE_MEDIUM_FILE), 1);
    EXPECT_EQ(lib_.orvane(2, "kept again"), 1);
    lib_.stop();

    const std::vector<std::string> lines = ReadLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" C3 kept"), std::string::npos);
    EXPECT_NE(lines[1].find(" C1000 unconfigurable"), std::string::npos);
    EXPECT_NE(lines[2].find(" C2 kept again"), std::string::npos);
    EXPECT_NE(access((dir_ + "/other.log").c_str(), F_OK), 0);
    EXPECT_EQ(lib_.setFile(std::string(5000, 'x').c_str()), 0);
}

}  // namespace
