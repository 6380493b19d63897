#include "tools/delivery-service/DeliveryState.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "platform/Regex.h"

namespace tamsel::delivery {
namespace {

constexpr const char* kSessionSchema = "notification_worker_session.v2";
constexpr const char* kBadgeSchema = "notification_badge.v1";
constexpr const char* kChangesSchema = "notification_delivery_changes.v2";
constexpr const char* kAcknowledgedSchema = "notification_delivery_acknowledged.v2";

bool matches(const char* pattern, const std::string& value) {
    // Admin input only; the service's own values are made in the right shape.
    tamsel::platform::Regex regex(pattern);
    try {
        return regex.search(value);
    } catch (const tamsel::platform::RegexError&) {
        return false;
    }
}

bool isIdentifier(const std::string& v) { return matches("^[A-Za-z0-9_-]{16,128}$", v); }
bool isProof(const std::string& v) { return matches("^[A-Za-z0-9_-]{43}$", v); }
bool isAuthorizationRevision(const std::string& v) { return matches("^(0|[1-9][0-9]{0,19})$", v); }

Answer error(int status, const std::string& code) { return {status, errorBody(code)}; }

// Visible ASCII only, so a key can be remembered and compared as it came.
bool acceptableKey(const std::optional<std::string>& key) {
    return key && !key->empty() && key->size() <= 255 &&
           std::all_of(key->begin(), key->end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::optional<std::string> bearer(const std::optional<std::string>& authorization) {
    static const std::string kPrefix = "Bearer ";
    if (!authorization || authorization->compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
    return authorization->substr(kPrefix.size());
}

// Decimal text plus one, for revisions that are never turned into integers.
std::string increment(std::string digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return digits;
        }
        *it = '0';
    }
    return "1" + digits;
}

void onlyMembers(const Json& request, std::initializer_list<const char*> allowed) {
    if (!request.is_object()) throw AdminError(400, "invalid_request");
    for (const auto& [key, value] : request.items()) {
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; }))
            throw AdminError(400, "unknown_member");
    }
}

std::optional<std::string> optionalString(const Json& request, const char* key) {
    auto it = request.find(key);
    if (it == request.end()) return std::nullopt;
    if (!it->is_string()) throw AdminError(400, "invalid_request");
    return it->get<std::string>();
}

std::optional<double> optionalNumber(const Json& request, const char* key) {
    auto it = request.find(key);
    if (it == request.end()) return std::nullopt;
    if (!it->is_number()) throw AdminError(400, "invalid_request");
    return it->get<double>();
}

std::string randomHex(std::size_t digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string proof = randomProof() + randomProof();
    std::string out;
    for (std::size_t i = 0; i < digits; ++i)
        out += kHex[static_cast<unsigned char>(proof[i % proof.size()]) % 16];
    return out;
}

// Outcomes kept per receiver; older ones are dropped.
constexpr std::size_t kMaxPushDeliveries = 1000;

// The group key a wake-up names for this record, when it has one: records are
// queued as given, so any of them may lack it.
std::optional<std::string> wakeUpGroupKey(const Json& record) {
    auto presentation = record.find("presentation");
    if (presentation == record.end() || !presentation->is_object()) return std::nullopt;
    auto attention = presentation->find("attention");
    if (attention == presentation->end() || !attention->is_object()) return std::nullopt;
    auto groupKey = attention->find("groupKey");
    if (groupKey == attention->end() || !groupKey->is_string()) return std::nullopt;
    return groupKey->get<std::string>();
}

// The next planned value, else a new one.
template <class Make>
std::string handOut(std::deque<std::string>& planned, Make make) {
    if (planned.empty()) return make();
    std::string value = std::move(planned.front());
    planned.pop_front();
    return value;
}

}  // namespace

Json envelope(const std::string& schema, Json data) {
    return Json{{"success", true}, {"data", std::move(data)}, {"meta", {{"schema", schema}}}};
}

Json errorBody(const std::string& code) { return Json{{"error", {{"code", code}}}}; }

DeliveryState::DeliveryState(Settings settings, std::function<TimePoint()> now)
    : settings_(settings), now_(std::move(now)) {}

