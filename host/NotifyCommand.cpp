#include "host/NotifyCommand.h"

#include <string>

#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "platform/Json.h"
#include "platform/NotificationCenter.h"

namespace tamsel::host {

int runNotify(const HostOptions& options, std::istream& input, std::ostream& errors) {
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
