#include "platform/file/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

namespace tamsel::platform {
namespace {

[[noreturn]] void fail(const char* operation, int error = errno) { throw FileSystemError(error, operation); }

// Longer than any run may last: a temporary file this old has no writer left.
constexpr auto kAbandoned = std::chrono::minutes(10);

// Removes the leftovers of earlier writes of `target` (named as below) that were
// never renamed into place because their process died.
void removeAbandonedTemporaries(const std::filesystem::path& directory, const std::string& prefix) {
    std::error_code error;
    const auto cutoff = std::filesystem::file_time_type::clock::now() - kAbandoned;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::error_code ignored;
        if (!it->is_regular_file(ignored) || it->is_symlink(ignored)) continue;
        auto written = it->last_write_time(ignored);
        if (!ignored && written < cutoff) ::unlink(it->path().c_str());
    }
}

// Whether the leftovers of `pattern` are due to be looked for: at the first write
// of a target in this process, then once per half of kAbandoned. Listing the
// directory before every write almost never found anything new, and cost the
// stores that rewrite their file for every change one listing per change.
bool sweepDue(const std::string& pattern) {
    static std::mutex mutex;
    static std::map<std::string, std::chrono::steady_clock::time_point> swept;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    auto [it, first] = swept.try_emplace(pattern, now);
    if (first) return true;
    if (now - it->second < kAbandoned / 2) return false;
    it->second = now;
    return true;
}

class TemporaryBeside final : public StagedFile {
  public:
    TemporaryBeside(const std::filesystem::path& path, std::span<const std::string_view> pieces,
                    Durability durability)
        : path_(path),
          durability_(durability),
          directory_(path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path()) {
        // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) about "." + string&&.
        std::string temporary = ".";
        temporary += path.filename().string();
        temporary += ".";
        const std::string prefix = temporary;
        temporary += "XXXXXX";
        std::string pattern = (directory_ / temporary).string();
        if (sweepDue(pattern)) removeAbandonedTemporaries(directory_, prefix);
        name_.assign(pattern.begin(), pattern.end());
        name_.push_back('\0');
        Descriptor fd(::mkostemp(name_.data(), O_CLOEXEC));
        if (!fd) fail("mkstemp");
        try {
            writeAll(fd.get(), pieces);
            if (durability != Durability::none && ::fsync(fd.get()) != 0) fail("fsync");
            if (fd.close() != 0) fail("close");
        } catch (...) {
            ::unlink(name_.data());
            throw;
        }
        staged_ = true;
    }
    ~TemporaryBeside() override {
        if (staged_) ::unlink(name_.data());
    }

    void commit() override {
        if (::rename(name_.data(), path_.c_str()) != 0) fail("rename");
        staged_ = false;
        if (durability_ != Durability::full) return;
        // The rename itself is durable only once the directory is.
        Descriptor dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir) fail("open");
        if (::fsync(dir.get()) != 0) fail("fsync");
    }

  private:
    std::filesystem::path path_;
    Durability durability_;
    std::filesystem::path directory_;
    std::vector<char> name_;
    bool staged_ = false;
};

}  // namespace

std::unique_ptr<StagedFile> stageReplacement(const std::filesystem::path& path,
                                             std::span<const std::string_view> pieces,
                                             Durability durability) {
    return std::make_unique<TemporaryBeside>(path, pieces, durability);
}

std::unique_ptr<StagedFile> stageReplacement(const std::filesystem::path& path, std::string_view bytes,
                                             Durability durability) {
    return stageReplacement(path, std::span<const std::string_view>(&bytes, 1), durability);
}

void replaceAtomically(const std::filesystem::path& path, std::string_view bytes, Durability durability) {
    stageReplacement(path, bytes, durability)->commit();
}

}  // namespace tamsel::platform
