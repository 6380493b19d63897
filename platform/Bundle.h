#pragma once
// The extension's own bundle settings (its information property list) and its
// bundle identifier. Values keep their property-list type, so a caller can tell
// a string from a number or a dictionary.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/PlatformError.h"

namespace tamsel::platform {

struct PropertyValue;
using PropertyArray = std::vector<PropertyValue>;
using PropertyDictionary = std::map<std::string, PropertyValue>;
using PropertyDate = std::chrono::system_clock::time_point;
using PropertyData = std::vector<std::uint8_t>;

struct PropertyValue {
    std::variant<std::string, std::int64_t, double, bool, PropertyDate, PropertyData, PropertyArray,
                 PropertyDictionary>
        value;

    const std::string* string() const { return std::get_if<std::string>(&value); }
};

class Bundle {
  public:
    virtual ~Bundle() = default;
    virtual std::optional<PropertyValue> object(const std::string& key) const = 0;
    virtual std::optional<std::string> identifier() const = 0;
};

// Reads DIR/Info.plist (XML or binary) once, at construction. A missing or
// unreadable file throws BundleError; the host refuses to start without it.
class PlistBundle final : public Bundle {
  public:
    // Info.plist must be a regular file (no link followed) of at most this size.
    static constexpr std::size_t kLargestInfoPlist = 1024 * 1024;

    explicit PlistBundle(const std::filesystem::path& directory);
    std::optional<PropertyValue> object(const std::string& key) const override;
    std::optional<std::string> identifier() const override;

  private:
    PropertyDictionary values_;
};

// A bundle that cannot be read. what() is fixed text naming the fault, never
// anything read from the file.
class BundleError : public std::exception, public Error {
  public:
    static constexpr long kUnreadable = 1;
    static constexpr long kNotARegularFile = 2;
    static constexpr long kTooLarge = 3;
    static constexpr long kNotAPropertyList = 4;
    static constexpr long kNotADictionary = 5;

    BundleError(long code, const char* what) : Error(ErrorDomain::bundle, code), what_(what) {}
    long code() const noexcept { return errorCode(); }
    const char* what() const noexcept override { return what_; }

  private:
    const char* what_;
};

// In-memory bundle for tests and for tools that build one from arguments.
class MemoryBundle final : public Bundle {
  public:
    MemoryBundle() = default;
    MemoryBundle(PropertyDictionary values, std::optional<std::string> identifier)
        : values_(std::move(values)), identifier_(std::move(identifier)) {}
    std::optional<PropertyValue> object(const std::string& key) const override;
    std::optional<std::string> identifier() const override { return identifier_; }

    void set(const std::string& key, PropertyValue value) { values_[key] = std::move(value); }
    void erase(const std::string& key) { values_.erase(key); }
    void setIdentifier(std::optional<std::string> identifier) { identifier_ = std::move(identifier); }

  private:
    PropertyDictionary values_;
    std::optional<std::string> identifier_;
};

}  // namespace tamsel::platform
