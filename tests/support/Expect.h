#pragma once
// What a call throws, read in one line: the tests compare an error's code (or
// kind, or text) instead of repeating try / ADD_FAILURE / catch around each call.
#include <gtest/gtest.h>

#include <optional>
#include <type_traits>
#include <utility>

namespace tamsel::testing {

// Runs `call`. When it throws an E, returns what `read` takes from it; when it
// returns, records a failure and returns nothing. Other exceptions pass through.
template <class E, class Call, class Read>
auto thrown(Call&& call, Read&& read) -> std::optional<std::decay_t<std::invoke_result_t<Read, const E&>>> {
    try {
        std::forward<Call>(call)();
    } catch (const E& error) {
        return read(error);
    }
    ADD_FAILURE() << "returned, expected an exception";
    return std::nullopt;
}

// The code() of the E that `call` throws.
template <class E, class Call>
auto thrownCode(Call&& call) {
    return thrown<E>(std::forward<Call>(call), [](const E& error) { return error.code(); });
}

// The value of the std::error_code of the E that `call` throws: an errno for system errors.
template <class E, class Call>
auto thrownErrno(Call&& call) {
    return thrown<E>(std::forward<Call>(call), [](const E& error) { return error.code().value(); });
}

}  // namespace tamsel::testing
