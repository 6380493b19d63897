// A desktop module of a version no program here speaks: the loader must refuse
// it on the version alone, before it reads (or calls) anything else.
#include "platform/linux/DesktopModule.h"

namespace {
const tamsel::platform::DesktopModule kModule{
    tamsel::platform::kDesktopModuleVersion + 1, "0.0.0-other", nullptr, nullptr, nullptr, nullptr};
}  // namespace

extern "C" __attribute__((visibility("default"))) const tamsel::platform::DesktopModule*
tamsel_desktop_module() {
    return &kModule;
}
