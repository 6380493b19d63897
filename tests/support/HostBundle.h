#pragma once
// The bundle directory the host reads its settings from, as the tests write it:
// an XML Info.plist with the identifier and the settings given.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace tamsel::testing {

struct HostBundleSettings {
    std::optional<std::string> baseURL;        // TAMSEL_API_BASE_URL
    std::optional<std::string> keychainGroup;  // TAMSEL_NOTIFICATION_KEYCHAIN_GROUP
    std::optional<std::string> appGroup;       // TAMSEL_NOTIFICATION_APP_GROUP
};

inline void writeHostBundle(const std::filesystem::path& bundle, const HostBundleSettings& settings) {
    auto escaped = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '&')
                out += "&amp;";
            else if (c == '<')
                out += "&lt;";
            else if (c == '>')
                out += "&gt;";
            else
                out += c;
        }
        return out;
    };
    auto entry = [&](const char* key, const std::optional<std::string>& value) {
        return value ? "  <key>" + std::string(key) + "</key><string>" + escaped(*value) + "</string>\n"
                     : std::string();
    };
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle / "Info.plist", std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n"
        << "  <key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.NotificationService</string>\n"
        << entry("TAMSEL_API_BASE_URL", settings.baseURL)
        << entry("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP", settings.keychainGroup)
        << entry("TAMSEL_NOTIFICATION_APP_GROUP", settings.appGroup) << "</dict></plist>\n";
}

}  // namespace tamsel::testing
