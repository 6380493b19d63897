// Apart from HostPlatform.cpp so that a program that makes no requests (the
// push connector) links no HTTP client and none of the libraries it brings.
#include "host/HostOptions.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileKeychain.h"
#include "platform/file/PosixFileSystem.h"
#include "platform/linux/CurlHTTPSession.h"

namespace tamsel::host {

platform::Platform makeHostPlatform(const HostOptions& options) {
    platform::Platform p = makePresentingPlatform(options);
    p.files = std::make_shared<platform::PosixFileSystem>(options.platformRoot);
    p.interactions =
        std::make_shared<platform::FileInteractionStore>(options.platformRoot / "interactions.json");
    platform::HTTPSessionSettings sessions;
    sessions.caFile = options.caFile;
    p.sessions = std::make_shared<platform::CurlHTTPSessionFactory>(sessions);
    // The Secret Service's, when the options name it, is already in place.
    if (!p.keychain) p.keychain = std::make_shared<platform::FileKeychain>(options.platformRoot);
    return p;
}

}  // namespace tamsel::host
