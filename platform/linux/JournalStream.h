#pragma once
// Whether the service manager connected standard error to the journal. Kept
// apart from the journal's sink: a program asks this on every start, and the
// answer needs no more than the environment and fstat(), not libsystemd.

namespace tamsel::platform {

// True when the JOURNAL_STREAM variable names the device and inode of what fd 2
// is now. A variable inherited by a child whose stderr was redirected does not
// count.
bool stderrIsJournalStream();

}  // namespace tamsel::platform
