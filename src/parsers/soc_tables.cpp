#include "parsers/soc_tables.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/byte_words.hpp"
#include "core/check.hpp"
#include "parsers/headings.hpp"
#include "parsers/numbers.hpp"

namespace parsers::tddft {
namespace {

using records::tddft::SOCCoupling;
using records::tddft::SOCTransition;
using records::tddft::SpectrumKind;

// Whether a trimmed text holds hyphens only (or nothing).
bool hyphens_only(std::string_view text) { return text.find_first_not_of('-') == std::string_view::npos; }

// A line of hyphens, as frames and the rules under headers are.
bool is_rule(std::string_view line) {
    std::string_view text = trim(line);
    return !text.empty() && hyphens_only(text);
}

bool is_blank(std::string_view line) { return trim_start(line).empty(); }

// A blank line or a rule: the end of a table's rows.
bool ends_table(std::string_view line) { return hyphens_only(trim(line)); }

[[noreturn]] void fail_row(std::string_view table, const char* reason, std::string_view line) {
    core::fail(std::string(table) + ": the row does not read: " + reason, core::Location::line_of(line));
}

// The number read, or the row's failure.
template <typename T>
T number_of(Parsed<T> parsed, std::string_view table, std::string_view line) {
    if (parsed.error.kind) fail_row(table, "a bad number", line);
    return parsed.value;
}

// The next line: in `seeking`, the next one that holds `needle`.
std::optional<std::string_view> next_line(LineCursor& lines, bool seeking, std::string_view needle) {
    return seeking ? lines.next_holding(needle) : lines.next();
}

template <typename Reading>
auto read_whole(std::string_view text) {
    LineCursor lines(text);
    Reading reading;
    reading.read(lines);
    return std::move(reading).finish();
}

// The first fields of a line, as the module's fields split it: up to one more than a row of
// the tables holds, so that a longer row is known, kept in place (a row's vector, grown field by
// field, cost more than reading its numbers).
class FieldList {
public:
    static constexpr size_t kMost = 11;

    explicit FieldList(std::string_view line) {
        Fields split(line);
        while (size_ < kMost) {
            std::optional<std::string_view> field = split.next();
            if (!field) break;
            fields_[size_++] = *field;
        }
    }
    size_t size() const noexcept { return size_; }
    std::string_view operator[](size_t i) const { return fields_[i]; }
    bool operator==(std::span<const std::string_view> names) const {
        return std::equal(fields_.begin(), fields_.begin() + static_cast<ptrdiff_t>(size_), names.begin(), names.end());
    }
    // The first field as two: all but its last `width` bytes, and those.
    void split_first(size_t width) {
        std::copy_backward(fields_.begin() + 1, fields_.begin() + static_cast<ptrdiff_t>(size_), fields_.begin() + static_cast<ptrdiff_t>(size_) + 1);
        fields_[1] = fields_[0].substr(fields_[0].size() - width);
        fields_[0].remove_suffix(width);
        ++size_;
    }

private:
    std::array<std::string_view, kMost> fields_{};
    size_t size_ = 0;
};

// A row of couplings taken from the front: words, and the parentheses and commas between them,
// which may touch the numbers.
class RowText {
public:
    explicit RowText(std::string_view line) : line_(line), rest_(line) {}

    uint32_t integer() { return number_of(parse_u32(word()), kCouplingsTable, line_); }
    double number() { return number_of(parse_f64(word()), kCouplingsTable, line_); }
    void mark(char c, const char* reason) {
        rest_ = trim_start(rest_);
        if (rest_.empty()) fail("the row ends early");
        if (rest_.front() != c) fail(reason);
        rest_.remove_prefix(1);
    }
    void end() {
        if (!trim_start(rest_).empty()) fail("more than a row holds");
    }

private:
    static bool is_mark(char c) { return c == '(' || c == ')' || c == ','; }
    std::string_view word() {
        rest_ = trim_start(rest_);
        size_t n = 0;
        while (n < rest_.size()) {
            auto c = static_cast<unsigned char>(rest_[n]);
            if (c > ' ' && c < 0x80 && !is_mark(static_cast<char>(c))) {
                ++n;  // the usual byte of a number, without the look at White_Space
            } else if (is_mark(static_cast<char>(c)) || whitespace_length(rest_, n) != 0) {
                break;
            } else {
                ++n;
            }
        }
        if (n == 0) fail(rest_.empty() ? "the row ends early" : "a missing field");
        std::string_view word = rest_.substr(0, n);
        rest_.remove_prefix(n);
        return word;
    }
    [[noreturn]] void fail(const char* reason) { fail_row(kCouplingsTable, reason, line_); }

