#pragma once
// Child processes for tests that drive real binaries (or this test executable
// again, see SpawnedTestProcess.h): run one to completion with its output
// captured, or start one that runs alongside the test.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScratchDirectory.h"

namespace tamsel::testing {

struct SubprocessOptions {
    // Set in the child's environment on top of this process's (an empty value stays set, empty).
    std::map<std::string, std::string> environment{};
    // Where stdout and stderr go: a pipe to the test when not given.
    std::optional<std::filesystem::path> stdoutFile{};
    std::optional<std::filesystem::path> stderrFile{};
    bool pipeStderr = true;  // false and no file: the test's own stderr
};

// A started child with a pipe to its stdin. The destructor closes the pipes and
// kills (SIGKILL) and reaps a child still running.
class Subprocess {
  public:
    explicit Subprocess(const std::vector<std::string>& argv, SubprocessOptions options = {});
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }
    // One line of stdout (without its line break); nothing at its end or after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Everything left on stdout until the child closes it.
    std::string readAll();
    void write(const std::string& text);
    void closeInput();
    void signal(int signal) const;
    // The exit code (-signal when killed), once the child has ended within `timeout`.
    std::optional<int> waitFor(std::chrono::nanoseconds timeout);
    int wait();
    // The raw wait status and ru_maxrss (KiB) once it has ended.
    std::optional<int> waitStatus() const { return status_; }
    long peakRssKiB() const { return peakRssKiB_; }

    int inputFd() const { return in_; }
    int outputFd() const { return out_; }
    int errorFd() const { return err_; }
    // Marks a pipe as closed by the caller that drained it.
    void forgetOutput(int fd);

  private:
    void reap(int options);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string buffered_;
    std::optional<int> status_;
    long peakRssKiB_ = 0;
};

struct ProcessResult {
    int exitCode = -1;  // -signal when killed by a signal
    std::string out;
    std::string err;
    long peakRssKiB = 0;  // the child's largest resident set (getrusage's ru_maxrss)
    bool timedOut = false;
};

// Runs argv with `input` on stdin, capturing stdout and stderr; kills it after `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         const std::map<std::string, std::string>& environment = {});

// The built binaries of this project.
std::filesystem::path binaryPath(const std::string& name);

// Lines of text (without their line breaks).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace tamsel::testing
