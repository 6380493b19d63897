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
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

namespace tamsel::testing {

using ProcessRole = int (*)();
// Registers a role; returns true so that it can initialise a static.
bool registerProcessRole(const char* name, ProcessRole role);

#define TAMSEL_TEST_PROCESS_ROLE(name)                               \
    static int name##_role();                                        \
    [[maybe_unused]] static const bool name##_registered =           \
        ::tamsel::testing::registerProcessRole(#name, &name##_role); \
    static int name##_role()

class SpawnedTestProcess {
  public:
    SpawnedTestProcess(const std::string& role, const std::map<std::string, std::string>& environment);
    ~SpawnedTestProcess();
    SpawnedTestProcess(const SpawnedTestProcess&) = delete;
    SpawnedTestProcess& operator=(const SpawnedTestProcess&) = delete;

    // One line from the child's stdout (without the line break); nothing at EOF.
    std::optional<std::string> readLine();
    // Everything the child writes until it closes its stdout.
    std::string readAll();
    void writeLine(const std::string& line);
    void closeInput();
    // Waits for the child and returns its exit status (-1 when it did not exit normally).
    int wait();

  private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string buffered_;
    std::optional<int> status_;
};

}  // namespace tamsel::testing
