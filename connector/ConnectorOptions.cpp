#include "connector/ConnectorOptions.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/HostDesktop.h"
#include "host/InstalledDefaults.h"

namespace tamsel::connector {
namespace {

constexpr const char* kVersionText = "tamsel-push-connector 1.0\n";

constexpr const char* kUsage =
    R"(usage: tamsel-push-connector [options] register [--distributor NAME] [--vapid KEY]
       tamsel-push-connector [options] serve [--idle-exit SECONDS] [--extension PATH]
       tamsel-push-connector [options] status
       tamsel-push-connector [options] unregister

Receives the application's pushes from a push distributor on the session bus
(org.unifiedpush.Distributor.*), decrypts each one and has the notification
service extension (tamsel-notification-service, one process per push) turn it
into the notification that is shown.

subcommands:
  register     register with a distributor and print the subscription as one
               JSON line {"endpoint", "p256dh", "auth", "distributor"}
  serve        receive pushes (what D-Bus activation starts)
  status       print the stored registration, without its secrets
  unregister   unregister from the distributor and forget the registration

options:
  --app-id NAME         the application's bus name (default com.brindaxel.tamsel)
  --bundle DIR          the extension's bundle (required unless the installed
                        defaults name one)
  --platform-root DIR   where the file-backed platform services keep their state
                        (default: $XDG_DATA_HOME/tamsel-notification-service)
  --notifications file|desktop
                        the notification centre pushes are shown in
  --keychain file|secret-service
                        where the registration (keys, token) is kept, and where
                        the extension reads its credential
  --log stderr|journal  where log events go (default: the journal when standard
                        error is connected to it, else stderr)
  --time-budget SECONDS time granted to the extension per push (default 30)
  --ca-file PEM         the extension trusts these certificates instead of the
                        system's store
  --help                show this text (after a subcommand: that subcommand's)
  --version             show the version

An installed connector first reads
<directory of the program>/../share/tamsel-notification-service/defaults.json,
a JSON object with any of "bundle", "platformRoot", "caFile", "notifications",
"keychain", "log", "timeBudget" and "appId", as the flags above; flags override
it. This is how the bus starts it with no flags. A bad file is a usage error.

exit status: 0 done, 1 failed (no distributor, registration refused or
unanswered, a bus or keychain failure), 2 usage error.
)";

constexpr const char* kRegisterUsage =
    R"(usage: tamsel-push-connector [options] register [--distributor NAME] [--vapid KEY]

Registers with a distributor and prints one JSON line
    {"endpoint", "p256dh", "auth", "distributor"}
(keys in unpadded base64url). The first registration creates the encryption
keys and the connection token and keeps them in the keychain; later ones reuse
them. Waits at most 10 seconds for the distributor's endpoint.

  --distributor NAME    org.unifiedpush.Distributor.NAME (or the full bus name);
                        needed when several distributors are on the bus
  --vapid KEY           the application server's VAPID public key (base64url)

exit status: 0 registered, 1 no distributor, refused or unanswered, 2 usage error.
)";

constexpr const char* kServeUsage =
    R"(usage: tamsel-push-connector [options] serve [--idle-exit SECONDS] [--extension PATH]

Owns the application's bus name and receives pushes from the distributor it
registered with. Each push runs one extension process (at most 4 at once).

  --idle-exit SECONDS   exit after this long without a push and with no
                        extension running (default 30; 0: never)
  --extension PATH      the extension program (default: tamsel-notification-service
                        beside this program)

exit status: 0 after the idle time, 1 a bus failure, 2 usage error.
)";

constexpr const char* kStatusUsage = R"(usage: tamsel-push-connector [options] status

Prints {"registered", "distributor", "endpoint"} for the stored registration.

exit status: 0 printed, 1 the keychain failed, 2 usage error.
)";

constexpr const char* kUnregisterUsage = R"(usage: tamsel-push-connector [options] unregister

Asks the distributor to drop the registration and forgets it here, keys included.

exit status: 0 done (or nothing was registered), 1 the keychain failed, 2 usage error.
)";

ExitNow usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s; see '%s --help'\n", kProgram, message.c_str(), kProgram);
    return {2};
}

bool parseSeconds(const char* text, double max, bool allowZero, double& out) {
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(seconds >= 0) || seconds > max) return false;
    if (seconds == 0 && !allowZero) return false;
    out = seconds;
    return true;
}

enum OptionId {
    kAppId = 256,
    kBundle,
    kPlatformRoot,
    kNotifications,
    kKeychain,
    kLog,
    kTimeBudget,
    kDistributor,
    kVapid,
    kIdleExit,
    kExtension,
    kCaFile,
    kHelp,
    kVersion,
};

}  // namespace

