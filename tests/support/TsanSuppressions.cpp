// ThreadSanitizer suppressions compiled into every test executable (CMake makes
// the linker keep this object in ThreadSanitizer builds through the anchor).
//
// A task's failure travels to its waiters as one exception object shared
// through std::exception_ptr. libstdc++ counts its references with atomics in
// its own, uninstrumented code, so ThreadSanitizer does not see that a waiter
// finished reading the object before another thread dropped the last reference
// and freed it, and reports the free as a race. Only frames that release an
// exception are named here.
#include "tests/support/TsanSuppressions.h"

extern "C" void tamselKeepTsanSuppressions() {}

extern "C" const char* __tsan_default_suppressions() {
    return "race:std::__exception_ptr::exception_ptr::_M_release\n"
           "race:__cxa_free_exception\n"
           "race:__cxa_end_catch\n"
           // GLib (under the Secret Service keychain) is not built for
           // ThreadSanitizer either: memory it hands between its D-Bus worker
           // thread and ours travels through atomics it cannot see.
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libsecret-1.so\n";
}
