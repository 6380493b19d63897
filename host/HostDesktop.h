#pragma once
// The host's choice between the file-backed platform services and those of a
// desktop session: notifications and badge on the session bus, the credential
// in the Secret Service, logs in the journal.
#include <memory>
#include <optional>
#include <string>

#include "host/HostOptions.h"
#include "platform/Keychain.h"
#include "platform/Log.h"
#include "platform/Platform.h"

namespace tamsel::host {

// The first flag and value of the options that asks for a desktop backend this
// build lacks ("--notifications desktop"); nothing when the build has them all.
std::optional<std::string> desktopBackendMissing(const HostOptions& options);

// The sink the options ask for; automatic is the journal when standard error is
// the journal's stream (as for a systemd service), JSON lines on stderr otherwise.
std::shared_ptr<platform::LogSink> makeLogSink(const HostOptions& options);

// Replaces the file-backed centre or keychain of `platform` by the desktop's
// where the options ask for it (which desktopBackendMissing() has allowed).
// Throws std::runtime_error when the bundle lacks what the desktop needs (its
// identifier names the desktop entry).
void applyDesktopBackends(const HostOptions& options, platform::Platform& platform);

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
