#include "columns/tables.hpp"

#include <tuple>

namespace columns {

Tables::Tables(size_t string_limit)
    : soc_states_({"file", "state", "n", "energy", "elements"}, string_limit),
      soc_elements_({"file", "state", "element", "weight", "real", "imag", "root", "spin", "ms"}, string_limit),
      orbitals_({"file", "orbital", "orbital_nr", "energy", "occupation", "contributions"}, string_limit),
      orbital_contributions_({"file", "orbital", "row", "atom_nr", "element", "orbital_type", "contribution"},
                             string_limit),
      soc_couplings_({"file", "triplet", "singlet", "z_real", "z_imag", "x_real", "x_imag", "y_real", "y_imag"},
                     string_limit),
      soc_transitions_({"file", "kind", "from_state", "to_state", "from_multiplicity", "to_multiplicity", "energy_ev",
                        "energy_cm1", "wavelength_nm", "strength", "squared", "x", "y", "z"},
                       string_limit),
      failures_({"file", "kind", "error", "message", "where"}, string_limit),
      files_({"file", "bytes", "mtime_ns", "compression", "kind", "program_version", kCountedTables[0], kCountedTables[1],
              kCountedTables[2], kCountedTables[3], "failed"},
             string_limit) {}

namespace {

// Runs `add`, which appends to `tables`; if it cannot append all, none of its rows stay.
template <typename Add, typename... Table>
void all_or_nothing(Add&& add, Table&... tables) {
    auto marks = std::make_tuple(tables.mark()...);
    try {
        add();
    } catch (...) {
        std::apply([&](const auto&... mark) { (tables.roll_back(mark), ...); }, marks);
        throw;
    }
}

}  // namespace

void Tables::add_tddft(std::string_view file, const records::tddft::TDDFTOutput& output) {
    all_or_nothing([&] { append_tddft(file, output); }, soc_states_, soc_elements_);
}

void Tables::add_casscf(std::string_view file, const records::casscf::CASSCFOutput& output) {
    all_or_nothing([&] { append_casscf(file, output); }, orbitals_, orbital_contributions_);
}

void Tables::append_tddft(std::string_view file, const records::tddft::TDDFTOutput& output) {
    const auto& states = output.soc_matrix.eigenvectors;
    size_t elements = 0;
    for (const auto& state : states) elements += state.elements.size();
    soc_states_.reserve_more(states.size(), states.size() * file.size());
    soc_elements_.reserve_more(elements, elements * file.size());
    for (uint32_t s = 0; s < states.size(); ++s) {
        const auto& elements = states[s].elements;
        soc_states_.append(file, s, states[s].n, states[s].energy, static_cast<uint32_t>(elements.size()));
        for (uint32_t e = 0; e < elements.size(); ++e) {
            const records::tddft::SOCElement& x = elements[e];
            soc_elements_.append(file, s, e, x.weight, x.real, x.imag, x.root, x.spin, x.ms);
        }
    }
}

void Tables::append_casscf(std::string_view file, const records::casscf::CASSCFOutput& output) {
    const auto& orbitals = output.orbital_contributions;
    size_t rows = 0;
    for (const auto& orbital : orbitals) rows += orbital.contributions.size();
    orbitals_.reserve_more(orbitals.size(), orbitals.size() * file.size());
    orbital_contributions_.reserve_more(rows, rows * file.size());
    for (uint32_t o = 0; o < orbitals.size(); ++o) {
        const auto& rows = orbitals[o].contributions;
        orbitals_.append(file, o, orbitals[o].orbital_nr, orbitals[o].energy, orbitals[o].occupation,
                         static_cast<uint32_t>(rows.size()));
        for (uint32_t r = 0; r < rows.size(); ++r) {
            const records::casscf::Contribution& x = rows[r];
            orbital_contributions_.append(file, o, r, x.atom_nr, std::string_view(x.element),
                                          std::string_view(x.orbital_type), x.contribution);
        }
    }
}

void Tables::add_couplings(std::string_view file, const std::vector<records::tddft::SOCCoupling>& couplings) {
    all_or_nothing([&] {
        soc_couplings_.reserve_more(couplings.size(), couplings.size() * file.size());
        for (const records::tddft::SOCCoupling& x : couplings) {
            soc_couplings_.append(file, x.triplet, x.singlet, x.z_real, x.z_imag, x.x_real, x.x_imag, x.y_real, x.y_imag);
        }
    }, soc_couplings_);
}

void Tables::add_transitions(std::string_view file, const std::vector<records::tddft::SOCTransition>& transitions) {
    all_or_nothing([&] {
        soc_transitions_.reserve_more(transitions.size(), transitions.size() * file.size());
        for (const records::tddft::SOCTransition& x : transitions) {
            soc_transitions_.append(file, records::tddft::kSpectrumKinds[static_cast<size_t>(x.kind)], x.from_state,
                                    x.to_state, x.from_multiplicity, x.to_multiplicity, x.energy_ev, x.energy_cm1,
                                    x.wavelength_nm, x.strength, x.squared, x.x, x.y, x.z);
        }
    }, soc_transitions_);
}

void Tables::add_failure(std::string_view file, const FailureRow& failure) {
    failures_.append(file, failure.parser, failure.error, failure.message, failure.where);
}

void Tables::add_file(std::string_view file, const FileRow& row) {
    files_.append(file, row.bytes, row.mtime_ns, row.compression, row.parsers, row.program_version, row.counts[0],
                  row.counts[1], row.counts[2], row.counts[3], row.failed);
}

std::vector<std::pair<const char*, ColumnTable>> Tables::finish() const {
    return {{kTableNames[0], soc_states_.finish()},
            {kTableNames[1], soc_elements_.finish()},
            {kTableNames[2], orbitals_.finish()},
            {kTableNames[3], orbital_contributions_.finish()},
            {kTableNames[4], soc_couplings_.finish()},
            {kTableNames[5], soc_transitions_.finish()},
            {kTableNames[6], failures_.finish()},
            {kTableNames[7], files_.finish()}};
}

}  // namespace columns
