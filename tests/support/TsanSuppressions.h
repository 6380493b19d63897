#pragma once
// Defines __tsan_default_suppressions(), which ThreadSanitizer asks for at
// start-up; see the .cpp for what it suppresses and why.
extern "C" const char* __tsan_default_suppressions();
// An anchor only: the linker is told it is needed, and so keeps the object
// that defines both (the runtime's own weak definition would satisfy a
// request for __tsan_default_suppressions itself).
extern "C" void tamselKeepTsanSuppressions();
