#include "platform/Bundle.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>

#include "platform/RegularFile.h"

namespace tamsel::platform {
namespace {

// Seconds between 1970-01-01 and the property list's reference date 2001-01-01.
constexpr std::int64_t kReferenceDateOffset = 978307200;

PropertyValue convert(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            std::string value = text ? text : "";
            std::free(text);
            return {value};
        }
        case PLIST_BOOLEAN: {
            std::uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return {flag != 0};
        }
        case PLIST_UINT: {
            std::uint64_t number = 0;
            plist_get_uint_val(node, &number);
            return {static_cast<std::int64_t>(number)};
        }
        case PLIST_REAL: {
            double number = 0;
            plist_get_real_val(node, &number);
            return {number};
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0, micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            auto since =
                std::chrono::seconds(kReferenceDateOffset + seconds) + std::chrono::microseconds(micros);
            return {PropertyDate(std::chrono::duration_cast<PropertyDate::duration>(since))};
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            PropertyData data(bytes, bytes + length);
            std::free(bytes);
            return {data};
        }
        case PLIST_ARRAY: {
            PropertyArray array;
            for (std::uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
                array.push_back(convert(plist_array_get_item(node, i)));
            return {array};
        }
        case PLIST_DICT: {
            PropertyDictionary dictionary;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!key) break;
                dictionary.emplace(key, convert(item));
                std::free(key);
            }
            std::free(it);
            return {dictionary};
        }
        default:
            // Keys and UIDs have no place in an information property list; a
            // value of an unknown kind reads as an empty data value, never a string.
            return {PropertyData{}};
    }
}

}  // namespace

PlistBundle::PlistBundle(const std::filesystem::path& directory) {
    std::string bytes;
    try {
        bytes = readRegularFile(directory / "Info.plist", kLargestInfoPlist);
    } catch (const FileSystemError& error) {
        if (error.code().value() == EFBIG)
            throw BundleError(BundleError::kTooLarge, "Info.plist is larger than 1 MiB");
        if (error.code().value() == kNotARegularFile || error.code().value() == ELOOP)
            throw BundleError(BundleError::kNotARegularFile, "Info.plist is not a regular file");
        throw BundleError(BundleError::kUnreadable, "bundle has no readable Info.plist");
    }
    plist_t root = nullptr;
#if TAMSEL_PLIST_FORMAT_ARGUMENT
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root, nullptr);
#else
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
#endif
    if (!root) throw BundleError(BundleError::kNotAPropertyList, "Info.plist is not a property list");
    if (plist_get_node_type(root) != PLIST_DICT) {
        plist_free(root);
        throw BundleError(BundleError::kNotADictionary, "Info.plist is not a dictionary");
    }
    auto converted = convert(root);
    plist_free(root);
    values_ = std::move(std::get<PropertyDictionary>(converted.value));
}

std::optional<PropertyValue> PlistBundle::object(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> PlistBundle::identifier() const {
    auto it = values_.find("CFBundleIdentifier");
    if (it == values_.end() || !it->second.string()) return std::nullopt;
    return *it->second.string();
}

std::optional<PropertyValue> MemoryBundle::object(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

}  // namespace tamsel::platform
