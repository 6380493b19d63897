// tamsel-push-connector: receives the application's pushes from a push
// distributor on the session bus and has the notification service extension
// turn each into the notification shown.
#include <openssl/crypto.h>

#include <csignal>
#include <variant>

#include "connector/ConnectorOptions.h"
#include "connector/RegisterCommand.h"
#include "connector/Serve.h"
#include "host/HostDesktop.h"
#include "platform/Log.h"

int main(int argc, char** argv) {
    using namespace tamsel::connector;
    // Before any other use of OpenSSL: its error text is never shown here (a
    // push that cannot be opened is reported without it), and not loading the
    // tables keeps about 0.4 MiB of libcrypto out of a process that waits for hours.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS, nullptr);
    auto parsed = parseCommandLine(argc, argv);
    if (auto* exit = std::get_if<ExitNow>(&parsed)) return exit->status;
    const auto& options = std::get<ConnectorOptions>(parsed);

    // An extension that stops reading its input must not end this process.
    std::signal(SIGPIPE, SIG_IGN);
    tamsel::platform::setLogSink(tamsel::host::makeLogSink(options.host));

    switch (options.subcommand) {
        case Subcommand::registerApp:
            return runRegister(options);
        case Subcommand::status:
            return runStatus(options);
        case Subcommand::unregister:
            return runUnregister(options);
        case Subcommand::serve: {
            // The loop takes these as events; blocked before any thread exists.
            sigset_t signals;
            sigemptyset(&signals);
            sigaddset(&signals, SIGCHLD);
            sigaddset(&signals, SIGTERM);
            sigaddset(&signals, SIGINT);
            sigprocmask(SIG_BLOCK, &signals, nullptr);
            return runServe(options);
        }
    }
    return 2;
}
