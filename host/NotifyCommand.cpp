#include "host/NotifyCommand.h"

#include <string>

#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "host/LineReader.h"
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
    for (LineRead read; (read = readLine(input, line)) != LineRead::end;) {
        ++number;
        if (read == LineRead::tooLong) {
            errors << "tamsel-notification-service notify: line " << number << " is longer than "
                   << kLargestLine << " bytes\n";
            status = 1;
            continue;
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        platform::NotificationRequest request;
        try {
            request = platform::parsePushLine(line);
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
