#include "platform/FileSystem.h"

namespace tamsel::platform {
namespace {

class KeptBytes final : public StagedFile {
  public:
    KeptBytes(FileSystem& files, std::filesystem::path path, std::string_view bytes)
        : files_(files), path_(std::move(path)), bytes_(bytes) {}
    void commit() override { files_.writeFileAtomically(path_, bytes_); }

  private:
    FileSystem& files_;
    std::filesystem::path path_;
    std::string bytes_;
};

}  // namespace

std::unique_ptr<StagedFile> FileSystem::stageFile(const std::filesystem::path& path, std::string_view bytes) {
    return std::make_unique<KeptBytes>(*this, path, bytes);
}

}  // namespace tamsel::platform
