#pragma once
// Wraps a real FileSystem and fails any of its operations on demand.
//
// A failure is planned for the n-th call of one operation from now (1 = the
// next). Throwing operations throw the planned error. open() and flock() return
// -1 with the planned errno without calling through; a failing close() still
// closes the descriptor (as Linux does) and then returns -1, so nothing leaks.
// Every call is counted. Safe from any thread.
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>
#include <vector>

#include "platform/FileSystem.h"

namespace tamsel::platform::testing {

enum class FileOperation {
    containerDirectory,
    applicationSupportDirectory,
    createDirectories,
    exists,
    readFile,
    writeFileAtomically,
    setPermissions,
    open,
    flock,
    close,
};

const char* fileOperationName(FileOperation operation);

class FaultyFileSystem final : public FileSystem {
  public:
    explicit FaultyFileSystem(std::shared_ptr<FileSystem> real);

    // Throwing operations: the n-th call throws `error`.
    void failCall(FileOperation operation, int nth, std::exception_ptr error);
    template <class E>
    void failNext(FileOperation operation, E error) {
        failCall(operation, 1, std::make_exception_ptr(std::move(error)));
    }
    // open/flock/close: the n-th call returns -1 with errno set to `error`.
    void failRawCall(FileOperation operation, int nth, int error);
    void clearFailures();

    int calls(FileOperation operation) const;
    // The descriptors opened through this object and not yet closed through it.
    std::vector<int> openDescriptors() const;

    std::optional<std::filesystem::path> containerDirectory(const std::string& group) override;
    std::filesystem::path applicationSupportDirectory() override;
    void createDirectories(const std::filesystem::path& path, mode_t mode) override;
    bool exists(const std::filesystem::path& path) override;
    using FileSystem::readFile;
    std::string readFile(const std::filesystem::path& path, std::size_t spare) override;
    void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) override;
    void setPermissions(const std::filesystem::path& path, mode_t mode) override;
    int open(const std::filesystem::path& path, int flags, mode_t mode) override;
    int flock(int fd, int operation) override;
    int close(int fd) override;

  private:
    using Failure = std::variant<std::exception_ptr, int>;
    // Counts the call and returns the failure planned for it, if any.
    std::optional<Failure> enter(FileOperation operation);
    void throwIfPlanned(FileOperation operation);

    std::shared_ptr<FileSystem> real_;
    mutable std::mutex mutex_;
    std::map<FileOperation, int> calls_;
    std::map<std::pair<FileOperation, int>, Failure> planned_;
    std::vector<int> open_;
};

}  // namespace tamsel::platform::testing
