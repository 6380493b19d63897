#pragma once
// A fresh directory for one test, removed with everything in it when the
// object goes. The only way the tests make temporary directories.
#include <filesystem>
#include <string>

namespace tamsel::testing {

class ScratchDirectory {
  public:
    // Under `base`, else $TMPDIR, else /tmp.
    explicit ScratchDirectory(const std::filesystem::path& base = {});
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