DeliveryState::Receiver* DeliveryState::find(const std::string& receiverId) {
    auto it = receivers_.find(receiverId);
    return it == receivers_.end() ? nullptr : &it->second;
}

DeliveryState::Receiver& DeliveryState::require(const std::string& receiverId) {
    if (Receiver* r = find(receiverId)) return *r;
    throw AdminError(404, "receiver_not_found");
}

DeliveryState::Receiver* DeliveryState::authorize(const std::string& receiverId,
                                                  const std::optional<std::string>& authorization,
                                                  TimePoint now) {
    auto token = bearer(authorization);
    if (!token) return nullptr;
    auto it = tokens_.find(*token);
    if (it == tokens_.end() || it->second.receiverId != receiverId) return nullptr;
    if (it->second.expiresAt <= now) {
        tokens_.erase(it);
        return nullptr;
    }
    return find(receiverId);
}

Json DeliveryState::credentialJson(const Receiver& r) const {
    return Json{{"receiverID", r.id},
                {"refreshProof", r.refreshProof},
                {"authorizationRevision", r.authorizationRevision},
                {"expiresAt", secondsSinceReferenceDate(r.credentialExpiresAt)}};
}

namespace {

// Erases every item of items that is due by now and that drop accepts.
template <class Items, class Drop>
void expire(std::multimap<TimePoint, std::string>& due, Items& items, TimePoint now, Drop drop) {
    for (auto it = due.begin(); it != due.end() && it->first <= now; it = due.erase(it)) {
        auto item = items.find(it->second);
        if (item != items.end() && item->second.expiresAt <= now && drop(item->second)) items.erase(item);
    }
}

}  // namespace

void DeliveryState::prune(Receiver& r, TimePoint now) {
    expire(r.cursorsDue, r.cursors, now, [](const Cursor&) { return true; });
    // A page that expired unacknowledged is forgotten; its changes stay pending
    // and come again in a later page.
    expire(r.pagesDue, r.pages, now, [](const Page& page) { return !page.acknowledgment; });
    expire(tokensDue_, tokens_, now, [](const AccessToken&) { return true; });
}

Answer DeliveryState::openWorkerSession(const std::string& receiverId,
                                        const std::optional<std::string>& refreshProof,
                                        const std::optional<std::string>& idempotencyKey) {
    std::lock_guard lock(mutex_);
    TimePoint now = now_();
    Receiver* r = find(receiverId);
    if (!r) return error(404, "receiver_not_found");
    ++r->requests["worker-sessions"];
    if (!refreshProof || !sameSecret(*refreshProof, r->refreshProof))
        return error(401, "invalid_refresh_proof");
    if (r->credentialExpiresAt <= now) return error(401, "credential_expired");
    if (!acceptableKey(idempotencyKey)) return error(400, "idempotency_key_required");

    const std::string slot = "worker-sessions " + *idempotencyKey;
    if (auto it = r->remembered.find(slot); it != r->remembered.end()) {
        if (it->second.fingerprint != *refreshProof) return error(422, "idempotency_key_reused");
        return it->second.answer;
    }
    prune(*r, now);
    std::string token = handOut(r->planned, randomProof);
    TimePoint expiresAt = now + settings_.tokenLifetime;
    tokens_[token] = AccessToken{r->id, expiresAt};
    tokensDue_.emplace(expiresAt, token);
    Answer answer{200, envelope(kSessionSchema, {{"workerSession",
                                                  {{"receiverId", r->id},
                                                   {"accessToken", token},
                                                   {"expiresAt", rfc3339(expiresAt)},
                                                   {"authorizationRevision", r->authorizationRevision}}}})};
    r->remembered[slot] = Remembered{*refreshProof, answer};
    return answer;
}

Answer DeliveryState::readBadge(const std::string& receiverId,
                                const std::optional<std::string>& authorization) {
    std::lock_guard lock(mutex_);
    TimePoint now = now_();
    Receiver* r = find(receiverId);
    if (!r) return error(404, "receiver_not_found");
    ++r->requests["badge"];
    if (!authorize(receiverId, authorization, now)) return error(401, "invalid_access_token");
    return {200, envelope(kBadgeSchema, {{"badge",
                                          {{"receiverId", r->id},
                                           {"revision", r->badge["revision"]},
                                           {"unreadCount", r->badge["unreadCount"]}}}})};
}

