#include "platform/testing/FaultyFileSystem.h"

#include <algorithm>
#include <cerrno>

namespace tamsel::platform::testing {

const char* fileOperationName(FileOperation operation) {
    switch (operation) {
        case FileOperation::containerDirectory:
            return "containerDirectory";
        case FileOperation::applicationSupportDirectory:
            return "applicationSupportDirectory";
        case FileOperation::createDirectories:
            return "createDirectories";
        case FileOperation::exists:
            return "exists";
        case FileOperation::readFile:
            return "readFile";
        case FileOperation::writeFileAtomically:
            return "writeFileAtomically";
        case FileOperation::setPermissions:
            return "setPermissions";
        case FileOperation::open:
            return "open";
        case FileOperation::flock:
            return "flock";
        case FileOperation::close:
            return "close";
    }
    return "?";
}

FaultyFileSystem::FaultyFileSystem(std::shared_ptr<FileSystem> real) : real_(std::move(real)) {}

void FaultyFileSystem::failCall(FileOperation operation, int nth, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    planned_[{operation, calls_[operation] + nth}] = std::move(error);
}

void FaultyFileSystem::failRawCall(FileOperation operation, int nth, int error) {
    std::lock_guard lock(mutex_);
    planned_[{operation, calls_[operation] + nth}] = error;
}

void FaultyFileSystem::clearFailures() {
    std::lock_guard lock(mutex_);
    planned_.clear();
}

int FaultyFileSystem::calls(FileOperation operation) const {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<int> FaultyFileSystem::openDescriptors() const {
    std::lock_guard lock(mutex_);
    return open_;
}

std::optional<FaultyFileSystem::Failure> FaultyFileSystem::enter(FileOperation operation) {
    std::lock_guard lock(mutex_);
    int call = ++calls_[operation];
    auto it = planned_.find({operation, call});
    if (it == planned_.end()) return std::nullopt;
    Failure failure = it->second;
    planned_.erase(it);
    return failure;
}

void FaultyFileSystem::throwIfPlanned(FileOperation operation) {
    auto failure = enter(operation);
    if (!failure) return;
    if (auto* error = std::get_if<std::exception_ptr>(&*failure)) std::rethrow_exception(*error);
    throw FileSystemError(std::get<int>(*failure), fileOperationName(operation));
}

std::optional<std::filesystem::path> FaultyFileSystem::containerDirectory(const std::string& group) {
    throwIfPlanned(FileOperation::containerDirectory);
    return real_->containerDirectory(group);
}

std::filesystem::path FaultyFileSystem::applicationSupportDirectory() {
    throwIfPlanned(FileOperation::applicationSupportDirectory);
    return real_->applicationSupportDirectory();
}

void FaultyFileSystem::createDirectories(const std::filesystem::path& path, mode_t mode) {
    throwIfPlanned(FileOperation::createDirectories);
    real_->createDirectories(path, mode);
}

bool FaultyFileSystem::exists(const std::filesystem::path& path) {
    throwIfPlanned(FileOperation::exists);
    return real_->exists(path);
}

std::string FaultyFileSystem::readFile(const std::filesystem::path& path, std::size_t spare) {
    throwIfPlanned(FileOperation::readFile);
    return real_->readFile(path, spare);
}

void FaultyFileSystem::writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    throwIfPlanned(FileOperation::writeFileAtomically);
    real_->writeFileAtomically(path, bytes);
}

void FaultyFileSystem::setPermissions(const std::filesystem::path& path, mode_t mode) {
    throwIfPlanned(FileOperation::setPermissions);
    real_->setPermissions(path, mode);
}

namespace {
int rawFailure(const std::variant<std::exception_ptr, int>& failure) {
    errno = std::holds_alternative<int>(failure) ? std::get<int>(failure) : EIO;
    return -1;
}
}  // namespace

int FaultyFileSystem::open(const std::filesystem::path& path, int flags, mode_t mode) {
    if (auto failure = enter(FileOperation::open)) return rawFailure(*failure);
    int fd = real_->open(path, flags, mode);
    if (fd >= 0) {
        std::lock_guard lock(mutex_);
        open_.push_back(fd);
    }
    return fd;
}

int FaultyFileSystem::flock(int fd, int operation) {
    if (auto failure = enter(FileOperation::flock)) return rawFailure(*failure);
    return real_->flock(fd, operation);
}

int FaultyFileSystem::close(int fd) {
    {
        // The descriptor is given up whatever close() reports, as POSIX has it
        // on Linux; a planned failure still closes it so that nothing leaks.
        std::lock_guard lock(mutex_);
        open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
    }
    auto failure = enter(FileOperation::close);
    int result = real_->close(fd);
    if (failure) return rawFailure(*failure);
    return result;
}

}  // namespace tamsel::platform::testing
