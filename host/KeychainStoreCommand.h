#pragma once
// `tamsel-notification-service keychain-store`: stores a worker credential in
// the file keychain as the main application would, so a demo or a test can set
// the host up. The extension itself never writes the item.
#include <cstdio>

#include "host/HostOptions.h"

namespace tamsel::host {

// Reads the credential's bytes from input, checks they decode as a credential
// and stores them unchanged where the options' keychain keeps them. Returns the
// exit status (0 stored, 1 refused input or failed store); messages go to
// errors and never quote the input.
int runKeychainStore(const HostOptions& options, std::FILE* input, std::FILE* errors);

}  // namespace tamsel::host
