#pragma once
// Reads input a line at a time with a cap on what one line may hold, so that a
// line without end costs no more memory than the cap.
#include <cstddef>
#include <cstdio>
#include <string>

namespace tamsel::host {

// A push line is a few KiB at most; anything past this is not one.
constexpr std::size_t kLargestLine = 64 * 1024;

enum class LineRead { line, tooLong, end };

// Reads the next line (without its '\n') into `line`. A line longer than
// `largest` bytes is skipped up to and including its '\n' without being kept
// (`line` is then empty) and gives tooLong; the line after it is read next.
LineRead readLine(std::FILE* input, std::string& line, std::size_t largest = kLargestLine);

}  // namespace tamsel::host
