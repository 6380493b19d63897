#pragma once
// `register`, `status` and `unregister`: the connector's registration with a
// push distributor on the session bus.
#include "connector/ConnectorOptions.h"

namespace tamsel::connector {

// Each returns the exit status and writes its result to stdout, failures to stderr.
int runRegister(const ConnectorOptions& options);
int runStatus(const ConnectorOptions& options);
int runUnregister(const ConnectorOptions& options);

}  // namespace tamsel::connector
