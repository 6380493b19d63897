#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <thread>
#include <vector>

namespace tamsel::platform {
namespace {

[[noreturn]] void fail(const char* operation, int error = errno) { throw FileSystemError(error, operation); }

// openRegular(), giving back what fstat found as well.
int openChecked(const std::filesystem::path& path, int flags, mode_t mode, struct stat& info) noexcept {
    // O_NONBLOCK: opening a FIFO would otherwise wait for its other end.
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = kNotARegularFile;
    else if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

Descriptor openChecked(const std::filesystem::path& path, struct stat& info) {
    Descriptor fd(openChecked(path, O_RDONLY, 0, info));
    if (!fd) fail("open");
    return fd;
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int Descriptor::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

int Descriptor::close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
}

int openRegular(const std::filesystem::path& path, int flags, mode_t mode) noexcept {
    struct stat info {};
    return openChecked(path, flags, mode, info);
}

Descriptor openRegularFile(const std::filesystem::path& path, int flags, mode_t mode) {
    Descriptor fd(openRegular(path, flags, mode));
    if (!fd) fail("open");
    return fd;
}

std::string readRegularFile(const std::filesystem::path& path, std::size_t limit, std::size_t spare) {
    struct stat info {};
    Descriptor fd = openChecked(path, info);
    std::string bytes;
    // Room for the whole file at once: grown by appending, the string would end
    // up to twice the file's size, and hold both copies while it grows.
    if (info.st_size > 0) {
        if (static_cast<std::uintmax_t>(info.st_size) > limit) fail("read", EFBIG);
        bytes.reserve(static_cast<std::size_t>(info.st_size) + spare);
    } else if (spare > 0) {
        bytes.reserve(spare);
    }
    char buffer[65536];
    for (;;) {
        // One byte past the cap at most, to tell a file that grew past it.
        const std::size_t room = limit - std::min(limit, bytes.size());
        const std::size_t wanted = std::min<std::size_t>(sizeof buffer, room == SIZE_MAX ? room : room + 1);
        ssize_t n = ::read(fd.get(), buffer, wanted);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("read");
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > limit) fail("read", EFBIG);
    }
    return bytes;
}

bool regularFileHolds(const std::filesystem::path& path, std::span<const std::string_view> pieces) {
    struct stat info {};
    Descriptor fd = openChecked(path, info);
    std::size_t size = 0;
    for (auto piece : pieces) size += piece.size();
    if (static_cast<std::uintmax_t>(info.st_size) != size) return false;
    char buffer[65536];
    auto piece = pieces.begin();
    std::size_t offset = 0;  // into *piece
    std::size_t compared = 0;
    for (;;) {
        // One byte more than expected at most, to tell a file that grew meanwhile.
        const std::size_t wanted = std::min(sizeof buffer, size - compared + 1);
        ssize_t n = ::read(fd.get(), buffer, wanted);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("read");
        }
        if (n == 0) return compared == size;
        if (compared + static_cast<std::size_t>(n) > size) return false;
        compared += static_cast<std::size_t>(n);
        std::string_view read(buffer, static_cast<std::size_t>(n));
        while (!read.empty()) {
            if (piece == pieces.end()) return false;
            const std::size_t length = std::min(read.size(), piece->size() - offset);
            if (read.substr(0, length) != piece->substr(offset, length)) return false;
            read.remove_prefix(length);
            offset += length;
            if (offset == piece->size()) {
                ++piece;
                offset = 0;
            }
        }
    }
}

void writeAll(int fd, std::string_view bytes) { writeAll(fd, std::span<const std::string_view>(&bytes, 1)); }

void writeAll(int fd, std::span<const std::string_view> pieces) {
    std::vector<iovec> pending;
    std::size_t next = 0;  // of pieces, not yet in pending
    while (next < pieces.size()) {
        pending.clear();
        for (; next < pieces.size() && pending.size() < IOV_MAX; ++next)
            if (!pieces[next].empty())
                pending.push_back({const_cast<char*>(pieces[next].data()), pieces[next].size()});
        std::size_t first = 0;  // of pending, not yet wholly written
        while (first < pending.size()) {
            ssize_t written = ::writev(fd, pending.data() + first, static_cast<int>(pending.size() - first));
            if (written < 0) {
                if (errno == EINTR) continue;
                fail("write");
            }
            auto left = static_cast<std::size_t>(written);
            while (first < pending.size() && left >= pending[first].iov_len) left -= pending[first++].iov_len;
            if (left > 0) {
                pending[first].iov_base = static_cast<char*>(pending[first].iov_base) + left;
                pending[first].iov_len -= left;
            }
        }
    }
}

void lockExclusively(int fd, TaskDeadline deadline) {
    using namespace std::chrono;
    auto pause = milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
        if (errno != EWOULDBLOCK && errno != EINTR) fail("flock");
        checkCancellation();
        const auto now = steady_clock::now();
        if (now >= deadline) fail("flock", ETIMEDOUT);
        std::this_thread::sleep_for(std::min<steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, milliseconds(20));
    }
}

}  // namespace tamsel::platform
