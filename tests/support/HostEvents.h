#pragma once
// The host's log as the tests read it: the "message" of each JSON line on its
// standard error, and the events every expired run must show.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "tests/support/Process.h"

namespace tamsel::testing {

inline std::vector<std::string> logMessages(const std::string& err) {
    std::vector<std::string> out;
    for (const auto& line : splitLines(err)) {
        auto json = platform::Json::parse(line, nullptr, false);
        if (json.is_object() && json.contains("message") && json["message"].is_string())
            out.push_back(json["message"]);
    }
    return out;
}

// Expiry hands off the fallback once, after saying so, and stops the run, whose
// end is still logged; expiry waits for neither, so the run's end may come
// before or after the hand-off.
inline void expectExpiredRun(const std::vector<std::string>& events) {
    auto at = [&](const std::string& event) {
        return std::find(events.begin(), events.end(), event) - events.begin();
    };
    const std::string failed = "extension_worker_failed type=tamsel.platform.CancellationError";
    ASSERT_LT(at("extension_time_expired"), static_cast<long>(events.size()));
    EXPECT_LT(at("extension_time_expired"), at("extension_content_handoff"));
    EXPECT_LT(at("extension_content_handoff"), at("extension_generic_fallback"));
    EXPECT_EQ(std::count(events.begin(), events.end(), "extension_content_handoff"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), failed), 1);
    EXPECT_LT(at("extension_time_expired"), at(failed));
}

}  // namespace tamsel::testing
