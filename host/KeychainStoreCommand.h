#pragma once
// `tamsel-notification-service keychain-store`: stores a worker credential in
// the file keychain as the main application would, so a demo or a test can set
// the host up. The extension itself never writes the item.
#include <istream>
#include <ostream>

namespace tamsel::host {

// arguments: what follows "keychain-store" on the command line. Reads the
// credential's bytes from input, checks they decode as a credential and stores
// them unchanged. Returns the exit status (0 stored, 1 refused input or failed
// store, 2 bad arguments); messages go to errors and never quote the input.
int runKeychainStore(int argc, const char* const* arguments, std::istream& input, std::ostream& errors);

}  // namespace tamsel::host
