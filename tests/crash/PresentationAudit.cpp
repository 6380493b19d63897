#include "tests/crash/PresentationAudit.h"

namespace tamsel::testing {

bool PresentationAudit::newer(const std::string& revision, const std::string& than) {
    if (revision.size() != than.size()) return revision.size() > than.size();
    return revision > than;
}

bool PresentationAudit::presented(const std::string& notificationID, const std::string& revision) const {
    return history_.count({notificationID, revision}) > 0;
}

bool PresentationAudit::handedOff(const std::string& notificationID, const std::string& revision) const {
    return handedOff_.count({notificationID, revision}) > 0;
}

std::vector<std::string> PresentationAudit::audit(bool killed, const std::vector<Presentation>& presented,
                                                  const Ledger& ledgerBefore) {
    std::vector<std::string> problems;
    const std::size_t run = runs_.size();
    runs_.push_back({killed, false});

    for (const auto& p : presented) {
        const Key key{p.notificationID, p.revision};
        const std::string what = p.notificationID + " revision " + p.revision +
                                 (p.handOff ? " was handed off" : " was posted") +
                                 (p.silent ? " without sound" : "");
        auto& history = history_[key];

        const std::map<std::string, std::string>* entry = nullptr;
        if (auto it = ledgerBefore.find(p.notificationID); it != ledgerBefore.end()) entry = &it->second;
        const std::string* recorded = nullptr;
        if (entry)
            if (auto it = entry->find("revision"); it != entry->end()) recorded = &it->second;
        const bool recordedWithdrawn = entry && entry->count("state") && entry->at("state") == "withdrawn";
        const bool recordedHere = recorded && *recorded == p.revision;

        if (recorded && newer(*recorded, p.revision))
            problems.push_back(what + " although revision " + *recorded + " was recorded before this run");
        else if (recordedHere && recordedWithdrawn)
            problems.push_back(what + " although the ledger holds it as withdrawn");

        if (auto it = highest_.find(p.notificationID); it != highest_.end() && newer(it->second, p.revision))
            problems.push_back(what + " after revision " + it->second + " had been presented");
        if (auto& highest = highest_[p.notificationID]; highest.empty() || newer(p.revision, highest))
            highest = p.revision;

        if (p.silent) {
            // Only a repeated hand-off goes without sound, and it repeats what was shown.
            if (!p.ownConversation)
                problems.push_back(what + ", but it is not of the push's conversation");
            else if (history.empty() && !(recordedHere && !recordedWithdrawn))
                problems.push_back(what + " as a repeat of something never presented nor recorded");
            else
                ++(p.handOff ? repeatedOnStdout_ : repeatedPosted_);
        } else if (recordedHere && !recordedWithdrawn) {
            problems.push_back(what + " again although the ledger held it as presented");
        } else if (!history.empty()) {
            const std::size_t previous = history.back();
            if (previous == run)
                problems.push_back(what + " twice in one run");
            else if (!runs_[previous].killed)
                problems.push_back(what + " again after run " + std::to_string(previous) +
                                   " presented it and ended normally");
            else if (runs_[previous].excused)
                problems.push_back(what + " again, but run " + std::to_string(previous) +
                                   " was killed with another change in flight");
            else {
                runs_[previous].excused = true;
                ++inFlight_;
            }
        }
        history.push_back(run);
        if (p.handOff) handedOff_.insert(key);
    }
    return problems;
}

}  // namespace tamsel::testing
