#pragma once
// The command line of tamsel-notification-service: the host itself and its
// keychain-store and notify commands, which share their options.
#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "host/HostOptions.h"

namespace tamsel::host {

const cli::Program& hostProgram();

// The host options the parsed arguments give (defaults for what is absent).
// A value the syntax allows but the host cannot use (a time budget out of
// range, a desktop backend this build lacks) is a usage error: it is printed
// and the result is empty.
std::optional<HostOptions> readHostOptions(const cli::Arguments& arguments);

}  // namespace tamsel::host
