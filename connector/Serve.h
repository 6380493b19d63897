#pragma once
// `tamsel-push-connector serve`: owns the application's bus name, exports
// org.unifiedpush.Connector2 and turns each push into a notification through
// one extension process.
//
// Calls are answered at once, on the loop's thread; only the distributor the
// registration names (its current owner, followed through NameOwnerChanged)
// is heard: anyone else gets AccessDenied. A token other than the
// registration's is ignored. The name allows replacement, so `register` can
// take it over; the server then stops taking calls and exits once its
// extensions are done. After the idle time without a push and with no
// extension running it releases the name, finishes what was already sent to
// it and exits.
#include "connector/ConnectorOptions.h"

namespace tamsel::connector {

// Returns the exit status. SIGCHLD, SIGTERM and SIGINT must be blocked.
int runServe(const ConnectorOptions& options);

}  // namespace tamsel::connector