std::variant<ConnectorOptions, ExitNow> parseCommandLine(int argc, char** argv) {
    static const option kOptions[] = {
        {"app-id", required_argument, nullptr, kAppId},
        {"bundle", required_argument, nullptr, kBundle},
        {"platform-root", required_argument, nullptr, kPlatformRoot},
        {"notifications", required_argument, nullptr, kNotifications},
        {"keychain", required_argument, nullptr, kKeychain},
        {"log", required_argument, nullptr, kLog},
        {"time-budget", required_argument, nullptr, kTimeBudget},
        {"distributor", required_argument, nullptr, kDistributor},
        {"vapid", required_argument, nullptr, kVapid},
        {"idle-exit", required_argument, nullptr, kIdleExit},
        {"extension", required_argument, nullptr, kExtension},
        {"ca-file", required_argument, nullptr, kCaFile},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    ConnectorOptions options;
    try {
        if (auto defaults = host::loadInstalledDefaults()) defaults->applyTo(options.host);
    } catch (const host::InstalledDefaultsError& e) {
        return usageError(e.what());
    }
    bool help = false, version = false;
    bool registerOnly = false, serveOnly = false;
    std::vector<std::string> operands;

    opterr = 0;
    optind = 0;  // GNU: also resets getopt's internal state
    for (;;) {
        int c = getopt_long(argc, argv, ":", kOptions, nullptr);
        if (c == -1) break;
        const char* value = optarg;
        switch (c) {
            case kAppId:
                if (!host::isBusName(value)) return usageError("--app-id needs a bus name");
                options.host.appId = value;
                break;
            case kBundle:
                options.host.bundle = value;
                break;
            case kPlatformRoot:
                options.host.platformRoot = value;
                break;
            case kCaFile:
                options.host.caFile = value;
                break;
            case kNotifications:
            case kKeychain:
            case kLog: {
                std::string flag = c == kNotifications ? "--notifications"
                                   : c == kKeychain    ? "--keychain"
                                                       : "--log";
                if (!host::parseBackendFlag(options.host, flag, value))
                    return usageError(flag + " needs one of the values --help names");
                break;
            }
            case kTimeBudget:
                if (!parseSeconds(value, 3600, false, options.host.timeBudgetSeconds))
                    return usageError("--time-budget needs a number of seconds between 0 and 3600");
                break;
            case kDistributor:
                options.distributor = value;
                registerOnly = true;
                break;
            case kVapid:
                options.vapid = value;
                registerOnly = true;
                break;
            case kIdleExit:
                if (!parseSeconds(value, 86400, true, options.idleExitSeconds))
                    return usageError("--idle-exit needs a number of seconds between 0 and 86400");
                serveOnly = true;
                break;
            case kExtension:
                options.extension = value;
                serveOnly = true;
                break;
            case kHelp:
                help = true;
                break;
            case kVersion:
                version = true;
                break;
            case ':':
                return usageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                return usageError(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    for (int i = optind; i < argc; ++i) operands.emplace_back(argv[i]);

    if (operands.size() > 1) return usageError("unexpected argument " + operands[1]);
    const char* usage = kUsage;
    if (!operands.empty()) {
        const std::string& name = operands[0];
        if (name == "register") {
            options.subcommand = Subcommand::registerApp;
            usage = kRegisterUsage;
        } else if (name == "serve") {
            options.subcommand = Subcommand::serve;
            usage = kServeUsage;
        } else if (name == "status") {
            options.subcommand = Subcommand::status;
            usage = kStatusUsage;
        } else if (name == "unregister") {
            options.subcommand = Subcommand::unregister;
            usage = kUnregisterUsage;
        } else {
            return usageError("unknown subcommand " + name);
        }
    }
    if (help) {
        std::fputs(usage, stdout);
        return ExitNow{0};
    }
    if (version) {
        std::fputs(kVersionText, stdout);
        return ExitNow{0};
    }
    if (operands.empty()) return usageError("a subcommand is required");
    if (registerOnly && options.subcommand != Subcommand::registerApp)
        return usageError("--distributor and --vapid belong to register");
    if (serveOnly && options.subcommand != Subcommand::serve)
        return usageError("--idle-exit and --extension belong to serve");
    if (options.host.bundle.empty()) return usageError("--bundle is required");
    options.appId = options.host.appId;
    if (options.host.platformRoot.empty()) options.host.platformRoot = host::defaultPlatformRoot();
    return options;
}

}  // namespace tamsel::connector
