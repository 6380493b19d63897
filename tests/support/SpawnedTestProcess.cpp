#include "tests/support/SpawnedTestProcess.h"

#include <cstdlib>
#include <cstring>

namespace tamsel::testing {
namespace {

constexpr const char* kRoleVariable = "TAMSEL_TEST_PROCESS_ROLE";

std::map<std::string, ProcessRole>& roles() {
    static std::map<std::string, ProcessRole> registered;
    return registered;
}

}  // namespace

bool registerProcessRole(const char* name, ProcessRole role) {
    roles()[name] = role;
    // Registration runs during static initialisation; the child takes its role
    // as soon as the role it was started for is known, before any test runs.
    const char* wanted = std::getenv(kRoleVariable);
    if (wanted && std::strcmp(wanted, name) == 0) std::_Exit(role());
    return true;
}

namespace {

std::map<std::string, std::string> withRole(std::map<std::string, std::string> environment,
                                            const std::string& role) {
    environment[kRoleVariable] = role;
    return environment;
}

}  // namespace

SpawnedTestProcess::SpawnedTestProcess(const std::string& role,
                                       const std::map<std::string, std::string>& environment)
    : child_({"/proc/self/exe"}, {.environment = withRole(environment, role), .pipeStderr = false}) {}

}  // namespace tamsel::testing
