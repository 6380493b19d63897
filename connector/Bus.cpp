#include "connector/Bus.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

namespace tamsel::connector {
namespace {

struct ErrorGuard {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~ErrorGuard() { sd_bus_error_free(&error); }
};

struct MessageGuard {
    sd_bus_message* m = nullptr;
    ~MessageGuard() { sd_bus_message_unref(m); }
};

std::string failure(const std::string& step, int result, const sd_bus_error& error) {
    std::string text = step + " failed";
    if (sd_bus_error_is_set(&error))
        text += " (" + std::string(error.name) + ")";
    else if (result < 0)
        text += " (errno " + std::to_string(-result) + ")";
    return text;
}

std::vector<std::string> readNames(sd_bus* bus, const char* method) {
    ErrorGuard error;
    MessageGuard reply;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               method, &error.error, &reply.m, "");
    if (r < 0) throw BusError(failure(method, r, error.error));
    char** names = nullptr;
    if (sd_bus_message_read_strv(reply.m, &names) < 0)
        throw BusError(std::string(method) + " answered oddly");
    std::vector<std::string> out;
    for (char** n = names; n && *n; ++n) {
        out.emplace_back(*n);
        std::free(*n);
    }
    std::free(names);
    return out;
}

}  // namespace

BusPtr openSessionBus() {
    sd_bus* bus = nullptr;
    int r;
    // Started by the bus: talk to that bus, whatever the session variable says.
    const char* starter = std::getenv("DBUS_STARTER_ADDRESS");
    if (starter && *starter) {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, starter);
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    } else {
        r = sd_bus_open_user(&bus);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        throw BusError("cannot connect to the session bus (errno " + std::to_string(-r) + ")");
    }
    return BusPtr(bus);
}

std::optional<Dict> readDict(sd_bus_message* m) {
    Dict dict;
    if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) return std::nullopt;
    for (;;) {
        int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r < 0) return std::nullopt;
        if (r == 0) break;
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) return std::nullopt;
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_peek_type(m, &type, &contents) < 0 || type != SD_BUS_TYPE_VARIANT || !contents)
            return std::nullopt;
        std::string signature = contents;
        if (sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, signature.c_str()) <= 0)
            return std::nullopt;
        if (signature == "s") {
            const char* value = nullptr;
            if (sd_bus_message_read(m, "s", &value) < 0) return std::nullopt;
            dict[key] = std::string(value);
        } else if (signature == "ay") {
            const void* data = nullptr;
            std::size_t size = 0;
            if (sd_bus_message_read_array(m, 'y', &data, &size) < 0) return std::nullopt;
            auto bytes = static_cast<const std::uint8_t*>(data);
            dict[key] = std::vector<std::uint8_t>(bytes, bytes + size);
        } else if (sd_bus_message_skip(m, signature.c_str()) < 0) {
            return std::nullopt;
        }
        if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0) return std::nullopt;
    }
    if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
    return dict;
}

const std::string* dictString(const Dict& dict, const std::string& key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : std::get_if<std::string>(&it->second);
}

std::vector<std::string> listDistributors(sd_bus* bus) {
    std::set<std::string> found;
    for (const char* method : {"ListNames", "ListActivatableNames"})
        for (auto& name : readNames(bus, method))
            if (name.starts_with(kDistributorPrefix) &&
                name.size() > std::string_view(kDistributorPrefix).size())
                found.insert(name);
    return {found.begin(), found.end()};
}

std::string nameOwner(sd_bus* bus, const std::string& name) {
    ErrorGuard error;
    MessageGuard reply;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetNameOwner", &error.error, &reply.m, "s", name.c_str());
    if (r < 0) {
        if (sd_bus_error_has_name(&error.error, "org.freedesktop.DBus.Error.NameHasNoOwner")) return {};
        throw BusError(failure("GetNameOwner", r, error.error));
    }
    const char* owner = nullptr;
    if (sd_bus_message_read(reply.m, "s", &owner) < 0) throw BusError("GetNameOwner answered oddly");
    return owner;
}

std::string distributorBusName(const std::string& requested) {
    return requested.starts_with(kDistributorPrefix) ? requested : kDistributorPrefix + requested;
}

DistributorChoice chooseDistributor(const std::vector<std::string>& onBus,
                                    const std::optional<std::string>& requested) {
    std::string listing;
    for (const auto& name : onBus) listing += (listing.empty() ? "" : ", ") + name;
    if (requested) {
        std::string name = distributorBusName(*requested);
        if (std::find(onBus.begin(), onBus.end(), name) != onBus.end()) return {name, {}};
        return {{},
                "no distributor " + name + " on the session bus" +
                    (onBus.empty() ? std::string(" (there is none)") : "; there are: " + listing)};
    }
    if (onBus.size() == 1) return {onBus[0], {}};
    if (onBus.empty()) return {{}, "no push distributor (org.unifiedpush.Distributor.*) on the session bus"};
    return {{}, "several push distributors on the session bus; pick one with --distributor: " + listing};
}

}  // namespace tamsel::connector
