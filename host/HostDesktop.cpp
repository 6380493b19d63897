#include "host/HostDesktop.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>
#include <system_error>

#include "platform/linux/DesktopModule.h"
#include "platform/linux/JournalStream.h"
#include "platform/linux/SecretServiceKeychain.h"

namespace tamsel::host {
namespace {

#if TAMSEL_DESKTOP
constexpr bool desktopBuilt = true;
#else
constexpr bool desktopBuilt = false;
#endif

struct LoadedModule {
    const platform::DesktopModule* module = nullptr;
    std::string error;
};

std::filesystem::path runningProgram() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    return path;
}

// dlerror()'s text, without the file's name when it starts with it.
std::string dlError(const std::filesystem::path& path) {
    const char* text = ::dlerror();
    std::string error = text ? text : "unknown error";
    std::string prefix = path.string() + ": ";
    if (error.rfind(prefix, 0) == 0) error.erase(0, prefix.size());
    return error;
}

LoadedModule openModule(const std::filesystem::path& path) {
    // Every symbol resolved now: a module that does not fit this program is an
    // error here rather than a crash at its first call. Never closed: GLib keeps
    // threads and types registered for the life of the process.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return {nullptr, "cannot load " + path.string() + ": " + dlError(path)};
    auto entry =
        reinterpret_cast<platform::DesktopModuleEntry>(::dlsym(handle, platform::kDesktopModuleEntry));
    const platform::DesktopModule* module = entry ? entry() : nullptr;
    std::string error;
    if (!module) {
        error = path.string() + " is not a desktop module (it has no " + platform::kDesktopModuleEntry + ")";
    } else if (module->version != platform::kDesktopModuleVersion) {
        error = path.string() + " is version " + std::to_string(module->version) +
                " of the desktop module; this program needs version " +
                std::to_string(platform::kDesktopModuleVersion);
    } else if (!module->release || std::string(module->release) != TAMSEL_VERSION) {
        error = path.string() + " belongs to release " + (module->release ? module->release : "(none)") +
                "; this program is release " + TAMSEL_VERSION;
    }
    if (!error.empty()) {
        ::dlclose(handle);
        return {nullptr, error};
    }
    return {module, {}};
}

LoadedModule load() {
    if (!desktopBuilt)
        return {nullptr, "this build has no desktop backends (built without libsystemd and libsecret)"};
    auto program = runningProgram();
    if (program.empty()) return {nullptr, "cannot tell where this program is (/proc/self/exe)"};
    auto candidates = desktopModuleCandidates(program);
    for (const auto& path : candidates) {
        std::error_code error;
        if (std::filesystem::exists(path, error)) return openModule(path);
    }
    return {nullptr, "no " + std::string(platform::kDesktopModuleFile) + " beside the program or in " +
                         candidates.back().parent_path().lexically_normal().string()};
}

// The module, loaded on first use (once per process, from any thread).
const platform::DesktopModule* desktopModule(std::string* why = nullptr) {
    static const LoadedModule loaded = load();
    if (!loaded.module && why) *why = loaded.error;
    return loaded.module;
}

const platform::DesktopModule& requireModule(const char* flag) {
    std::string why;
    const auto* module = desktopModule(&why);
    if (!module) throw std::runtime_error(std::string(flag) + " is not available: " + why);
    return *module;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// GLib (which the desktop module loads for the Secret Service) is not built for
// ThreadSanitizer: its reference counts and queues use atomics it cannot see,
// so memory handed between GLib's D-Bus worker thread and ours looks
// unsynchronised. Races inside these libraries are theirs to find. The list
// must be the program's: ThreadSanitizer reads it at startup, before any module
// is loaded. Weak: a test executable brings its own list
// (tests/support/TsanSuppressions), which names these libraries too.
extern "C" __attribute__((weak)) const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libsecret-1.so\n";
}
#endif

std::optional<std::string> desktopBackendMissing(const HostOptions& options) {
    if (desktopBuilt) return std::nullopt;
    if (options.notifications == HostOptions::Notifications::desktop) return "--notifications desktop";
    if (options.keychain == HostOptions::Keychain::secretService) return "--keychain secret-service";
    if (options.log == HostOptions::Log::journal) return "--log journal";
    return std::nullopt;
}

std::optional<std::string> desktopBackendUnavailable(const HostOptions& options) {
    const char* flag = nullptr;
    if (options.notifications == HostOptions::Notifications::desktop)
        flag = "--notifications desktop";
    else if (options.keychain == HostOptions::Keychain::secretService)
        flag = "--keychain secret-service";
    else if (options.log == HostOptions::Log::journal)
        flag = "--log journal";
    std::string why;
    if (!flag || desktopModule(&why)) return std::nullopt;
    return std::string(flag) + " is not available: " + why;
}

std::vector<std::filesystem::path> desktopModuleCandidates(const std::filesystem::path& program) {
    auto directory = program.parent_path();
    return {directory / platform::kDesktopModuleFile,
            directory.parent_path() / TAMSEL_MODULE_SUBDIR / platform::kDesktopModuleFile};
}

std::shared_ptr<platform::LogSink> makeLogSink(const HostOptions& options) {
    auto stderrSink = std::make_shared<platform::StderrJsonLogSink>();
    bool journal =
        options.log == HostOptions::Log::journal ||
        (options.log == HostOptions::Log::automatic && desktopBuilt && platform::stderrIsJournalStream());
    if (!journal) return stderrSink;
    std::string why;
    // A record the journal refuses still reaches stderr.
    if (const auto* module = desktopModule(&why))
        return module->makeJournalLogSink("tamsel-notification-service", stderrSink);
    // Only the automatic choice gets here (a flag that asks for the journal is
    // refused when the options are read): stderr is the journal's stream anyway.
    stderrSink->write({std::string(platform::kSubsystem), "desktop", platform::LogLevel::error,
                       "journal-unavailable: " + why});
    return stderrSink;
}

std::filesystem::path desktopRegistryPath(const HostOptions& options) {
    return options.platformRoot / "desktop-notifications.json";
}

void applyDesktopBackends(const HostOptions& options, platform::Platform& p) {
    if (options.notifications == HostOptions::Notifications::desktop) {
        // Notifications and the badge belong to the application, not to its extension.
        if (options.appId.empty()) throw std::runtime_error("--notifications desktop needs an --app-id");
        const auto& module = requireModule("--notifications desktop");
        std::string name = "Tamsel";
        for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
            auto value = p.bundle->object(key);
            if (value && value->string() && !value->string()->empty()) {
                name = *value->string();
                break;
            }
        }
        platform::DesktopNotificationSettings settings;
        settings.applicationName = name;
        settings.desktopEntry = options.appId;
        p.center = module.makeNotificationCenter(desktopRegistryPath(options), p.clock, settings);
    }
    if (auto keychain = openDesktopKeychain(options)) p.keychain = std::move(keychain);
}

std::shared_ptr<platform::Keychain> openDesktopKeychain(const HostOptions& options) {
    if (options.keychain != HostOptions::Keychain::secretService) return nullptr;
    return requireModule("--keychain secret-service").makeSecretServiceKeychain();
}

std::optional<platform::KeychainStatus> storeInDesktopKeychain(const HostOptions& options,
                                                               const std::string& accessGroup,
                                                               const std::string& service,
                                                               const std::string& account,
                                                               const platform::KeychainData& data) {
    if (options.keychain != HostOptions::Keychain::secretService) return std::nullopt;
    const auto* module = desktopModule();
    if (!module) return platform::SecretServiceKeychain::kServiceUnavailable;
    return module->storeInSecretService(accessGroup, service, account, data);
}

}  // namespace tamsel::host
