#pragma once
// Runs this very test executable again as a child process in a given role, for
// tests that need a second, real process (file locks held elsewhere, processes
// racing on shared files).
//
// A test file registers its roles with TAMSEL_TEST_PROCESS_ROLE(name) { ... }.
// The child is started with TAMSEL_TEST_PROCESS_ROLE=name in its environment
// (plus the given variables); before any test runs, the role's body is run and
// the child exits with its result. The child's stdin and stdout are pipes to
// the parent.
#include <map>
#include <optional>
#include <string>

#include "tests/support/Process.h"

namespace tamsel::testing {

using ProcessRole = int (*)();
// Registers a role; returns true so that it can initialise a static.
bool registerProcessRole(const char* name, ProcessRole role);

#define TAMSEL_TEST_PROCESS_ROLE(name)                               \
    static int name##_role();                                        \
    [[maybe_unused]] static const bool name##_registered =           \
        ::tamsel::testing::registerProcessRole(#name, &name##_role); \
    static int name##_role()

// This executable again in the given role; stderr is the test's own.
class SpawnedTestProcess {
  public:
    SpawnedTestProcess(const std::string& role, const std::map<std::string, std::string>& environment);

    // One line from the child's stdout (without the line break); nothing at EOF.
    std::optional<std::string> readLine() { return child_.readLine(std::chrono::hours(1)); }
    // Everything the child writes until it closes its stdout.
    std::string readAll() { return child_.readAll(); }
    void writeLine(const std::string& line) { child_.write(line + "\n"); }
    void closeInput() { child_.closeInput(); }
    void signal(int signal) const { child_.signal(signal); }
    // Waits for the child and returns its exit status (-1 when it did not exit normally).
    int wait() {
        int code = child_.wait();
        return code < 0 ? -1 : code;
    }

  private:
    Subprocess child_;
};

}  // namespace tamsel::testing
