#pragma once
// The POSIX pieces every file-backed service shares: an owning descriptor,
// reading a regular file, and replacing a file atomically.
//
// A replacement is written to a temporary file beside the target (0600, named
// ".<target's name>.XXXXXX", which is how a leftover of ours is told apart), made
// durable, then renamed over the target and the directory synced: after a
// crash the target holds the old or the new bytes, never a part. A process
// killed between the two leaves its temporary file behind; the first write of
// the same target in a process (and then one every few minutes) removes those
// older than any run can last. Errors are FileSystemError. Everything here is
// synchronous and safe from any thread.
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/RegularFile.h"

namespace tamsel::platform {

// How much of a replacement is synced before it counts as done.
enum class Durability {
    // The bytes, and then the directory after the rename: the new bytes
    // survive a power loss.
    full,
    // The bytes only: a power loss may undo the rename, leaving the old bytes
    // whole (never an empty or partial file, since the bytes were synced first).
    contents,
    // Nothing. Every process, including one killed at any moment, still sees
    // the old bytes or the new ones whole (the kernel keeps what was written),
    // but a crash of the system or a power loss may also leave the target empty
    // or zero-filled where the file system wrote the rename before the bytes.
    // Only for a file whose reader takes such bytes as lost (LockedJsonFile).
    none,
};

// Bytes written in full beside `path` (not yet in its place); commit() renames
// them over it. See StagedFile.
// The bytes are the pieces joined in order.
std::unique_ptr<StagedFile> stageReplacement(const std::filesystem::path& path,
                                             std::span<const std::string_view> pieces,
                                             Durability durability = Durability::full);
std::unique_ptr<StagedFile> stageReplacement(const std::filesystem::path& path, std::string_view bytes,
                                             Durability durability = Durability::full);
void replaceAtomically(const std::filesystem::path& path, std::string_view bytes,
                       Durability durability = Durability::full);

}  // namespace tamsel::platform
