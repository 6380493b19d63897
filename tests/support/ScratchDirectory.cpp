#include "tests/support/ScratchDirectory.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace tamsel::testing {

ScratchDirectory::ScratchDirectory(const std::filesystem::path& base) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = (!base.empty()       ? base.string()
                           : tmpdir && *tmpdir ? std::string(tmpdir)
                                               : std::string("/tmp")) +
                          "/tamsel-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

unsigned permissionsOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw std::runtime_error("stat failed: " + path.string());
    return info.st_mode & 07777;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace tamsel::testing
