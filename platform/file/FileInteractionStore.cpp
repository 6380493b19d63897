#include "platform/file/FileInteractionStore.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "platform/ServiceError.h"
#include "platform/file/JsonText.h"

namespace tamsel::platform {
namespace {

constexpr const char* kDonated = "donated";

constexpr StoreErrorCodes kStoreCodes{IntentError::kStoreCorrupted, IntentError::kStoreUnavailable};

}  // namespace

FileInteractionStore::FileInteractionStore(std::filesystem::path file, std::size_t kept)
    : file_(std::move(file), Durability::none, &decode, &encode), kept_(std::max<std::size_t>(kept, 1)) {}

FileInteractionStore::Document FileInteractionStore::decode(std::string_view bytes) {
    Document document;
    // Every entry is checked, and written back as the store writes it.
    Json parsed = LockedJsonFile::parseDocument(bytes);
    for (auto& [key, value] : parsed.items()) {
        if (key != kDonated) {
            document.others.emplace(key, writeJson(value));
            continue;
        }
        if (!value.is_array()) throw IntentError(IntentError::kStoreCorrupted);
        for (const auto& entry : value) {
            Interaction interaction = interactionFromJson(entry);
            document.donations.push_back({interaction.identifier, writeJson(interactionToJson(interaction))});
        }
    }
    return document;
}

std::string FileInteractionStore::encode(const Document& document) {
    std::size_t size = 16;
    for (const auto& donation : document.donations) size += donation.text.size() + 1;
    for (const auto& [key, value] : document.others) size += key.size() + value.size() + 4;
    return objectJson(
        document.others, std::initializer_list<std::string_view>{kDonated},
        [&](std::string& out, std::string_view) {
            appendArrayJson(out, document.donations,
                            [](const Donation& d) -> const std::string& { return d.text; });
        },
        size);
}

template <class Change>
void FileInteractionStore::rewrite(Change&& change) {
    asServiceError<IntentError>(kStoreCodes, [&] {
        // A document that comes out the same (nothing deleted) is not written again.
        file_.rewrite(change);
    });
}

void FileInteractionStore::donate(const Interaction& interaction) {
    std::string text;
    try {
        text = writeJson(interactionToJson(interaction));
    } catch (const nlohmann::json::exception&) {
        throw IntentError(IntentError::kDonationFailed);
    }
    rewrite([&](Document& document) {
        auto& donations = document.donations;
        // One with the same identifier is replaced: the new one counts as the newest.
        if (interaction.identifier)
            std::erase_if(donations,
                          [&](const Donation& d) { return d.identifier == interaction.identifier; });
        if (donations.size() >= kept_)
            donations.erase(donations.begin(),
                            donations.begin() + static_cast<std::ptrdiff_t>(donations.size() - (kept_ - 1)));
        donations.push_back({interaction.identifier, std::move(text)});
    });
}

void FileInteractionStore::deleteInteractions(const std::vector<std::string>& identifiers) {
    std::set<std::string> doomed(identifiers.begin(), identifiers.end());
    rewrite([&](Document& document) {
        std::erase_if(document.donations,
                      [&](const Donation& d) { return d.identifier && doomed.count(*d.identifier); });
    });
}

NotificationContent FileInteractionStore::contentUpdatedFromIntent(const NotificationContent& content,
                                                                   const SendMessageIntent& intent) {
    return communicationContent(content, intent);
}

std::vector<Interaction> FileInteractionStore::donated() {
    return asServiceError<IntentError>(kStoreCodes, [&] {
        return file_.read([](const Document& document) {
            std::vector<Interaction> interactions;
            for (const auto& donation : document.donations)
                interactions.push_back(interactionFromJson(parseJson(donation.text)));
            return interactions;
        });
    });
}

}  // namespace tamsel::platform