Answer DeliveryState::readChanges(const std::string& receiverId,
                                  const std::optional<std::string>& authorization,
                                  const std::optional<std::string>& limitText,
                                  const std::optional<std::string>& cursorText) {
    std::lock_guard lock(mutex_);
    TimePoint now = now_();
    Receiver* r = find(receiverId);
    if (!r) return error(404, "receiver_not_found");
    ++r->requests["delivery-changes"];
    if (!authorize(receiverId, authorization, now)) return error(401, "invalid_access_token");

    int limit = 0;
    if (!limitText || limitText->empty() || limitText->size() > 4 || (*limitText)[0] == '0') {
        return error(400, "invalid_limit");
    }
    auto [end, ec] = std::from_chars(limitText->data(), limitText->data() + limitText->size(), limit);
    if (ec != std::errc() || end != limitText->data() + limitText->size() || limit < 1 ||
        limit > settings_.maxPageLimit)
        return error(400, "invalid_limit");

    prune(*r, now);
    std::uint64_t after = 0;
    if (cursorText) {
        auto it = r->cursors.find(*cursorText);
        if (it == r->cursors.end()) return error(400, "invalid_cursor");
        after = it->second.after;
    }

    Page page;
    page.receiptProof = handOut(r->planned, randomProof);
    page.expiresAt = now + settings_.pageLifetime;
    page.changes = Json::array();
    for (auto it = r->pending.upper_bound(after);
         it != r->pending.end() && page.sequence.size() < std::size_t(limit); ++it) {
        page.sequence.push_back(it->first);
        page.changes.push_back(it->second);
    }
    Json nextCursor = nullptr;
    if (!page.sequence.empty() && r->pending.upper_bound(page.sequence.back()) != r->pending.end()) {
        std::string cursor = handOut(r->planned, randomProof);
        r->cursors[cursor] = Cursor{page.sequence.back(), page.expiresAt};
        r->cursorsDue.emplace(page.expiresAt, cursor);
        nextCursor = cursor;
    } else if (page.sequence.empty() && r->emptyPagesWithCursor > 0) {
        --r->emptyPagesWithCursor;
        std::string cursor = handOut(r->planned, randomProof);
        r->cursors[cursor] = Cursor{after, page.expiresAt};
        r->cursorsDue.emplace(page.expiresAt, cursor);
        nextCursor = cursor;
    }
    std::string batchId = handOut(r->planned, [] { return randomIdentifier("batch_"); });
    Json data = {{"batchId", batchId},
                 {"receiptProof", page.receiptProof},
                 {"changes", page.changes},
                 {"nextCursor", nextCursor},
                 {"expiresAt", rfc3339(page.expiresAt)}};
    r->pagesDue.emplace(page.expiresAt, batchId);
    r->pages.emplace(batchId, std::move(page));
    return {200, envelope(kChangesSchema, std::move(data))};
}

