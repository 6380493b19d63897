#pragma once
// `tamsel-notification-service notify`: posts notification requests through the
// notification centre the host would use, to check that a desktop shows them
// (which server, which hints, how they look) without a delivery service.
#include <cstdio>

#include "host/HostOptions.h"

namespace tamsel::host {

// Reads requests, one JSON object {"identifier": …, "content": {…}} per line,
// and adds each to the centre the options name. Returns the exit status: 0 all
// posted, 1 a line refused or a request the centre refused (the other lines are
// still posted), 2 the centre cannot start.
int runNotify(const HostOptions& options, std::FILE* input, std::FILE* errors);

}  // namespace tamsel::host
