#include "host/InstalledDefaults.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <iterator>
#include <memory>
#include <system_error>

#include "host/HostDesktop.h"
#include "platform/Json.h"

namespace tamsel::host {
namespace {

using platform::Json;

// The file is read whole; an administrator's defaults are a few lines.
constexpr std::size_t kLargestFile = 64 * 1024;

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& why) {
    throw InstalledDefaultsError("installed defaults " + file.string() + ": " + why);
}

std::string quoted(const std::string& member) { return "\"" + member + "\""; }

const std::string& stringMember(const std::filesystem::path& file, const std::string& key,
                                const Json& value) {
    if (!value.is_string()) refuse(file, quoted(key) + " must be a string");
    if (value.get_ref<const std::string&>().empty()) refuse(file, quoted(key) + " must not be empty");
    return value.get_ref<const std::string&>();
}

std::filesystem::path pathMember(const std::filesystem::path& file, const std::string& key,
                                 const Json& value) {
    std::filesystem::path path = stringMember(file, key, value);
    // Relative to what? The working directory of a bus-started program is "/".
    if (!path.is_absolute()) refuse(file, quoted(key) + " must be an absolute path");
    return path;
}

std::string backendMember(const std::filesystem::path& file, const std::string& key, const Json& value,
                          const std::string& flag, const char* allowed) {
    const std::string& text = stringMember(file, key, value);
    HostOptions scratch;
    if (!setBackend(scratch, flag.substr(2), text) || desktopBackendMissing(scratch))
        refuse(file, quoted(key) + " must be " + allowed + " (in this build)");
    return text;
}

}  // namespace

bool isBusName(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    std::size_t elements = 0;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view element = name.substr(start, end - start);
        if (element.empty() || (element[0] >= '0' && element[0] <= '9')) return false;
        for (char c : element)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-'))
                return false;
        ++elements;
        start = end + 1;
    }
    return elements >= 2;
}

InstalledDefaults parseInstalledDefaults(std::string_view text, const std::filesystem::path& file) {
    Json root;
    try {
        root = platform::parseJson(text);
    } catch (const Json::exception&) {
        refuse(file, "not valid JSON");
    }
    if (!root.is_object()) refuse(file, "must be a JSON object");

    InstalledDefaults d;
    for (const auto& [key, value] : root.items()) {
        if (key == "bundle") {
            d.bundle = pathMember(file, key, value);
        } else if (key == "platformRoot") {
            d.platformRoot = pathMember(file, key, value);
        } else if (key == "caFile") {
            d.caFile = pathMember(file, key, value);
        } else if (key == "notifications") {
            d.notifications = backendMember(file, key, value, "--notifications", "\"file\" or \"desktop\"");
        } else if (key == "keychain") {
            d.keychain = backendMember(file, key, value, "--keychain", "\"file\" or \"secret-service\"");
        } else if (key == "log") {
            d.log = backendMember(file, key, value, "--log", "\"stderr\" or \"journal\"");
        } else if (key == "timeBudget") {
            if (!value.is_number()) refuse(file, "\"timeBudget\" must be a number of seconds");
            double seconds = value.get<double>();
            if (!(seconds > 0) || seconds > 3600)
                refuse(file, "\"timeBudget\" must be more than 0 and at most 3600 seconds");
            d.timeBudgetSeconds = seconds;
        } else if (key == "appId") {
            const std::string& name = stringMember(file, key, value);
            if (!isBusName(name)) refuse(file, "\"appId\" must be a D-Bus name such as com.example.App");
            d.appId = name;
        } else {
            refuse(file, "unknown member " + quoted(key));
        }
    }
    return d;
}

void InstalledDefaults::applyTo(HostOptions& options) const {
    if (bundle) options.bundle = *bundle;
    if (platformRoot) options.platformRoot = *platformRoot;
    if (caFile) options.caFile = *caFile;
    // Checked when parsed, so these cannot fail here.
    if (notifications) setBackend(options, "notifications", *notifications);
    if (keychain) setBackend(options, "keychain", *keychain);
    if (log) setBackend(options, "log", *log);
    if (timeBudgetSeconds) options.timeBudgetSeconds = *timeBudgetSeconds;
    if (appId) options.appId = *appId;
}

std::vector<std::string> InstalledDefaults::asArguments(const std::vector<std::string_view>& accepted) const {
    std::vector<std::string> arguments;
    auto add = [&](std::string_view flag, const std::optional<std::string>& value) {
        if (!value) return;
        for (auto a : accepted)
            if (a == flag) arguments.insert(arguments.end(), {std::string(flag), *value});
    };
    auto pathText = [](const std::optional<std::filesystem::path>& p) {
        return p ? std::optional<std::string>(p->string()) : std::nullopt;
    };
    add("--bundle", pathText(bundle));
    add("--platform-root", pathText(platformRoot));
    add("--ca-file", pathText(caFile));
    add("--notifications", notifications);
    add("--keychain", keychain);
    add("--log", log);
    add("--app-id", appId);
    return arguments;
}

std::filesystem::path installedDefaultsFile() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    return std::filesystem::path(path).parent_path().parent_path() / "share/tamsel-notification-service" /
           "defaults.json";
}

std::optional<InstalledDefaults> loadInstalledDefaults(const std::filesystem::path& file) {
    if (file.empty()) return std::nullopt;
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        if (error && error != std::errc::no_such_file_or_directory) refuse(file, "cannot be read");
        return std::nullopt;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(file.c_str(), "re"), std::fclose);
    if (!in) refuse(file, "cannot be read");
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0;) {
        text.append(buffer, n);
        if (text.size() > kLargestFile) refuse(file, "is too large");
    }
    if (std::ferror(in.get())) refuse(file, "cannot be read");
    return parseInstalledDefaults(text, file);
}

}  // namespace tamsel::host
