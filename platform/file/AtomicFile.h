#pragma once
// The POSIX pieces every file-backed service shares: an owning descriptor,
// reading a regular file, and replacing a file atomically.
//
// A replacement is written to a temporary file beside the target (0600, named
// ".<target's name>.XXXXXX", which is how a leftover of ours is told apart), made
// durable, then renamed over the target and the directory synced: after a
// crash the target holds the old or the new bytes, never a part. Errors are
// FileSystemError. Everything here is synchronous and safe from any thread.
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace tamsel::platform {

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
    // Closes now and reports a failure, which matters after writing.
    int close();

  private:
    int fd_ = -1;
};

// Writes every byte, retrying short writes and EINTR.
void writeAll(int fd, std::string_view bytes);

// The whole file's bytes.
std::string readRegularFile(const std::filesystem::path& path);

// Bytes written in full beside `path` (not yet in its place); commit() renames
// them over it. See StagedFile.
std::unique_ptr<StagedFile> stageReplacement(const std::filesystem::path& path, std::string_view bytes);
void replaceAtomically(const std::filesystem::path& path, std::string_view bytes);

}  // namespace tamsel::platform
