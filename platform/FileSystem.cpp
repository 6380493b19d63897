#include "platform/FileSystem.h"

namespace tamsel::platform {
namespace {

class KeptBytes final : public StagedFile {
  public:
    KeptBytes(FileSystem& files, std::filesystem::path path, std::span<const std::string_view> pieces)
        : files_(files), path_(std::move(path)) {
        for (auto piece : pieces) bytes_ += piece;
    }
    void commit() override { files_.writeFileAtomically(path_, bytes_); }

  private:
    FileSystem& files_;
    std::filesystem::path path_;
    std::string bytes_;
};

}  // namespace

std::unique_ptr<StagedFile> FileSystem::stageFile(const std::filesystem::path& path,
                                                  std::span<const std::string_view> pieces) {
    return std::make_unique<KeptBytes>(*this, path, pieces);
}

bool FileSystem::holds(const std::filesystem::path& path, std::span<const std::string_view> pieces) {
    const std::string bytes = readFile(path);
    std::string_view rest(bytes);
    for (auto piece : pieces) {
        if (!rest.starts_with(piece)) return false;
        rest.remove_prefix(piece.size());
    }
    return rest.empty();
}

}  // namespace tamsel::platform
