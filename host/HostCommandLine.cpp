#include "host/HostCommandLine.h"

#include <cstdlib>

#include "host/HostDesktop.h"
#include "host/InstalledDefaults.h"

namespace tamsel::host {
namespace {

const char* const kProgram = "tamsel-notification-service";

cli::Option bundleOption() {
    return {.name = "bundle",
            .value = "DIR",
            .help =
                "the extension's bundle; its settings are read from DIR/Info.plist (required unless "
                "the installed defaults name one)"};
}

cli::Option platformRootOption() {
    return {.name = "platform-root",
            .value = "DIR",
            .help =
                "where the file-backed platform services keep their state (default: "
                "$XDG_DATA_HOME/tamsel-notification-service, else "
                "~/.local/share/tamsel-notification-service)"};
}

cli::Option notificationsOption() {
    return {.name = "notifications",
            .help =
                "file: notifications and the badge are kept in a file under the platform root "
                "(default); desktop: they go to the notification server and the launcher on the "
                "session bus (org.freedesktop.Notifications, LauncherEntry), with a registry of what "
                "was posted under the platform root",
            .choices = {"file", "desktop"}};
}

cli::Option keychainOption() {
    return {.name = "keychain",
            .help =
                "where the credential is kept: files under the platform root (default), or the "
                "desktop's Secret Service (never prompts: a locked keyring is a refusal)",
            .choices = {"file", "secret-service"}};
}

cli::Option logOption() {
    return {.name = "log",
            .help =
                "log events as JSON lines on standard error, or into the systemd journal (default: the "
                "journal when standard error is connected to it, as JOURNAL_STREAM says under systemd, "
                "else stderr); without a journal, records go to stderr",
            .choices = {"stderr", "journal"}};
}

std::vector<cli::Option> hostOptions() {
    auto options = extensionOptions();
    options.insert(
        options.begin() + 4,
        {{.name = "push", .value = "FILE", .help = "read push lines from FILE instead of standard input"},
         {.name = "notification-journal",
          .value = "FILE",
          .help = "also append every change made to the notification centre to FILE, one JSON line "
                  "each ({\"operation\": \"add\" | \"removeDelivered\" | \"removePending\" | "
                  "\"setBadgeCount\", \"pid\", ...}), written just before the change takes effect: a "
                  "record of every post across processes, for tests (with the file-backed centre "
                  "only)"}});
    return options;
}

cli::Program makeProgram() {
    cli::Command host{
        .name = "",
        .synopsis = "--bundle DIR [options]",
        .description =
            R"(Stands in for the platform's notification service extension host. Reads push requests, one JSON object per line, from standard input (or --push FILE), hands each to the extension, and writes every content handed back as one JSON line on standard output:
    {"request": <push identifier>, "content": {...}}
Log events go to standard error as JSON lines:
    {"subsystem": ..., "category": ..., "level": "info|default|error", "message": ...}

A push line (at most 64 KiB):
    {"identifier": "...", "content": {"title", "subtitle", "body", "sound",
     "badge", "threadIdentifier", "categoryIdentifier", "userInfo"}}
Every content member is optional; "userInfo" is any JSON object, "sound" is absent or "default". A wake-up carries in its user info
    "tamsel": {"version": "notification-wakeup.v2", "groupKey": <64 hex digits>}

Pushes are served one after another. When a push's time budget runs out before its content was handed back, the extension is told that its time expires. After a hand-off the host lets that push's run finish (within the budget) before it serves the next push, and exits when input ends and every push was answered. A line that is not a push request gets one error line on standard error; later lines are still served.

An installed program first reads the defaults its installation gives it, from <directory of the program>/../share/tamsel-notification-service/defaults.json: a JSON object with any of "bundle", "platformRoot", "caFile" (absolute paths), "notifications", "keychain", "log" (the flags' values), "timeBudget" (seconds) and "appId". Flags override them. A file that holds anything else is a usage error naming the member.)",
        .options = hostOptions(),
        .exitStatuses = {{0, "every line was a push request and was served"},
                         {1, "a line was not a push request (the other lines were served)"},
                         {2, "bad arguments, or the host cannot start (bundle, platform root, push file)"}}};

    cli::Command keychainStore{
        .name = "keychain-store",
        .summary = "store the worker credential read from standard input, as the main application would",
        .synopsis = "--bundle DIR [--platform-root DIR] [--keychain file|secret-service] < credential.json",
        .description =
            R"(Stores the worker credential read from standard input in the file keychain under the platform root, as the main application would:
    <platform root>/keychain/<TAMSEL_NOTIFICATION_KEYCHAIN_GROUP>/Tamsel.notification-delivery.v2/receiver
The input must be a JSON object with the strings "receiverID", "refreshProof", "authorizationRevision" and the number "expiresAt" (seconds since 2001-01-01T00:00:00Z); it is stored unchanged. An existing item is replaced. With --keychain secret-service it goes into the default collection of the desktop's Secret Service instead (schema "com.brindaxel.tamsel.KeychainItem", attributes access-group, service and account); a locked keyring is refused (status -25308), a missing Secret Service is status -25291.)",
        .options = {bundleOption(), platformRootOption(), keychainOption()},
        .exitStatuses = {{0, "stored"},
                         {1, "the input is not a credential, the bundle is unusable or the store failed"},
                         {2, "bad arguments"}}};

    cli::Command notify{
        .name = "notify",
        .summary = "post notification requests read from standard input through the host's centre",
        .synopsis = "--bundle DIR [--platform-root DIR] [--notifications file|desktop] < requests.jsonl",
        .description =
            R"(Posts notification requests, one {"identifier": ..., "content": {...}} per line (the content as in a push line), through the notification centre the host would use: a way to see how a desktop shows them without a delivery service.)",
        .options = {bundleOption(), platformRootOption(), notificationsOption()},
        .exitStatuses = {{0, "every request was posted"},
                         {1, "a line or a request was refused (the others were posted)"},
                         {2, "bad arguments, or the centre cannot start"}}};

    return {kProgram, {std::move(host), std::move(keychainStore), std::move(notify)}};
}

}  // namespace

std::vector<cli::Option> extensionOptions() {
    return {
        bundleOption(),
        platformRootOption(),
        {.name = "time-budget",
         .value = "SECONDS",
         .help = "time granted per push, more than 0 and at most 3600 (default 30)"},
        {.name = "ca-file", .value = "PEM", .help = "trust these certificates instead of the system's store"},
        notificationsOption(),
        keychainOption(),
        logOption(),
        {.name = "app-id",
         .value = "NAME",
         .help = "the application's id: its bus name, and the desktop entry its notifications and badge name "
                 "(default com.brindaxel.tamsel)"}};
}

const cli::Program& hostProgram() {
    static const cli::Program program = makeProgram();
    return program;
}

std::optional<HostOptions> readHostOptions(const cli::Arguments& arguments) {
    return readHostOptions(hostProgram(), arguments);
}

std::optional<HostOptions> readHostOptions(const cli::Program& program, const cli::Arguments& arguments) {
    auto refuse = [&](const std::string& message) -> std::optional<HostOptions> {
        cli::usageError(program, arguments.command(), message);
        return std::nullopt;
    };
    // What the installation gives first (a bus-started program has no flags), then the flags.
    HostOptions options;
    try {
        if (auto defaults = loadInstalledDefaults()) defaults->applyTo(options);
    } catch (const InstalledDefaultsError& e) {
        return refuse(e.what());
    }
    if (auto v = arguments.value("bundle")) options.bundle = *v;
    if (auto v = arguments.value("app-id")) {
        if (!isBusName(*v)) return refuse("option '--app-id' needs a D-Bus name such as com.example.App");
        options.appId = *v;
    }
    if (auto v = arguments.value("platform-root")) options.platformRoot = *v;
    if (auto v = arguments.value("time-budget")) {
        char* end = nullptr;
        double seconds = std::strtod(v->c_str(), &end);
        if (v->empty() || *end != '\0' || !(seconds > 0) || seconds > 3600)
            return refuse("option '--time-budget' needs a number of seconds more than 0 and at most 3600");
        options.timeBudgetSeconds = seconds;
    }
    if (auto v = arguments.value("ca-file")) options.caFile = *v;
    if (auto v = arguments.value("push")) options.pushFile = *v;
    if (auto v = arguments.value("notification-journal")) options.notificationJournal = *v;
    for (const char* backend : {"notifications", "keychain", "log"})
        if (auto v = arguments.value(backend)) setBackend(options, backend, *v);
    if (options.bundle.empty()) return refuse("missing --bundle");
    if (auto missing = desktopBackendMissing(options))
        return refuse(*missing + " is not available in this build (built without libsystemd and libsecret)");
    // The journal records what the file-backed centre does; the desktop's has none.
    if (options.notificationJournal && options.notifications != HostOptions::Notifications::file)
        return refuse("option '--notification-journal' needs --notifications file");
    // Last, so that a usage error costs no loading.
    if (auto unavailable = desktopBackendUnavailable(options)) return refuse(*unavailable);
    return options;
}

}  // namespace tamsel::host
