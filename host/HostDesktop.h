#pragma once
// The host's choice between the file-backed platform services and those of a
// desktop session: notifications and badge on the session bus, the credential
// in the Secret Service, logs in the journal.
//
// The desktop's backends live in a module (platform/linux/DesktopModule.h)
// that is loaded on first use, so a program asked for none of them never maps
// libsystemd, libsecret or GLib.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HostOptions.h"
#include "platform/Keychain.h"
#include "platform/Log.h"
#include "platform/Platform.h"

namespace tamsel::host {

// The first flag and value of the options that asks for a desktop backend this
// build lacks ("--notifications desktop"); nothing when the build has them all.
std::optional<std::string> desktopBackendMissing(const HostOptions& options);

// Loads the desktop module when the options ask for a desktop backend; the
// refusal when it cannot be loaded ("--keychain secret-service is not
// available: …", naming the file and the reason), nothing otherwise.
std::optional<std::string> desktopBackendUnavailable(const HostOptions& options);

// Where a program at `program` looks for the desktop module, in order: beside
// itself (a build tree), then in <program>/../lib/tamsel-notification-service
// (an installation).
std::vector<std::filesystem::path> desktopModuleCandidates(const std::filesystem::path& program);

// The sink the options ask for; automatic is the journal when standard error is
// the journal's stream (as for a systemd service), JSON lines on stderr otherwise.
// When the journal is chosen automatically and the module cannot be loaded, the
// records go to stderr, the first one saying why.
std::shared_ptr<platform::LogSink> makeLogSink(const HostOptions& options);

// Replaces the file-backed centre or keychain of `platform` by the desktop's
// where the options ask for it (which desktopBackendUnavailable() has allowed).
// Throws std::runtime_error when the bundle lacks what the desktop needs (its
// identifier names the desktop entry) or the module cannot be loaded.
void applyDesktopBackends(const HostOptions& options, platform::Platform& platform);

// The Secret Service keychain where the options name it; nothing for the file
// keychain. Throws std::runtime_error when the module cannot be loaded.
std::shared_ptr<platform::Keychain> openDesktopKeychain(const HostOptions& options);

// Stores a keychain item where the options' keychain is the Secret Service and
// returns its status; nothing when the options name the file keychain.
std::optional<platform::KeychainStatus> storeInDesktopKeychain(const HostOptions& options,
                                                               const std::string& accessGroup,
                                                               const std::string& service,
                                                               const std::string& account,
                                                               const platform::KeychainData& data);

// The file the desktop centre keeps its registry in, under the platform root.
std::filesystem::path desktopRegistryPath(const HostOptions& options);

}  // namespace tamsel::host
