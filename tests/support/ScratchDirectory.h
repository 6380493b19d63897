#pragma once
// A fresh directory under $TMPDIR (or /tmp) for one test, removed with
// everything in it when the object goes.
#include <filesystem>
#include <string>

namespace tamsel::testing {

class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The permission bits of a path (stat's st_mode & 07777).
unsigned permissionsOf(const std::filesystem::path& path);
std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);

}  // namespace tamsel::testing
