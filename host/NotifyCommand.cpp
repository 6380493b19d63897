#include "host/NotifyCommand.h"

#include <string>

#include "platform/Json.h"
#include "platform/NotificationCenter.h"
#include "host/HostDesktop.h"
#include "host/HostOptions.h"

namespace tamsel::host {
namespace {

int usage(std::ostream& errors, const std::string& message) {
    errors << "tamsel-notification-service notify: " << message << "\n(see --help)\n";
    return 2;
}

}  // namespace

int runNotify(int argc, const char* const* arguments, std::istream& input, std::ostream& errors) {
    HostOptions options;
    bool haveBundle = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = arguments[i];
        if (arg == "--bundle" || arg == "--platform-root") {
            if (i + 1 >= argc) return usage(errors, arg + " needs a directory");
            (arg == "--bundle" ? options.bundle : options.platformRoot) = arguments[++i];
            haveBundle = haveBundle || arg == "--bundle";
        } else if (arg == "--notifications") {
            if (i + 1 >= argc || !parseBackendFlag(options, arg, arguments[++i]))
                return usage(errors, "--notifications needs file or desktop");
        } else {
            return usage(errors, "unknown argument " + arg);
        }
    }
    if (!haveBundle) return usage(errors, "--bundle is required");
    if (options.platformRoot.empty()) options.platformRoot = defaultPlatformRoot();

    platform::Platform platform;
    try {
        platform = makeHostPlatform(options);
    } catch (const std::exception& e) {
        errors << "tamsel-notification-service notify: cannot start: " << e.what() << "\n";
        return 2;
    }

    int status = 0;
    std::size_t number = 0;
    std::string line;
    while (std::getline(input, line)) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        platform::NotificationRequest request;
        try {
            platform::Json json = platform::Json::parse(line);
            auto identifier = json.is_object() ? json.find("identifier") : json.end();
            auto content = json.is_object() ? json.find("content") : json.end();
            if (!json.is_object() || json.size() != 2 || identifier == json.end() ||
                !identifier->is_string() || content == json.end())
                throw platform::ContentFormatError("not {\"identifier\": …, \"content\": {…}}");
            request = {identifier->get<std::string>(), std::make_shared<const platform::NotificationContent>(
                                                           platform::contentFromJson(*content))};
        } catch (const platform::Json::exception&) {
            errors << "tamsel-notification-service notify: line " << number << " is not valid JSON\n";
            status = 1;
            continue;
        } catch (const platform::ContentFormatError& e) {
            errors << "tamsel-notification-service notify: line " << number
                   << " is not a request: " << e.what() << "\n";
            status = 1;
            continue;
        }
        try {
            platform.center->add(request);
        } catch (const platform::NotificationCenterError& e) {
            errors << "tamsel-notification-service notify: line " << number
                   << ": the notification centre refused it (code " << e.code() << ")\n";
            status = 1;
        }
    }
    return status;
}

}  // namespace tamsel::host
