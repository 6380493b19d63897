#include "platform/linux/JournalStream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace tamsel::platform {

bool stderrIsJournalStream() {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (!value || !*value) return false;
    std::uintmax_t device = 0, inode = 0;
    int consumed = 0;
    if (std::sscanf(value, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &consumed) != 2 ||
        value[consumed] != '\0')
        return false;
    struct stat info {};
    if (::fstat(2, &info) != 0) return false;
    return static_cast<std::uintmax_t>(info.st_dev) == device &&
           static_cast<std::uintmax_t>(info.st_ino) == inode;
}

}  // namespace tamsel::platform
