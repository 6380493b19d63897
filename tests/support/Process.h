#pragma once
// Runs a child process with piped stdin/stdout/stderr, for tests that drive the
// real binaries.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tamsel::testing {

struct ProcessResult {
    int exitCode = -1;  // -signal when killed by a signal
    std::string out;
    std::string err;
    long peakRssKiB = 0;  // the child's largest resident set (getrusage's ru_maxrss)
};

// Runs argv with `input` on stdin; kills it after `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The built binaries of this project.
std::filesystem::path binaryPath(const std::string& name);

// A fresh temporary directory removed when the object goes.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Lines of text (without their line breaks).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace tamsel::testing