Answer DeliveryState::acknowledge(const std::string& receiverId,
                                  const std::optional<std::string>& authorization,
                                  const std::optional<std::string>& idempotencyKey,
                                  const std::optional<std::string>& contentType, const std::string& body) {
    std::lock_guard lock(mutex_);
    TimePoint now = now_();
    Receiver* r = find(receiverId);
    if (!r) return error(404, "receiver_not_found");
    ++r->requests["delivery-acknowledgments"];
    if (!authorize(receiverId, authorization, now)) return error(401, "invalid_access_token");
    if (!acceptableKey(idempotencyKey)) return error(400, "idempotency_key_required");
    if (!contentType || contentType->rfind("application/json", 0) != 0)
        return error(415, "unsupported_media_type");

    Json request;
    try {
        request = tamsel::platform::parseJson(body);
    } catch (const std::exception&) {
        return error(400, "invalid_request");
    }
    if (!request.is_object() || request.size() != 2 || !request.contains("batchId") ||
        !request.contains("receiptProof") || !request["batchId"].is_string() ||
        !request["receiptProof"].is_string())
        return error(400, "invalid_request");
    const std::string batchId = request["batchId"];
    const std::string receiptProof = request["receiptProof"];

    const std::string slot = "delivery-acknowledgments " + *idempotencyKey;
    const std::string fingerprint = batchId + " " + receiptProof;
    if (auto it = r->remembered.find(slot); it != r->remembered.end()) {
        if (it->second.fingerprint != fingerprint) return error(422, "idempotency_key_reused");
        return it->second.answer;
    }

    prune(*r, now);
    auto it = r->pages.find(batchId);
    if (it == r->pages.end()) return error(404, "batch_not_found");
    Page& page = it->second;
    if (!sameSecret(receiptProof, page.receiptProof)) return error(403, "invalid_receipt_proof");
    if (!page.acknowledgment) {
        for (std::uint64_t position : page.sequence) r->pending.erase(position);
        // Only what the acknowledgment list shows is kept of the records.
        Json notifications = Json::array();
        for (const Json& record : page.changes) {
            notifications.push_back(
                {{"notificationId", record.value("notificationId", Json(nullptr))},
                 {"notificationRevision", record.value("notificationRevision", Json(nullptr))}});
        }
        page.changes = std::move(notifications);
        page.acknowledgment = Json{{"receiverId", r->id},
                                   {"batchId", batchId},
                                   {"acknowledgedAt", rfc3339(now)},
                                   {"changeCount", page.sequence.size()}};
        r->acknowledged.push_back(batchId);
    }
    Answer answer{200, envelope(kAcknowledgedSchema, {{"acknowledgment", *page.acknowledgment}})};
    r->remembered[slot] = Remembered{fingerprint, answer};
    return answer;
}

Json DeliveryState::registerReceiver(const Json& request) {
    onlyMembers(request,
                {"receiverId", "refreshProof", "authorizationRevision", "credentialLifetimeSeconds"});
    auto id = optionalString(request, "receiverId");
    auto proof = optionalString(request, "refreshProof");
    auto revision = optionalString(request, "authorizationRevision");
    auto lifetime = optionalNumber(request, "credentialLifetimeSeconds");
    if (id && !isIdentifier(*id)) throw AdminError(400, "invalid_receiver_id");
    if (proof && !isProof(*proof)) throw AdminError(400, "invalid_refresh_proof");
    if (revision && !isAuthorizationRevision(*revision))
        throw AdminError(400, "invalid_authorization_revision");
    if (lifetime && !(*lifetime > -1e9 && *lifetime < 1e10)) throw AdminError(400, "invalid_lifetime");

    std::lock_guard lock(mutex_);
    Receiver r;
    r.id = id ? *id : randomIdentifier("rcv_");
    if (receivers_.count(r.id)) throw AdminError(409, "receiver_exists");
    r.refreshProof = proof ? *proof : randomProof();
    r.authorizationRevision = revision ? *revision : "1";
    // A negative lifetime registers an already expired credential, for tests.
    r.credentialExpiresAt = now_() + (lifetime ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     std::chrono::duration<double>(*lifetime))
                                               : settings_.credentialLifetime);
    r.badge = {{"revision", "1"}, {"unreadCount", 0}};
    Json credential = credentialJson(r);
    receivers_.emplace(r.id, std::move(r));
    return credential;
}

Json DeliveryState::rotateCredential(const std::string& receiverId, const Json& request) {
    onlyMembers(request, {"refreshProof", "authorizationRevision"});
    auto proof = optionalString(request, "refreshProof");
    auto revision = optionalString(request, "authorizationRevision");
    if (proof && !isProof(*proof)) throw AdminError(400, "invalid_refresh_proof");
    if (revision && !isAuthorizationRevision(*revision))
        throw AdminError(400, "invalid_authorization_revision");
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    r.refreshProof = proof ? *proof : randomProof();
    r.authorizationRevision = revision ? *revision : increment(r.authorizationRevision);
    return credentialJson(r);
}

