#pragma once
// The command line of tamsel-push-connector. Kept in one place so that it can
// move to the shared command-line layer without touching the rest.
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "host/HostOptions.h"

namespace tamsel::connector {

inline constexpr const char* kProgram = "tamsel-push-connector";
inline constexpr const char* kDefaultAppId = "com.brindaxel.tamsel";

enum class Subcommand { registerApp, serve, status, unregister };

struct ConnectorOptions {
    Subcommand subcommand = Subcommand::serve;
    std::string appId = kDefaultAppId;
    // The host's options: bundle, platform root, backends, time budget.
    host::HostOptions host;
    // register
    std::optional<std::string> distributor;
    std::optional<std::string> vapid;
    // serve
    double idleExitSeconds = 30;
    std::optional<std::filesystem::path> extension;  // default: beside this program
};

// What parsing asks the program to do instead of running a subcommand.
struct ExitNow {
    int status;
};

// Parses argv. Prints help or version (status 0) or a usage error
// ("<program>: ...; see '<program> --help'", status 2) and gives ExitNow then.
std::variant<ConnectorOptions, ExitNow> parseCommandLine(int argc, char** argv);

}  // namespace tamsel::connector
