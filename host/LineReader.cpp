#include "host/LineReader.h"

#include <limits>

namespace tamsel::host {

LineRead readLine(std::istream& input, std::string& line, std::size_t largest) {
    line.resize(largest + 1);
    input.getline(line.data(), static_cast<std::streamsize>(largest + 1));
    const auto stored = static_cast<std::size_t>(input.gcount());
    if (!input.fail()) {
        // gcount counts the '\n' getline took but did not store.
        line.resize(input.eof() ? stored : stored - 1);
        return LineRead::line;
    }
    line.clear();
    if (stored == 0) return LineRead::end;
    // The cap was reached before the line's end: drop the rest unread into memory.
    input.clear();
    input.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return LineRead::tooLong;
}

}  // namespace tamsel::host