Json DeliveryState::queueChanges(const std::string& receiverId, const Json& records) {
    Json list = records.is_array() ? records : Json::array({records});
    for (const Json& record : list) {
        if (!record.is_object()) throw AdminError(400, "invalid_request");
    }
    std::optional<WakeUp> wakeUp;
    std::function<void(WakeUp)> sink;
    Json answer;
    {
        std::lock_guard lock(mutex_);
        Receiver& r = require(receiverId);
        for (const Json& record : list) r.pending.emplace(r.nextPosition++, record);
        answer = Json{{"queued", list.size()}, {"pending", r.pending.size()}};
        if (r.pushSubscription && wakeUpSink_ && !list.empty()) {
            std::optional<std::string> groupKey;
            for (const Json& record : list) {
                if ((groupKey = wakeUpGroupKey(record))) break;
            }
            if (groupKey) {
                wakeUp = WakeUp{r.id, *r.pushSubscription, *groupKey};
                sink = wakeUpSink_;
            } else {
                // A wake-up without a group key is one the extension ignores.
                r.pushDeliveries.push_back(Json{{"status", 0},
                                                {"error", "no_group_key"},
                                                {"location", nullptr},
                                                {"groupKey", nullptr},
                                                {"at", rfc3339(now_())}});
                if (r.pushDeliveries.size() > kMaxPushDeliveries) r.pushDeliveries.pop_front();
            }
        }
    }
    if (wakeUp) sink(std::move(*wakeUp));
    return answer;
}

Json DeliveryState::setPushSubscription(const std::string& receiverId, const Json& request) {
    PushSubscription subscription = pushSubscriptionFromJson(request);
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    Json answer = Json{{"receiverId", r.id}, {"endpoint", subscription.endpoint}};
    r.pushSubscription = std::move(subscription);
    return answer;
}

Json DeliveryState::removePushSubscription(const std::string& receiverId) {
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    const bool had = r.pushSubscription.has_value();
    r.pushSubscription.reset();
    return Json{{"removed", had}};
}

Json DeliveryState::pushDeliveries(const std::string& receiverId) {
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    Json list = Json::array();
    for (const Json& delivery : r.pushDeliveries) list.push_back(delivery);
    return Json{{"deliveries", std::move(list)}};
}

void DeliveryState::recordPushDelivery(const std::string& receiverId, Json delivery) {
    std::lock_guard lock(mutex_);
    Receiver* r = find(receiverId);
    if (!r) return;
    r->pushDeliveries.push_back(std::move(delivery));
    if (r->pushDeliveries.size() > kMaxPushDeliveries) r->pushDeliveries.pop_front();
}

void DeliveryState::setWakeUpSink(std::function<void(WakeUp)> sink) {
    std::lock_guard lock(mutex_);
    wakeUpSink_ = std::move(sink);
}

Json DeliveryState::generateChanges(const std::string& receiverId, const Json& request) {
    onlyMembers(request, {"count", "bodyScalars", "groupKey", "sender"});
    auto count = optionalNumber(request, "count");
    auto bodyScalars = optionalNumber(request, "bodyScalars");
    auto groupKey = optionalString(request, "groupKey");
    bool withSender = true;
    if (auto it = request.find("sender"); it != request.end()) {
        if (!it->is_boolean()) throw AdminError(400, "invalid_request");
        withSender = it->get<bool>();
    }
    if (!count || *count < 1 || *count > 1000000 || *count != static_cast<long>(*count))
        throw AdminError(400, "invalid_count");
    if (bodyScalars &&
        (*bodyScalars < 0 || *bodyScalars > 320 || *bodyScalars != static_cast<long>(*bodyScalars)))
        throw AdminError(400, "invalid_body_scalars");
    if (groupKey && !matches("^[0-9a-f]{64}$", *groupKey)) throw AdminError(400, "invalid_group_key");

    const std::string group = groupKey ? *groupKey : randomHex(64);
    const std::string body(static_cast<std::size_t>(bodyScalars.value_or(40)), 'x');
    const Json sender = withSender ? Json{{"schema", "notification_sender.v1"},
                                          {"canonicalId", "tamsel_sender_" + randomHex(64)},
                                          {"displayName", "Benchmark Sender"}}
                                   : Json(nullptr);
    Json records = Json::array();
    for (long i = 0; i < static_cast<long>(*count); ++i) {
        records.push_back(
            {{"notificationId", randomIdentifier("ntf_")},
             {"notificationRevision", "1"},
             {"state", "available"},
             {"presentation",
              {{"title", "Message " + std::to_string(i + 1)},
               {"body", body},
               {"target",
                {{"kind", "communication"},
                 {"communicationId", randomIdentifier("com_")},
                 {"channelThreadId", randomIdentifier("thr_")}}},
               {"attention",
                {{"policyVersion", "notification-attention.v1"}, {"groupKey", group}, {"audible", false}}},
               {"sender", sender}}}});
    }
    return queueChanges(receiverId, records);
}

