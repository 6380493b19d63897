#pragma once
// The real files, below one platform root:
//   <root>/containers/<group>/     an application group's container (present
//                                  only when that directory exists)
//   <root>/application-support/    the user's application-support directory
// Everything else is plain POSIX on the paths it is given.
#include <filesystem>

#include "platform/FileSystem.h"

namespace tamsel::platform {

class PosixFileSystem final : public FileSystem {
  public:
    explicit PosixFileSystem(std::filesystem::path root);

    std::optional<std::filesystem::path> containerDirectory(const std::string& group) override;
    std::filesystem::path applicationSupportDirectory() override;
    void createDirectories(const std::filesystem::path& path, mode_t mode) override;
    bool exists(const std::filesystem::path& path) override;
    using FileSystem::readFile;
    std::string readFile(const std::filesystem::path& path, std::size_t spare) override;
    bool holds(const std::filesystem::path& path, std::span<const std::string_view> pieces) override;
    // Both replace the file as AtomicFile.h describes.
    void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) override;
    using FileSystem::stageFile;
    std::unique_ptr<StagedFile> stageFile(const std::filesystem::path& path,
                                          std::span<const std::string_view> pieces) override;
    void setPermissions(const std::filesystem::path& path, mode_t mode) override;
    int open(const std::filesystem::path& path, int flags, mode_t mode) override;
    int flock(int fd, int operation) override;
    int close(int fd) override;

    // Without an instance, for the host and the other file-backed services.
    static void makeDirectories(const std::filesystem::path& path, mode_t mode);

  private:
    std::filesystem::path root_;
};

}  // namespace tamsel::platform
