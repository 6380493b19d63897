#include "host/LineReader.h"

namespace tamsel::host {

LineRead readLine(std::FILE* input, std::string& line, std::size_t largest) {
    // Byte by byte from the stream's buffer into a string that grows only as
    // far as the line does: a push line is a few hundred bytes, and a buffer of
    // the largest size, cleared for every line, cost a run 16 page faults.
    line.clear();
    bool tooLong = false;
    for (;;) {
        const int c = getc_unlocked(input);
        if (c == EOF) {
            if (tooLong) return LineRead::tooLong;
            return line.empty() ? LineRead::end : LineRead::line;
        }
        if (c == '\n') return tooLong ? LineRead::tooLong : LineRead::line;
        if (tooLong) continue;
        if (line.size() == largest) {
            // Past the cap: the rest is read up to its '\n' but not kept.
            tooLong = true;
            line.clear();
            continue;
        }
        line.push_back(static_cast<char>(c));
    }
}

}  // namespace tamsel::host
