#include "Services/NotificationDeliveryRun.h"

#include <set>

#include "Services/NotificationDeliveryProtocol.h"

namespace TamselNotificationService {

using tamsel::platform::Json;
using tamsel::platform::Task;

void NotificationDeliveryWorker::synchronize() {
    Task<void> task;
    bool starter = false;
    {
        std::lock_guard lock(lock_);
        if (running_) {
            task = *running_;
        } else {
            // The starter runs it on its own thread, which would otherwise
            // only wait for it; callers that come meanwhile join it.
            task = Task<void>::pending();
            running_ = task;
            starter = true;
        }
    }
    if (!starter) {
        task.value();
        return;
    }
    task.runHere([this] { run(); });
    // Whatever the outcome, the starter clears `running_`, but only while it
    // still holds this run: a run started after a cancel() keeps its handle.
    auto clear = [&] {
        std::lock_guard lock(lock_);
        if (running_ && *running_ == task) running_.reset();
    };
    try {
        task.value();
    } catch (...) {
        clear();
        throw;
    }
    clear();
}

void NotificationDeliveryWorker::cancel() {
    std::optional<Task<void>> task;
    {
        std::lock_guard lock(lock_);
        task = running_;
    }
    if (!task) return;
    task->cancel();
    // The outcome belongs to the run's callers; cancel() only waits for the end.
    task->wait();
    std::lock_guard lock(lock_);
    if (running_ && *running_ == *task) running_.reset();
}

void NotificationDeliveryWorker::run() {
    namespace Protocol = NotificationDeliveryProtocol;

    const NotificationWorkerCredential credential = credentials_();
    if (!identifier(credential.receiverID) || !proof(credential.refreshProof) ||
        !(credential.expiresAt > clock_->now()))
        throw NotificationDeliveryFailure::credential();
    // The main application may replace the credential at any time; nothing more
    // is handed to presentation once it has.
    auto requireUnchanged = [&] {
        if (!(credentials_() == credential)) throw NotificationDeliveryFailure::credential();
    };

    const std::string accessToken = Protocol::openWorkerSession(envelope_, credential, *clock_);

    if (applyBadge_) {
        Json badge = Protocol::readBadge(envelope_, credential.receiverID, accessToken);
        if (!badge.is_object()) throw NotificationDeliveryFailure::credential();
        requireUnchanged();
        (*applyBadge_)(NotificationBadge::decode(badge, credential.receiverID));
    }

    std::optional<std::string> cursor;
    std::set<std::string> followed;
    for (;;) {
        tamsel::platform::checkCancellation();
        requireUnchanged();
        Json data;
        try {
            data = Protocol::requestPage(envelope_, credential.receiverID, accessToken, cursor);
        } catch (const NotificationDeliveryFailure& failure) {
            // A cursor that expired between pages ends the run: what was
            // acknowledged stays so, and the next run starts afresh.
            if (failure.kind() == NotificationDeliveryFailure::Kind::expiredCursor && cursor) return;
            throw;
        }
        const Protocol::DeliveryPage page = Protocol::validatePage(data, *clock_);
        requireUnchanged();
        apply_(credential.receiverID, page.changes);
        // Cancelled while presentation ran: the page stays unacknowledged and
        // comes again in the next run.
        tamsel::platform::checkCancellation();
        Protocol::acknowledge(envelope_, credential.receiverID, accessToken, page);
        if (!page.nextCursor) return;
        if (!followed.insert(*page.nextCursor).second) throw NotificationDeliveryFailure::response();
        cursor = page.nextCursor;
    }
}

}  // namespace TamselNotificationService
