#include "platform/Bundle.h"

#include <dlfcn.h>
#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>

#include "platform/RegularFile.h"

namespace tamsel::platform {
namespace {

// Seconds between 1970-01-01 and the property list's reference date 2001-01-01.
constexpr std::int64_t kReferenceDateOffset = 978307200;

// libplist, loaded only while a property list is read and unloaded after:
// linked, it and the maths library it needs would take about 0.4 MiB of every
// run's memory for a read that is over in a millisecond.
class Plist {
  public:
    Plist() : handle_(dlopen(TAMSEL_PLIST_SONAME, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) unavailable();
        try {
            resolve(fromMemory, "plist_from_memory");
            resolve(free, "plist_free");
            resolve(getNodeType, "plist_get_node_type");
            resolve(getStringVal, "plist_get_string_val");
            resolve(getBoolVal, "plist_get_bool_val");
            resolve(getUintVal, "plist_get_uint_val");
            resolve(getRealVal, "plist_get_real_val");
            resolve(getDateVal, "plist_get_date_val");
            resolve(getDataVal, "plist_get_data_val");
            resolve(arrayGetSize, "plist_array_get_size");
            resolve(arrayGetItem, "plist_array_get_item");
            resolve(dictNewIter, "plist_dict_new_iter");
            resolve(dictNextItem, "plist_dict_next_item");
        } catch (...) {
            dlclose(handle_);
            throw;
        }
    }
    ~Plist() { dlclose(handle_); }
    Plist(const Plist&) = delete;
    Plist& operator=(const Plist&) = delete;

    decltype(&plist_from_memory) fromMemory;
    decltype(&plist_free) free;
    decltype(&plist_get_node_type) getNodeType;
    decltype(&plist_get_string_val) getStringVal;
    decltype(&plist_get_bool_val) getBoolVal;
    decltype(&plist_get_uint_val) getUintVal;
    decltype(&plist_get_real_val) getRealVal;
    decltype(&plist_get_date_val) getDateVal;
    decltype(&plist_get_data_val) getDataVal;
    decltype(&plist_array_get_size) arrayGetSize;
    decltype(&plist_array_get_item) arrayGetItem;
    decltype(&plist_dict_new_iter) dictNewIter;
    decltype(&plist_dict_next_item) dictNextItem;

  private:
    [[noreturn]] static void unavailable() {
        throw BundleError(BundleError::kUnreadable,
                          "cannot load the property list library " TAMSEL_PLIST_SONAME);
    }
    template <class Function>
    void resolve(Function& function, const char* name) {
        void* symbol = dlsym(handle_, name);
        if (!symbol) unavailable();
        function = reinterpret_cast<Function>(symbol);
    }

    void* handle_;
};

PropertyValue convert(const Plist& plist, plist_t node) {
    switch (plist.getNodeType(node)) {
        case PLIST_STRING: {
            char* text = nullptr;
            plist.getStringVal(node, &text);
            std::string value = text ? text : "";
            std::free(text);
            return {value};
        }
        case PLIST_BOOLEAN: {
            std::uint8_t flag = 0;
            plist.getBoolVal(node, &flag);
            return {flag != 0};
        }
        case PLIST_UINT: {
            std::uint64_t number = 0;
            plist.getUintVal(node, &number);
            return {static_cast<std::int64_t>(number)};
        }
        case PLIST_REAL: {
            double number = 0;
            plist.getRealVal(node, &number);
            return {number};
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0, micros = 0;
            plist.getDateVal(node, &seconds, &micros);
            auto since =
                std::chrono::seconds(kReferenceDateOffset + seconds) + std::chrono::microseconds(micros);
            return {PropertyDate(std::chrono::duration_cast<PropertyDate::duration>(since))};
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist.getDataVal(node, &bytes, &length);
            PropertyData data(bytes, bytes + length);
            std::free(bytes);
            return {data};
        }
        case PLIST_ARRAY: {
            PropertyArray array;
            for (std::uint32_t i = 0, n = plist.arrayGetSize(node); i < n; ++i)
                array.push_back(convert(plist, plist.arrayGetItem(node, i)));
            return {array};
        }
        case PLIST_DICT: {
            PropertyDictionary dictionary;
            plist_dict_iter it = nullptr;
            plist.dictNewIter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist.dictNextItem(node, it, &key, &item);
                if (!key) break;
                dictionary.emplace(key, convert(plist, item));
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
    const Plist plist;
    plist_t root = nullptr;
#if TAMSEL_PLIST_FORMAT_ARGUMENT
    plist.fromMemory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root, nullptr);
#else
    plist.fromMemory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
#endif
    if (!root) throw BundleError(BundleError::kNotAPropertyList, "Info.plist is not a property list");
    if (plist.getNodeType(root) != PLIST_DICT) {
        plist.free(root);
        throw BundleError(BundleError::kNotADictionary, "Info.plist is not a dictionary");
    }
    auto converted = convert(plist, root);
    plist.free(root);
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
