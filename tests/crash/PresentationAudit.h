#pragma once
// Judges what successive host runs presented, for the crash test: every post to
// the notification centre and every content handed back for the push, run by
// run, against the ledger as it stood when each run started.
//
// A revision may be presented only once, with two exceptions: a repeated
// hand-off of the push's own conversation (the content without sound), and the
// one change in flight when a run was killed (posted, then killed before its
// ledger record), which the next run presents again: at most one such change per
// killed run. A notification's presented revisions never go down, and a revision
// the ledger holds as withdrawn, or as presented, is not presented again.
//
// Every change the test queues is audible, so a content without sound is always
// a repeated hand-off.
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tamsel::testing {

struct Presentation {
    std::string notificationID;
    std::string revision;
    bool silent = false;           // no sound
    bool handOff = false;          // handed back for the push rather than posted to the centre
    bool ownConversation = false;  // the push's own conversation
};

class PresentationAudit {
  public:
    // A ledger entry's members ("revision", "state", "intent") by notification id.
    using Ledger = std::map<std::string, std::map<std::string, std::string>>;

    // Audits one run's presentations, in the order they happened, against the
    // ledger read just before the run started. Returns what is wrong, one
    // sentence each; nothing when all is well.
    std::vector<std::string> audit(bool killed, const std::vector<Presentation>& presented,
                                   const Ledger& ledgerBefore);

    bool presented(const std::string& notificationID, const std::string& revision) const;
    bool handedOff(const std::string& notificationID, const std::string& revision) const;

    // Kills after which one change was presented again.
    std::size_t changesInFlight() const { return inFlight_; }
    std::size_t repeatedHandOffs() const { return repeatedOnStdout_; }
    // Repeated hand-offs that went to the centre because the push's content had
    // already been handed back in that run.
    std::size_t repeatedHandOffsPosted() const { return repeatedPosted_; }

    // Canonical decimal revisions: the longer is greater, else the text decides.
    static bool newer(const std::string& revision, const std::string& than);

  private:
    struct Run {
        bool killed = false;
        bool excused = false;  // its change in flight was presented again
    };
    using Key = std::pair<std::string, std::string>;

    std::vector<Run> runs_;
    std::map<Key, std::vector<std::size_t>> history_;  // runs that presented it
    std::set<Key> handedOff_;
    std::map<std::string, std::string> highest_;
    std::size_t inFlight_ = 0;
    std::size_t repeatedOnStdout_ = 0;
    std::size_t repeatedPosted_ = 0;
};

}  // namespace tamsel::testing