Json DeliveryState::setBadge(const std::string& receiverId, const Json& request) {
    onlyMembers(request, {"unreadCount", "revision"});
    if (!request.contains("unreadCount")) throw AdminError(400, "invalid_request");
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    // Both values are sent as given, so a test can also serve a badge the
    // worker must refuse; only a canonical revision moves the counter.
    Json revision;
    if (auto it = request.find("revision"); it != request.end()) {
        revision = *it;
        unsigned long long value = 0;
        if (it->is_string()) {
            const std::string text = *it;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size() && value > r.badgeRevision)
                r.badgeRevision = value;
        }
    } else {
        revision = std::to_string(++r.badgeRevision);
    }
    r.badge = {{"revision", revision}, {"unreadCount", request["unreadCount"]}};
    return Json{
        {"badge", {{"receiverId", r.id}, {"revision", revision}, {"unreadCount", request["unreadCount"]}}}};
}

Json DeliveryState::acknowledgments(const std::string& receiverId) {
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    Json list = Json::array();
    for (const std::string& batchId : r.acknowledged) {
        const Page& page = r.pages.at(batchId);
        list.push_back({{"batchId", batchId},
                        {"acknowledgedAt", (*page.acknowledgment)["acknowledgedAt"]},
                        {"notifications", page.changes}});
    }
    return Json{{"acknowledgments", std::move(list)}, {"pending", r.pending.size()}};
}

Json DeliveryState::summary(const std::string& receiverId) {
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    Json requests = Json::object();
    for (const char* route : {"worker-sessions", "badge", "delivery-changes", "delivery-acknowledgments"})
        requests[route] = r.requests[route];
    return Json{{"receiverId", r.id},
                {"authorizationRevision", r.authorizationRevision},
                {"pending", r.pending.size()},
                {"acknowledged", r.acknowledged.size()},
                {"badge", r.badge},
                {"requests", std::move(requests)},
                {"plannedValues", r.planned.size()}};
}

Json DeliveryState::expireCursors(const std::string& receiverId) {
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    std::size_t n = r.cursors.size();
    r.cursors.clear();
    return Json{{"expired", n}};
}

Json DeliveryState::emptyPages(const std::string& receiverId, const Json& request) {
    onlyMembers(request, {"count"});
    auto it = request.find("count");
    if (it == request.end() || !it->is_number_integer() || it->get<long long>() < 0 ||
        it->get<long long>() > 100000)
        throw AdminError(400, "invalid_count");
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    r.emptyPagesWithCursor = static_cast<long>(it->get<long long>());
    return Json{{"emptyPages", r.emptyPagesWithCursor}};
}

Json DeliveryState::planValues(const std::string& receiverId, const Json& request) {
    onlyMembers(request, {"values"});
    auto values = request.find("values");
    if (values == request.end() || !values->is_array() || values->size() > 10000)
        throw AdminError(400, "invalid_values");
    std::lock_guard lock(mutex_);
    Receiver& r = require(receiverId);
    // A value handed out twice would stand for two things at once (a page or
    // token replaced, a cursor moved), so each one must be new.
    std::set<std::string> seen(r.planned.begin(), r.planned.end());
    for (const Json& value : *values) {
        if (!value.is_string() || !isIdentifier(value.get<std::string>()))
            throw AdminError(400, "invalid_values");
        const std::string& text = value.get_ref<const std::string&>();
        if (!seen.insert(text).second || tokens_.count(text) || r.cursors.count(text) || r.pages.count(text))
            throw AdminError(409, "value_in_use");
    }
    for (const Json& value : *values) r.planned.push_back(value.get<std::string>());
    return Json{{"plannedValues", r.planned.size()}};
}

}  // namespace tamsel::delivery
