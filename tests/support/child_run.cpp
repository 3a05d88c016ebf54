#include "support/child_run.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace vexlor::testing {

ChildOutcome RunInChild(const std::function<void()>& body, int timeoutSeconds) {
    ChildOutcome outcome;
    char pattern[] = "/tmp/vexlor-child-stderr-XXXXXX";
    const int capture = mkstemp(pattern);
    if (capture < 0) return outcome;
    const std::string capturePath = pattern;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(capture, STDERR_FILENO);
        close(capture);
        alarm(static_cast<unsigned>(timeoutSeconds));
        // A sanitizer runtime starts a helper thread of its own with the first thread a process
        // creates: have that happen now, so that thread counts taken by the body stay stable.
        std::thread([] {}).join();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        body();
        const bool failed = ::testing::Test::HasFailure();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(failed ? 1 : 0);
    }
    close(capture);
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        outcome.exited = WIFEXITED(status);
        outcome.exitCode = outcome.exited ? WEXITSTATUS(status) : -1;
        outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    std::ifstream in(capturePath, std::ios::binary);
    outcome.standardError.assign(std::istreambuf_iterator<char>(in), {});
    unlink(capturePath.c_str());
    return outcome;
}

int ErrorBoxLines(const std::string& standardError, const std::string& caption) {
    int count = 0;
    const std::string start = caption + ": ";
    std::istringstream lines(standardError);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, start.size(), start) == 0) ++count;
    }
    return count;
}

}  // namespace vexlor::testing
