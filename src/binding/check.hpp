#pragma once
// Check failures: the one way the module's own code reports a broken expectation.
// Free of Python.h so that the parsers can raise them; only the entry points catch.

#include <optional>
#include <source_location>
#include <string>
#include <utility>

namespace binding {

inline constexpr const char* kMissingItem = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";

// Carries the message to the entry point; the report has already been written.
class CheckFailure {
public:
    explicit CheckFailure(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the failure report to fd 2 now, then unwinds to the entry point.
[[noreturn, gnu::cold]] void fail(std::string message,
                                  std::source_location at = std::source_location::current());

// A failure found while a section is still being read, raised once the reading is over:
// a failure of the reading itself, anywhere in the section, is reported first.
struct HeldFailure {
    std::string message;
    std::source_location at;
    [[noreturn]] void raise() const { fail(message, at); }
};

// Unwraps a present value; an absent one is a missing-item failure at the caller's position.
template <typename T>
T expect(std::optional<T>&& value, std::source_location at = std::source_location::current()) {
    if (!value) fail(kMissingItem, at);
    return std::move(*value);
}

}  // namespace binding
