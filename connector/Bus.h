#pragma once
// The session-bus pieces the connector's commands share: the connection, the
// a{sv} dictionaries the push interfaces pass, and the distributors on the bus.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace tamsel::connector {

inline constexpr const char* kConnectorPath = "/org/unifiedpush/Connector";
inline constexpr const char* kConnectorInterface = "org.unifiedpush.Connector2";
inline constexpr const char* kDistributorPath = "/org/unifiedpush/Distributor";
inline constexpr const char* kDistributorInterface = "org.unifiedpush.Distributor2";
inline constexpr const char* kDistributorPrefix = "org.unifiedpush.Distributor.";

// A bus operation failed; the text names the step and the D-Bus error name.
class BusError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Owns one sd_bus reference.
struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

// The bus that started this process (D-Bus activation), else the session bus.
BusPtr openSessionBus();

// A string or a byte array: what the push interfaces' dictionaries carry.
using DictValue = std::variant<std::string, std::vector<std::uint8_t>>;
using Dict = std::map<std::string, DictValue>;

// Reads an a{sv} argument. Values of other types are skipped; nothing when the
// argument is not a{sv}.
std::optional<Dict> readDict(sd_bus_message* message);

// The string under `key`, or nothing (absent, or not a string).
const std::string* dictString(const Dict& dict, const std::string& key);

// Every name beginning with org.unifiedpush.Distributor. that is owned now or
// can be started, sorted. Throws BusError.
std::vector<std::string> listDistributors(sd_bus* bus);

// The unique name owning `name`, empty when nobody does. Throws BusError for
// another failure.
std::string nameOwner(sd_bus* bus, const std::string& name);

// `requested` as a full bus name: a bare NAME becomes org.unifiedpush.Distributor.NAME.
std::string distributorBusName(const std::string& requested);

// Picks the distributor: the one requested, or the only one on the bus. On
// failure, the error text lists those on the bus.
struct DistributorChoice {
    std::string name;   // empty on failure
    std::string error;  // why none was picked
};
DistributorChoice chooseDistributor(const std::vector<std::string>& onBus,
                                    const std::optional<std::string>& requested);

}  // namespace tamsel::connector
