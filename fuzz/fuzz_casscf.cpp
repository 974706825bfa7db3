// libFuzzer target: any bytes, through the UTF-8 check, into the CASSCF parser. Where a table
// reads as blocks of five or six columns, the reading of blocks of any width must agree.
#include <bit>

#include "fuzz/harness.hpp"
#include "parsers/casscf.hpp"

namespace {

using records::casscf::Orbital;

// Floats by their bits, so that NaN equals NaN.
bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

bool same_orbitals(const std::vector<Orbital>& a, const std::vector<Orbital>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Orbital &x = a[i], &y = b[i];
        if (x.orbital_nr != y.orbital_nr || !same_bits(x.energy, y.energy) || !same_bits(x.occupation, y.occupation) ||
            x.contributions.size() != y.contributions.size()) {
            return false;
        }
        for (size_t k = 0; k < x.contributions.size(); ++k) {
            const auto &c = x.contributions[k], &d = y.contributions[k];
            if (c.atom_nr != d.atom_nr || c.element != d.element || c.orbital_type != d.orbital_type ||
                !same_bits(c.contribution, d.contribution)) {
                return false;
            }
        }
    }
    return true;
}

void check_readings_agree(std::string_view text) {
    using namespace parsers::casscf;
    parsers::LineCursor lines(text);
    if (!lines.next_heading("LOEWDIN ORBITAL-COMPOSITIONS") || !skip_to_table(lines)) return;
    OrbitalAssembler assembler;
    std::vector<Orbital> orbitals;
    try {
        core::DeferredReports deferred;
        scan_composition_section(lines, assembler);
        orbitals = std::move(assembler).finish();
    } catch (const core::CheckFailure&) {
        return;
    }
    std::optional<std::vector<Orbital>> any_width = read_blocks_of_any_width(lines);
    // A block whose energy or occupation row is another line has no orbitals, and no place among blocks of any width.
    if (!any_width ? assembler.blocks_without_orbitals() == 0 : !same_orbitals(orbitals, *any_width)) {
        fuzz::bug("the readings of five or six and of any width disagree", any_width ? "other orbitals" : "refused");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::run(data, size, true, [](core::Text text) { return parsers::casscf::parse_casscf(std::move(text)); });
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (core::is_valid_utf8(bytes)) check_readings_agree(bytes);
    return 0;
}
