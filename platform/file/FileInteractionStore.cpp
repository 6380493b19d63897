#include "platform/file/FileInteractionStore.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "platform/ServiceError.h"

namespace tamsel::platform {
namespace {

// The list of donated interactions, after checking every entry.
std::vector<Interaction> decode(const Json& document) {
    std::vector<Interaction> interactions;
    auto it = document.find("donated");
    if (it == document.end()) return interactions;
    if (!it->is_array()) throw IntentError(IntentError::kStoreCorrupted);
    for (const auto& entry : *it) interactions.push_back(interactionFromJson(entry));
    return interactions;
}

constexpr StoreErrorCodes kStoreCodes{IntentError::kStoreCorrupted, IntentError::kStoreUnavailable};

}  // namespace

FileInteractionStore::FileInteractionStore(std::filesystem::path file, std::size_t kept)
    : file_(std::move(file)), kept_(std::max<std::size_t>(kept, 1)) {}

void FileInteractionStore::donate(const Interaction& interaction) {
    Json entry;
    try {
        entry = interactionToJson(interaction);
        (void)writeJson(entry);
    } catch (const nlohmann::json::exception&) {
        throw IntentError(IntentError::kDonationFailed);
    }
    asServiceError<IntentError>(kStoreCodes, [&] {
        file_.update([&](Json& document) {
            auto existing = decode(document);
            std::vector<const Interaction*> others;
            for (const auto& other : existing)
                if (!interaction.identifier || other.identifier != interaction.identifier)
                    others.push_back(&other);
            const std::size_t dropped = others.size() >= kept_ ? others.size() - (kept_ - 1) : 0;
            Json donated = Json::array();
            for (std::size_t i = dropped; i < others.size(); ++i)
                donated.push_back(interactionToJson(*others[i]));
            donated.push_back(entry);
            document["donated"] = std::move(donated);
        });
    });
}

void FileInteractionStore::deleteInteractions(const std::vector<std::string>& identifiers) {
    std::set<std::string> doomed(identifiers.begin(), identifiers.end());
    asServiceError<IntentError>(kStoreCodes, [&] {
        file_.update([&](Json& document) {
            auto existing = decode(document);
            Json donated = Json::array();
            for (const auto& other : existing)
                if (!other.identifier || !doomed.count(*other.identifier))
                    donated.push_back(interactionToJson(other));
            document["donated"] = std::move(donated);
        });
    });
}

NotificationContent FileInteractionStore::contentUpdatedFromIntent(const NotificationContent& content,
                                                                   const SendMessageIntent& intent) {
    return communicationContent(content, intent);
}

std::vector<Interaction> FileInteractionStore::donated() {
    return asServiceError<IntentError>(kStoreCodes, [&] { return decode(file_.read()); });
}

}  // namespace tamsel::platform
