#pragma once
// Check failures: the one way the module's own code reports a broken expectation.
// Free of Python.h so that the parsers can raise them; only the entry points catch.

#include <optional>
#include <source_location>
#include <string>
#include <utility>

#include "core/location.hpp"

namespace core {

inline constexpr const char* kMissingItem = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";

// Carries the message, and where in the input the check failed, to the entry point; the
// report has already been written, unless reports were deferred (DeferredReports).
class CheckFailure {
public:
    CheckFailure(std::string message, Location location, std::source_location at)
        : message_(std::move(message)), location_(location), at_(at) {}
    const std::string& message() const noexcept { return message_; }
    const Location& location() const noexcept { return location_; }
    Location& location() noexcept { return location_; }
    // Writes the failure report to fd 2, unless reports are deferred on this thread.
    void report() const;
    // Writes it now, deferred or not: a failure caught as data, reported as a call would report it.
    void report_now() const;

private:
    std::string message_;
    Location location_;
    std::source_location at_;  // of the failed check, for the report
};

// While one lives on a thread, failures there are not reported when they happen: the code
// that catches them reports them (CheckFailure::report) or drops them, e.g. a reading that
// still has another way to try, or a reader that turns failures into data.
class DeferredReports {
public:
    DeferredReports() noexcept;
    ~DeferredReports();
    DeferredReports(const DeferredReports&) = delete;
    DeferredReports& operator=(const DeferredReports&) = delete;
    static bool active() noexcept;
};

// The note that says where in the file `path` the failure stands; none when it stands nowhere in
// the content (e.g. the file could not be opened) or the note cannot be made.
std::optional<std::string> note_of(const CheckFailure& failure, std::string_view path) noexcept;

// Writes the failure report to fd 2 now (see DeferredReports), then unwinds to the entry point.
[[noreturn, gnu::cold]] void fail(std::string message, Location location,
                                  std::source_location at = std::source_location::current());
[[noreturn, gnu::cold]] inline void fail(std::string message, std::source_location at = std::source_location::current()) {
    fail(std::move(message), Location(), at);
}

// A failure found while a section is still being read, raised once the reading is over:
// a failure of the reading itself, anywhere in the section, is reported first.
struct HeldFailure {
    std::string message;
    Location location;
    std::source_location at;
    [[noreturn]] void raise() const { fail(message, location, at); }
};

// Unwraps a present value; an absent one is a missing-item failure on `line`.
template <typename T>
T expect(std::optional<T>&& value, std::string_view line, std::source_location at = std::source_location::current()) {
    if (!value) fail(kMissingItem, Location::line_of(line), at);
    return std::move(*value);
}

// Runs `parse`, whose failures may point into `input`: they learn their line while `input`
// is still there.
template <typename Parse>
auto locating_failures(std::string_view input, Parse&& parse) -> decltype(parse()) {
    try {
        return parse();
    } catch (CheckFailure& failure) {
        failure.location().resolve(input);
        throw;
    }
}

}  // namespace core
