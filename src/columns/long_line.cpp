#include "columns/long_line.hpp"

#include <algorithm>

#include "parsers/lines.hpp"

namespace columns {
namespace {

// The bytes of a whitespace character's first byte that need more bytes to tell.
size_t whitespace_size_from(unsigned char lead) noexcept {
    switch (lead) {
        case 0xC2: return 2;
        case 0xE1: case 0xE2: case 0xE3: return 3;
        default: return 0;
    }
}

bool may_start_whitespace(char c) noexcept {
    auto byte = static_cast<unsigned char>(c);
    return parsers::is_ascii_whitespace(byte) || whitespace_size_from(byte) > 0;
}

// Where the leading whitespace of `text` ends; `cut` when what follows may yet be whitespace.
size_t end_of_leading_whitespace(std::string_view text, bool& cut) noexcept {
    size_t at = parsers::skip_blank_words(text, 0);
    while (at < text.size()) {
        if (size_t length = parsers::whitespace_length(text, at)) {
            at += length;
        } else {
            cut = cut_whitespace_at_end(text, at);
            break;
        }
    }
    return at;
}

}  // namespace

size_t cut_whitespace_at_end(std::string_view text, size_t at) noexcept {
    size_t needed = whitespace_size_from(static_cast<unsigned char>(text[at]));
    return needed > 0 && text.size() - at < needed;
}

void LineProbe::feed(std::string_view part) {
    if (part.empty()) return;
    std::string joined;
    if (!pending_.empty()) {
        joined = std::move(pending_) + std::string(part);
        pending_.clear();
        part = joined;
    }
    if (!content_started_) {
        bool cut = false;
        size_t at = end_of_leading_whitespace(part, cut);
        if (cut) {
            pending_ = part.substr(at);
            return;
        }
        part.remove_prefix(at);
        if (part.empty()) return;
        content_started_ = true;
    }
    size_t kept = std::min(part.size(), kKept - kept_.size());
    kept_.append(part.substr(0, kept));
    content_ += part.size();
    last_ = part.back();
    look_beyond(part.substr(kept));
}

void LineProbe::look_beyond(std::string_view part) {
    for (size_t at = 0; !beyond_ && at < part.size();) {
        if (size_t length = parsers::whitespace_length(part, at)) {
            at += length;
        } else if (cut_whitespace_at_end(part, at)) {
            pending_ = part.substr(at);  // may yet be whitespace, once the next bytes come
            return;
        } else {
            beyond_ = true;
        }
    }
}

std::string_view LineProbe::end(bool newline) {
    if (!pending_.empty()) {  // cut short by the line's end: no whitespace
        std::string rest = std::move(pending_);
        pending_.clear();
        content_started_ = true;
        size_t kept = std::min(rest.size(), kKept - std::min(kKept, kept_.size()));
        kept_.append(rest.substr(0, kept));
        content_ += rest.size();
        last_ = rest.back();
        beyond_ = beyond_ || rest.size() > kept;
    }
    // The line cursor takes a "\r" before the newline off the line.
    size_t length = content_ - (newline && content_ > 0 && last_ == '\r' ? 1 : 0);
    if (beyond_ && kept_.size() == kKept) kept_.push_back('.');
    return std::string_view(kept_).substr(0, beyond_ ? kept_.size() : std::min(length, kKept));
}

void FieldCapture::feed(std::string_view part) {
    if (done_ || part.empty()) return;
    std::string joined;
    if (!pending_.empty()) {
        joined = std::move(pending_) + std::string(part);
        pending_.clear();
        part = joined;
    }
    size_t at = 0;
    if (!started_) {
        bool cut = false;
        at = end_of_leading_whitespace(part, cut);
        if (cut) {
            pending_ = part.substr(at);
            return;
        }
        if (at == part.size()) return;
        started_ = true;
    }
    while (at < part.size()) {
        size_t run = at;
        while (run < part.size() && !may_start_whitespace(part[run])) ++run;
        field_.append(part.substr(at, run - at));
        at = run;
        if (at == part.size()) return;
        if (parsers::whitespace_length(part, at) > 0) {
            done_ = true;
            return;
        }
        if (cut_whitespace_at_end(part, at)) {
            pending_ = part.substr(at);
            return;
        }
        field_ += part[at++];
    }
}

void FieldCapture::end() {
    if (!done_) field_ += pending_;  // cut short by the line's end: no whitespace
    pending_.clear();
    done_ = true;
}

}  // namespace columns
