#pragma once
// The command line of tamsel-notification-service: the host itself and its
// keychain-store and notify commands, which share their options.
#include <optional>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "host/HostOptions.h"

namespace tamsel::host {

const cli::Program& hostProgram();

// The options a program that starts the extension shares with it (bundle,
// platform root, time budget, CA file, backends, log), declared once.
std::vector<cli::Option> extensionOptions();

// The host options the parsed arguments give (defaults for what is absent).
// A value the syntax allows but the host cannot use (a time budget out of
// range, a desktop backend this build lacks) is a usage error: it is printed,
// in the wording of `program`, and the result is empty.
std::optional<HostOptions> readHostOptions(const cli::Program& program, const cli::Arguments& arguments);
std::optional<HostOptions> readHostOptions(const cli::Arguments& arguments);

}  // namespace tamsel::host
