#pragma once
// Shared by the fuzz targets: the pipeline of one call (bytes, UTF-8 check, parser) and the
// oracles that tell an expected outcome from a bug.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "binding/check.hpp"
#include "binding/utf8.hpp"

namespace fuzz {

// Set by a driver that has more to say about a failing input.
inline void (*before_abort)() = nullptr;

// Stops the run so that the fuzzer keeps the input, saying why: on stdout, since fuzz runs
// send stderr (the parsers' failure reports) to /dev/null.
[[noreturn]] inline void bug(std::string_view what, std::string_view detail) {
    std::string text = "fuzz oracle: " + std::string(what) + ": " + std::string(detail) + "\n";
    (void)!::write(1, text.data(), text.size());
    if (before_abort) before_abort();
    std::abort();
}

// An independent strict decoder: code point by code point, rejecting overlong forms,
// surrogates and values above U+10FFFF. Disagreement with the module's check is a bug.
inline bool reference_utf8(const uint8_t* p, size_t size) {
    size_t i = 0;
    while (i < size) {
        uint8_t lead = p[i];
        size_t length;
        uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07;
        } else {
            return false;
        }
        if (size - i < length) return false;
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

inline bool starts_and_ends(std::string_view text, std::string_view head, std::string_view tail) {
    return text.size() >= head.size() + tail.size() && text.starts_with(head) && text.ends_with(tail);
}

// The messages that callers are told to expect; anything else is a bug.
inline bool is_documented(std::string_view message, bool token_order_failures) {
    using namespace std::literals;
    if (message == binding::kMissingItem) return true;
    std::string_view unwrap = binding::kUnwrapErr;
    if (message.starts_with(unwrap)) {
        std::string_view error = message.substr(unwrap.size());
        for (auto kind : {"Empty"sv, "Invalid"sv}) {
            if (error == "ParseFloatError { kind: "s + std::string(kind) + " }") return true;
        }
        for (auto kind : {"Empty"sv, "InvalidDigit"sv, "PosOverflow"sv, "NegOverflow"sv}) {
            if (error == "ParseIntError { kind: "s + std::string(kind) + " }") return true;
        }
        return false;
    }
    if (!token_order_failures) return false;
    for (auto fixed : {"Encountered Contribution"sv, "Encountered Divider"sv, "Table divider expected"sv,
                       "Unexpected token None"sv, "Unexpected token Some(TableDivider)"sv,
                       "Unexpected token Some(SectionDivider)"sv}) {
        if (message == fixed) return true;
    }
    return starts_and_ends(message, "Unexpected token Some(TableHeader([", "]))") ||
           starts_and_ends(message, "Unexpected token Some(Contribution(\"", "]))");
}

// The parser's owned input, made from the bytes; converts to whichever owning text type
// the parser takes, so the targets follow changes of that type.
struct OwnedText {
    std::string_view bytes;
    template <typename Text>
    operator Text() const {
        return Text(bytes);
    }
};

// "result ..." or "failure <message>": how a parse of `text` ended.
template <typename Parse>
std::string outcome_of(const OwnedText& text, Parse parse) {
    try {
        return "result " + parse(text);
    } catch (const binding::CheckFailure& failure) {
        return "failure " + failure.message();
    }
}

// Runs one input the way a call does: a failure must carry a documented message that
// Python can turn into a str, and the outcome must be the reference parser's.
template <typename Parse, typename Reference>
int run(const uint8_t* data, size_t size, bool token_order_failures, Parse parse, Reference reference) {
    // The module's check runs on the fuzzer's own buffer, which ends exactly at `size`,
    // so that reading one byte too far is caught.
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bool valid = binding::is_valid_utf8(bytes);
    if (valid != reference_utf8(data, size)) bug("UTF-8 check disagrees with the reference", valid ? "accepted" : "rejected");
    if (!valid) return 0;  // a read failure: the parser never sees such a file
    std::string got = outcome_of(OwnedText{bytes}, parse);
    if (got.starts_with("failure ")) {
        std::string_view message = std::string_view(got).substr(8);
        if (!is_documented(message, token_order_failures)) bug("undocumented failure message", message);
        if (!binding::is_valid_utf8(message)) bug("failure message is not UTF-8", message);
    }
    std::string want = outcome_of(OwnedText{bytes}, reference);
    if (got != want) {
        size_t at = 0;
        while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
        size_t from = at > 200 ? at - 200 : 0;
        bug("outcome differs from the reference parser",
            "\n  module:    " + got.substr(from, 400) + "\n  reference: " + want.substr(from, 400));
    }
    return 0;
}

}  // namespace fuzz