    std::string_view line_, rest_;
};

// Numbers in their places in a printed row, read eight bytes at a time: a loop that stops at the
// first blank mispredicts on most numbers, whose digits vary in number, and so does a branch on
// their sign. Any text other than the printed one gives none, and the reading by words then reads
// (or fails) it as it reads any row.
using core::digits_value, core::kEachByte, core::not_digits;

// The eight bytes before `end`; the first `blanks` of them read as blanks (they are not the place's).
uint64_t eight_before(const char* end, size_t blanks) {
    uint64_t bytes = core::word_at(end - 8);
    uint64_t before = blanks ? ~uint64_t{0} >> (64 - 8 * blanks) : 0;
    return (bytes & ~before) | (' ' * kEachByte & before);
}

// The front of a number in the bytes of `mask`, which a digit follows: blanks, a minus if `sign`,
// then digits. The bytes that hold the digits, the sign, and whether the front reads at all.
struct Front {
    uint64_t digits = 0;
    bool negative = false;
    bool holds = false;
};

Front front_of(uint64_t bytes, uint64_t mask, bool sign) {
    uint64_t others = not_digits(bytes) & mask;
    if (!others) return {mask, false, true};
    auto last = static_cast<size_t>(63 - std::countl_zero(others)) / 8;  // the last: the byte before the digits
    auto mark = static_cast<char>(bytes >> (8 * last));
    uint64_t before = (uint64_t{1} << (8 * last)) - 1;
    bool negative = sign & (mark == '-');
    bool blanks = ((bytes ^ (' ' * kEachByte)) & before & mask) == 0;
    bool holds = blanks & ((mark == ' ') | negative);
    return {mask & ~(before | uint64_t{0xFF} << (8 * last)), negative, holds};
}

// A count in its place of `width` (7 or 10) bytes that ends at `end`, as parse_u32 reads it.
std::optional<uint32_t> placed_count(const char* end, size_t width) {
    if (width > 8 && (end[-10] != ' ' || end[-9] != ' ')) return std::nullopt;
    uint64_t bytes = eight_before(end, width < 8 ? 8 - width : 0);
    Front front = front_of(bytes, ~uint64_t{0} >> 8, false);
    if (!front.holds || (not_digits(bytes) >> 56)) return std::nullopt;  // the last byte, a digit
    return digits_value((bytes ^ ('0' * kEachByte)) & (front.digits | uint64_t{0xFF} << 56));
}

// A value of two decimals in its place of `width` (7 or 8) bytes that ends at `end`, as parse_f64
// reads it: the digits as one whole number, exact, divided by 100 once (the sign set after).
std::optional<double> placed_value(const char* end, size_t width) {
    constexpr uint64_t kWhole = 0x000000FFFFFFFFFF, kDecimals = 0xFFFF000000000000;  // bytes 0-4, 6-7
    uint64_t bytes = eight_before(end, 8 - width);
    Front front = front_of(bytes, kWhole, true);
    bool point = ((bytes >> 40) & 0xFF) == '.';
    if (!(front.holds & point) || (not_digits(bytes) & (kDecimals | uint64_t{0xFF} << 32))) return std::nullopt;
    uint64_t values = bytes ^ ('0' * kEachByte);
    double value = static_cast<double>(digits_value(((values & front.digits) << 8) | (values & kDecimals))) / 100.0;
    return std::bit_cast<double>(std::bit_cast<uint64_t>(value) | uint64_t{front.negative} << 63);
}

// Whether `text` holds `literal` at `at` (a compare of known length, which the compiler inlines).
template <size_t N>
bool holds(std::string_view text, size_t at, const char (&literal)[N]) {
    return std::memcmp(text.data() + at, literal, N - 1) == 0;
}

// The heading's kind in `headings`, if it is one of them.
std::optional<SpectrumKind> kind_of(std::string_view heading, const std::array<std::string_view, 4>& headings) {
    auto found = std::find(headings.begin(), headings.end(), heading);
    if (found == headings.end()) return std::nullopt;
    return static_cast<SpectrumKind>(found - headings.begin());
}

// One row of a spectrum. Later layout: "0-1.0A  ->  1-3.0A eV cm-1 nm strength [squared] x y z",
// where the arrow touches a label of three digits; earlier: "0 1 cm-1 nm strength [squared] x y
// z", whose two state numbers (four places each) touch from 1000 on. A CD spectrum has no
// squared moment.
class SpectrumRow {
public:
    SpectrumRow(std::string_view line, bool later, SpectrumKind kind) : line_(line) {
        bool cd = kind == SpectrumKind::CDElectric || kind == SpectrumKind::CDVelocity;
        // The fields after the arrow (the second label and the values), or all of them.
        size_t expected = 8 + (cd ? 0 : 1);
        std::string_view from;
        if (later) {
            size_t arrow = line.find("->");
            if (arrow == std::string_view::npos) fail("a missing arrow");
            from = trim(line.substr(0, arrow));
            fields_ = FieldList(line.substr(arrow + 2));
        } else {
            fields_ = FieldList(line);
            if (fields_.size() + 1 == expected && fields_.size() != 0 && fields_[0].size() > 4) fields_.split_first(4);
        }
        if (fields_.size() < expected) fail("the row ends early");
        if (fields_.size() > expected) fail("more than a row holds");
        transition_.kind = kind;
        if (later) {
            state(from, transition_.from_state, transition_.from_multiplicity);
            state(fields_[next_++], transition_.to_state, transition_.to_multiplicity);
            transition_.energy_ev = number();
        } else {
            transition_.from_state = number_of(parse_u32(fields_[next_++]), kTransitionsTable, line_);
            transition_.to_state = number_of(parse_u32(fields_[next_++]), kTransitionsTable, line_);
        }
        transition_.energy_cm1 = number();
        transition_.wavelength_nm = number();
        transition_.strength = number();
        if (!cd) transition_.squared = number();
        transition_.x = number();
        transition_.y = number();
        transition_.z = number();
    }
    const SOCTransition& transition() const noexcept { return transition_; }

private:
    // "state-multiplicity" and a symmetry label, as in 1-3.0A (a label without symmetry reads too).
    void state(std::string_view label, uint32_t& number, std::optional<float>& multiplicity) {
        size_t dash = label.find('-');
        if (dash == std::string_view::npos) fail("a bad state label");
        size_t symmetry = std::min(label.find_first_not_of("0123456789.", dash + 1), label.size());
        Parsed<uint32_t> state = parse_u32(label.substr(0, dash));
        Parsed<float> value = parse_f32(label.substr(dash + 1, symmetry - dash - 1));
        if (state.error.kind || value.error.kind) fail("a bad state label");
        number = state.value;
        multiplicity = value.value;
    }
    double number() { return number_of(parse_f64(fields_[next_++]), kTransitionsTable, line_); }
    [[noreturn]] void fail(const char* reason) { fail_row(kTransitionsTable, reason, line_); }

