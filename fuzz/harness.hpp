#pragma once
// Shared by the fuzz targets: one call's pipeline (bytes, UTF-8 check, parser) and the
// oracles that tell an expected outcome from a bug. Sanitizers catch the rest.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "core/check.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace fuzz {

// Stops the run so that the fuzzer keeps the input, saying why: on stdout, since fuzz runs
// send stderr (the parsers' failure reports) to /dev/null.
[[noreturn]] inline void bug(std::string_view what, std::string_view detail) {
    std::string text = "fuzz oracle: " + std::string(what) + ": " + std::string(detail) + "\n";
    (void)!::write(1, text.data(), text.size());
    std::abort();
}

// An independent strict decoder, code point by code point: no overlong forms, surrogates
// or values above U+10FFFF.
inline bool reference_utf8(const uint8_t* p, size_t size) {
    for (size_t i = 0; i < size;) {
        uint8_t lead = p[i];
        size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || size - i < length) return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// The messages that callers are told to expect; anything else is a bug.
inline bool is_documented(std::string_view message, bool token_order_failures) {
    using namespace std::literals;
    if (message == core::kMissingItem) return true;
    if (message.starts_with(core::kUnwrapErr)) {
        std::string_view error = message.substr(std::string_view(core::kUnwrapErr).size());
        for (auto kind : {"ParseFloatError { kind: Empty }"sv, "ParseFloatError { kind: Invalid }"sv,
                          "ParseIntError { kind: Empty }"sv, "ParseIntError { kind: InvalidDigit }"sv,
                          "ParseIntError { kind: PosOverflow }"sv, "ParseIntError { kind: NegOverflow }"sv}) {
            if (error == kind) return true;
        }
        return false;
    }
    if (!token_order_failures) return false;
    for (auto fixed : {"Encountered Contribution"sv, "Encountered Divider"sv, "Table divider expected"sv,
                       "Unexpected token None"sv, "Unexpected token Some(TableDivider)"sv,
                       "Unexpected token Some(SectionDivider)"sv}) {
        if (message == fixed) return true;
    }
    return message.ends_with("]))") && (message.starts_with("Unexpected token Some(TableHeader([") ||
                                        message.starts_with("Unexpected token Some(Contribution(\""));
}

// Runs one input the way a call does: bytes the module takes for UTF-8 must be UTF-8, and
// a failure must carry a documented message and a note that Python can turn into strs.
template <typename Parse>
int run(const uint8_t* data, size_t size, bool token_order_failures, Parse parse) {
    // The check runs on the fuzzer's own buffer, which ends exactly at `size`, so that
    // reading one byte too far is caught.
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bool valid = core::is_valid_utf8(bytes);
    if (valid != reference_utf8(data, size)) bug("UTF-8 check disagrees with the reference", valid ? "accepted" : "rejected");
    if (!valid) return 0;  // a read failure: the parser never sees such a file
    try {
        parse(core::Text(bytes));
    } catch (const core::CheckFailure& failure) {
        if (!is_documented(failure.message(), token_order_failures)) bug("undocumented failure message", failure.message());
        if (!core::is_valid_utf8(failure.message())) bug("failure message is not UTF-8", failure.message());
        // Every failure of a parser comes from the file's content and names where it stands.
        const core::Location& where = failure.location();
        size_t lines = 1 + static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
        bool has_line = where.kind() == core::Location::Kind::Line || where.kind() == core::Location::Kind::EndOfInput;
        if (has_line ? where.line() < 1 || where.line() > lines : where.kind() != core::Location::Kind::MissingHeading) {
            bug("failure without a place in the input", where.note("input"));
        }
        if (!core::is_valid_utf8(where.note("input"))) bug("note is not UTF-8", where.note("input"));
    }
    return 0;
}

}  // namespace fuzz
