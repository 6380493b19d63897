#include "host/NotifyCommand.h"

#include <string>

#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "host/LineReader.h"
#include "platform/Json.h"
#include "platform/NotificationCenter.h"

namespace tamsel::host {

int runNotify(const HostOptions& options, std::FILE* input, std::FILE* errors) {
    platform::Platform platform;
    try {
        platform = makeHostPlatform(options);
    } catch (const std::exception& e) {
        std::fprintf(errors, "tamsel-notification-service notify: cannot start: %s\n", e.what());
        return 2;
    }

    int status = 0;
    std::size_t number = 0;
    std::string line;
    for (LineRead read; (read = readLine(input, line)) != LineRead::end;) {
        ++number;
        if (read == LineRead::tooLong) {
            std::fprintf(errors, "tamsel-notification-service notify: line %zu is longer than %zu bytes\n",
                         number, kLargestLine);
            status = 1;
            continue;
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        platform::NotificationRequest request;
        try {
            request = platform::parsePushLine(line);
        } catch (const platform::Json::exception&) {
            std::fprintf(errors, "tamsel-notification-service notify: line %zu is not valid JSON\n", number);
            status = 1;
            continue;
        } catch (const platform::ContentFormatError& e) {
            std::fprintf(errors, "tamsel-notification-service notify: line %zu is not a request: %s\n",
                         number, e.what());
            status = 1;
            continue;
        }
        try {
            platform.center->add(request);
        } catch (const platform::NotificationCenterError& e) {
            std::fprintf(errors,
                         "tamsel-notification-service notify: line %zu: the notification centre refused it "
                         "(code %ld)\n",
                         number, static_cast<long>(e.code()));
            status = 1;
        }
    }
    return status;
}

}  // namespace tamsel::host
