#pragma once

#include <optional>

namespace OrvexTest {

/// The error of type `Error` that `operation` throws, or nothing when it throws none.
template <class Error, class Operation> std::optional<Error> thrownBy(Operation&& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

} // namespace OrvexTest