    std::string_view line_;
    FieldList fields_{""};
    size_t next_ = 0;
    SOCTransition transition_{};
};

}  // namespace

// The row as the program prints it, "%10d%7d" and three times "    (%7.2f ,%8.2f )", read by
// places: the same numbers as the reading by words, at a fraction of its time. Any other row,
// wider numbers included, is left to that reading.
std::optional<SOCCoupling> printed_coupling_of(std::string_view line) {
    constexpr size_t kPair = 24, kSize = 17 + 3 * kPair;
    if constexpr (std::endian::native != std::endian::little) return std::nullopt;  // the places' bytes assume it
    // A singlet that fills its place touches the triplet: the words read them as one.
    if (line.size() != kSize || line[10] != ' ') return std::nullopt;
    std::optional<uint32_t> triplet = placed_count(line.data() + 10, 10), singlet = placed_count(line.data() + 17, 7);
    if (!triplet || !singlet) return std::nullopt;
    std::array<double, 6> numbers{};
    for (size_t pair = 0; pair < 3; ++pair) {
        size_t at = 17 + pair * kPair;
        if (!holds(line, at, "    (") || !holds(line, at + 12, " ,") || !holds(line, at + 22, " )")) return std::nullopt;
        std::optional<double> real = placed_value(line.data() + at + 12, 7);
        std::optional<double> imag = placed_value(line.data() + at + 22, 8);
        if (!real || !imag) return std::nullopt;
        numbers[2 * pair] = *real;
        numbers[2 * pair + 1] = *imag;
    }
    auto [z_real, z_imag, x_real, x_imag, y_real, y_imag] = numbers;
    return SOCCoupling{*triplet, *singlet, z_real, z_imag, x_real, x_imag, y_real, y_imag};
}

SOCCoupling coupling_by_words(std::string_view line) {
    RowText row(line);
    SOCCoupling coupling{};
    coupling.triplet = row.integer();
    coupling.singlet = row.integer();
    using Part = double SOCCoupling::*;
    constexpr std::array<std::pair<Part, Part>, 3> kPairs = {{{&SOCCoupling::z_real, &SOCCoupling::z_imag},
                                                               {&SOCCoupling::x_real, &SOCCoupling::x_imag},
                                                               {&SOCCoupling::y_real, &SOCCoupling::y_imag}}};
    for (auto [real, imag] : kPairs) {
        row.mark('(', "a missing parenthesis");
        coupling.*real = row.number();
        row.mark(',', "a missing comma");
        coupling.*imag = row.number();
        row.mark(')', "a missing parenthesis");
    }
    row.end();
    return coupling;
}

namespace {

SOCCoupling coupling_of(std::string_view line) {
    if (std::optional<SOCCoupling> printed = printed_coupling_of(line)) return *printed;
    return coupling_by_words(line);
}

}  // namespace

void SOCCouplingsReading::read(LineCursor& lines) {
    for (;;) {
        std::optional<std::string_view> line = next_line(lines, step_ == Step::Seek, headings::kSOCCouplingsCommon);
        if (!line) return;
        switch (step_) {
            case Step::Seek:
                if (trim(*line) == headings::kSOCCouplings) step_ = Step::Frame;
                break;
            case Step::Frame: step_ = is_rule(*line) ? Step::Root : Step::Seek; break;
            case Step::Root: step_ = Step::Header; break;
            case Step::Header: {
                // The Z/X/Y form; the spherical one names MS instead.
                constexpr std::array<std::string_view, 5> kNames = {"T", "S", "Z", "X", "Y"};
                step_ = FieldList(*line) == kNames ? Step::Rule : Step::Seek;
                break;
            }
            case Step::Rule: step_ = is_rule(*line) ? Step::Rows : Step::Seek; break;
            case Step::Rows:
                if (ends_table(*line)) {
                    end_table();
                } else {
                    table_.push_back(coupling_of(*line));
                }
                break;
        }
    }
}

void SOCCouplingsReading::end_table() {
    last_ = std::move(table_);
    table_.clear();
    step_ = Step::Seek;
}

std::vector<SOCCoupling> SOCCouplingsReading::finish() && {
    if (step_ == Step::Rows) end_table();  // a table at the end of the text
    return std::move(last_);
}

void SOCSpectraReading::read(LineCursor& lines) {
    for (;;) {
        std::optional<std::string_view> line = next_line(lines, step_ == Step::Seek, headings::kSpectraCommon);
        if (!line) return;
        switch (step_) {
            case Step::Seek: {
                std::string_view text = trim(*line);
                if (std::find(headings::kSpectraTitles.begin(), headings::kSpectraTitles.end(), text) !=
                    headings::kSpectraTitles.end()) {
                    titled_ = true;
                } else if (titled_) {
                    std::optional<SpectrumKind> later = kind_of(text, headings::kSpectraLater);
                    std::optional<SpectrumKind> earlier = kind_of(text, headings::kSpectraEarlier);
                    if (later || earlier) {
                        kind_ = later ? *later : *earlier;
                        step_ = Step::Header;
                    }
                }
                break;
            }
            case Step::Header: {
                if (is_blank(*line) || is_rule(*line)) break;  // the frame around the heading
                std::optional<std::string_view> first = Fields(*line).next();
                later_ = first == "Transition";
                step_ = later_ || first == "States" ? Step::Units : Step::Seek;
                break;
            }
            // Other methods print the same headings over populations: not transitions of this part.
            case Step::Units: step_ = line->find("population") == std::string_view::npos ? Step::Rule : Step::Seek; break;
            case Step::Rule: step_ = is_rule(*line) ? Step::Rows : Step::Seek; break;
            case Step::Rows:
                if (ends_table(*line)) {
                    end_table();
                } else {
                    table_.push_back(SpectrumRow(*line, later_, kind_).transition());
                }
                break;
        }
    }
}

void SOCSpectraReading::end_table() {
    last_[static_cast<size_t>(kind_)] = std::move(table_);
    table_.clear();
    step_ = Step::Seek;
}

std::vector<SOCTransition> SOCSpectraReading::finish() && {
    if (step_ == Step::Rows) end_table();
    std::vector<SOCTransition> all;
    for (std::optional<std::vector<SOCTransition>>& table : last_) {
        if (table) all.insert(all.end(), table->begin(), table->end());
    }
    return all;
}

std::vector<SOCCoupling> read_soc_couplings(std::string_view text) { return read_whole<SOCCouplingsReading>(text); }

std::vector<SOCTransition> read_soc_spectra(std::string_view text) { return read_whole<SOCSpectraReading>(text); }

}  // namespace parsers::tddft
