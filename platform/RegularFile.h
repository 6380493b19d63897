#pragma once
// Opening, reading and locking the platform's files safely: only a regular file
// is ever read, written or locked (a link is not followed, a FIFO or device is
// refused at once instead of blocking the run), a read stops past its cap, and
// a lock is waited for only until the run's deadline.
// Errors are FileSystemError carrying the errno: ELOOP for a link in the file's
// place, kNotARegularFile for a directory, FIFO, socket or device, EFBIG past a
// read's cap, ETIMEDOUT for a lock not had in time; CancellationError when the
// current task is cancelled while waiting. Safe from any thread.
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Task.h"

namespace tamsel::platform {

// Something other than a regular file where one belongs.
inline constexpr int kNotARegularFile = EMEDIUMTYPE;

// Closes a descriptor on every exit of the scope that opened it.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller.
    int release();
    // Closes now and reports a failure, which matters after writing.
    int close();

  private:
    int fd_ = -1;
};

// open(2) with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC added, then fstat: anything
// but a regular file is closed and refused. O_NONBLOCK is cleared again before
// returning. The first returns -1 with errno set, as a system call would.
int openRegular(const std::filesystem::path& path, int flags, mode_t mode = 0600) noexcept;
Descriptor openRegularFile(const std::filesystem::path& path, int flags, mode_t mode = 0600);

// The whole file's bytes; EFBIG when it holds more than `limit` (no more than
// limit + 1 bytes are read). Room for `spare` more bytes is kept after them.
std::string readRegularFile(const std::filesystem::path& path,
                            std::size_t limit = std::numeric_limits<std::size_t>::max(),
                            std::size_t spare = 0);
// True when the file holds exactly the pieces joined in order; read and compared
// a part at a time, and not read at all when its size differs.
bool regularFileHolds(const std::filesystem::path& path, std::span<const std::string_view> pieces);

// Writes every byte, retrying short writes and EINTR.
void writeAll(int fd, std::string_view bytes);
// The pieces in order, as one write would (writev, as many at a time as it takes).
void writeAll(int fd, std::span<const std::string_view> pieces);

// Takes an exclusive flock on `fd`, polling (1 ms growing to 20 ms between
// tries) until the deadline.
void lockExclusively(int fd, TaskDeadline deadline);

}  // namespace tamsel::platform
