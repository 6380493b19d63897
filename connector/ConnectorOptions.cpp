#include "connector/ConnectorOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "host/HostCommandLine.h"

namespace tamsel::connector {
namespace {

// Every subcommand starts or configures the extension, so each takes the
// extension's own options and the application id.
std::vector<cli::Option> commonOptions() {
    auto options = host::extensionOptions();
    for (auto& option : options) {
        if (option.name == "keychain")
            option.help =
                "where the registration (keys, token) is kept, and where the extension reads its "
                "credential: files under the platform root (default), or the desktop's Secret Service";
        if (option.name == "notifications")
            option.help =
                "the notification centre pushes are shown in: a file under the platform root "
                "(default), or the desktop's notification server";
    }
    return options;
}

cli::Command command(std::string name, std::string summary, std::string synopsis, std::string description,
                     std::vector<cli::Option> extra, std::vector<std::pair<int, std::string>> statuses) {
    auto options = commonOptions();
    options.insert(options.end(), extra.begin(), extra.end());
    return {.name = std::move(name),
            .summary = std::move(summary),
            .synopsis = std::move(synopsis),
            .description = std::move(description),
            .options = std::move(options),
            .exitStatuses = std::move(statuses)};
}

const cli::Program& connectorProgram() {
    static const cli::Program program{
        kProgram,
        {command(
             "register", "register with a distributor and print the Web Push subscription",
             "--bundle DIR [--distributor NAME] [--vapid KEY] [options]",
             R"(Registers with a push distributor on the session bus (org.unifiedpush.Distributor.*) and prints one JSON line
    {"endpoint", "p256dh", "auth", "distributor"}
(keys in unpadded base64url): the subscription the application server sends Web Push to. The first registration creates the encryption keys and the connection token and keeps them in the keychain; later ones reuse them. Waits at most 10 seconds for the distributor's endpoint.)",
             {{.name = "distributor",
               .value = "NAME",
               .help = "org.unifiedpush.Distributor.NAME (or the full bus name); needed when several "
                       "distributors are on the bus"},
              {.name = "vapid",
               .value = "KEY",
               .help = "the application server's VAPID public key (base64url)"}},
             {{0, "registered"},
              {1, "no distributor, or the registration was refused or unanswered"},
              {2, "bad arguments"}}),
         command(
             "serve", "receive pushes (what D-Bus activation starts)",
             "--bundle DIR [--idle-exit SECONDS] [--extension PATH] [options]",
             R"(Owns the application's bus name and receives pushes from the distributor it registered with. Each push is decrypted and runs one extension process (at most 4 at once, the rest wait in arrival order); the content it hands back is shown as the push's notification. An extension that outlives its time budget by 5 s is killed, and one that hands nothing back gets the push's own content shown.

Installed, every subcommand first reads <directory of the program>/../share/tamsel-notification-service/defaults.json (see tamsel-notification-service --help), so that the bus can start it with no flags.)",
             {{.name = "idle-exit",
               .value = "SECONDS",
               .help = "exit after this long without a push and with no extension running (default 30; "
                       "0: never)"},
              {.name = "extension",
               .value = "PATH",
               .help = "the extension program (default: tamsel-notification-service beside this "
                       "program)"}},
             {{0, "stopped after the idle time or a signal"}, {1, "a bus failure"}, {2, "bad arguments"}}),
         command("status", "print the stored registration, without its secrets", "--bundle DIR [options]",
                 R"(Prints {"registered", "distributor", "endpoint"} for the stored registration.)", {},
                 {{0, "printed"}, {1, "the keychain failed"}, {2, "bad arguments"}}),
         command(
             "unregister", "unregister from the distributor and forget the registration",
             "--bundle DIR [options]",
             "Asks the distributor to drop the registration and forgets it here, keys included.", {},
             {{0, "done (or nothing was registered)"}, {1, "the keychain failed"}, {2, "bad arguments"}})}};
    return program;
}

bool parseSeconds(const std::string& text, double max, double& out) {
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (errno != 0 || text.empty() || *end != '\0' || !(seconds >= 0) || seconds > max) return false;
    out = seconds;
    return true;
}

}  // namespace

std::variant<ConnectorOptions, ExitNow> parseCommandLine(int argc, char** argv) {
    const cli::Program& program = connectorProgram();
    auto parsed = cli::parse(program, argc, argv);
    if (!parsed.arguments) return ExitNow{parsed.exitStatus};
    const cli::Arguments& arguments = *parsed.arguments;
    const std::string& name = arguments.command();
    auto usageError = [&](const std::string& message) {
        return ExitNow{cli::usageError(program, name, message)};
    };

    auto host = host::readHostOptions(program, arguments);
    if (!host) return ExitNow{2};
    ConnectorOptions options;
    options.host = std::move(*host);
    if (name == "register")
        options.subcommand = Subcommand::registerApp;
    else if (name == "serve")
        options.subcommand = Subcommand::serve;
    else if (name == "status")
        options.subcommand = Subcommand::status;
    else
        options.subcommand = Subcommand::unregister;

    options.appId = options.host.appId;
    if (auto v = arguments.value("distributor")) options.distributor = *v;
    if (auto v = arguments.value("vapid")) options.vapid = *v;
    if (auto v = arguments.value("idle-exit")) {
        if (!parseSeconds(*v, 86400, options.idleExitSeconds))
            return usageError("option '--idle-exit' needs a number of seconds from 0 to 86400");
    }
    if (auto v = arguments.value("extension")) options.extension = *v;
    try {
        if (options.host.platformRoot.empty()) options.host.platformRoot = host::defaultPlatformRoot();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s %s: cannot start: %s\n", kProgram, name.c_str(), e.what());
        return ExitNow{2};
    }
    return options;
}

}  // namespace tamsel::connector
