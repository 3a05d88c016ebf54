// RunInChild: runs a test body in a forked child process whose standard error is captured.
//
// The driver reports a reply it does not recognise as an error box, which on Linux is one line
// "<caption>: <text>" on the process's standard error. Tests that must know whether such a line
// appeared run the host side in a child and count the lines afterwards:
//
//     const vexlor::testing::ChildOutcome outcome = vexlor::testing::RunInChild([&] {
//         ... load the driver, call it, EXPECT_... ...
//     }, 60);
//     EXPECT_TRUE(outcome.passed()) << outcome.standardError;
//     EXPECT_EQ(vexlor::testing::ErrorBoxLines(outcome.standardError, "Web-IO 12xDigital"), 0);
#pragma once

#include <functional>
#include <string>

namespace vexlor::testing {

// What a test body run in a child process left behind.
struct ChildOutcome {
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
    std::string standardError;  // everything the child wrote there (error boxes, sanitizers)
    bool passed() const { return exited && exitCode == 0; }
};

// Runs body in a forked child: its standard error goes to a file that the parent reads back, its
// GoogleTest failures count as usual (they are printed by the child and make it exit 1), and an
// alarm ends it after timeoutSeconds. The child never runs destructors of the parent's objects.
ChildOutcome RunInChild(const std::function<void()>& body, int timeoutSeconds);

// Lines of a child's standard error that are error boxes with this caption ("caption: text").
int ErrorBoxLines(const std::string& standardError, const std::string& caption);

}  // namespace vexlor::testing
