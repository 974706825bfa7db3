#pragma once
// The Loewdin orbital compositions of a CASSCF output, as handed to Python.

#include <cstdint>
#include <string>
#include <vector>

#include "outputs/records_fwd.hpp"

namespace outputs::casscf {

struct Contribution {
    uint32_t atom_nr;
    std::string element;
    std::string orbital_type;
    float contribution;
};

struct Orbital {
    uint32_t orbital_nr;
    float energy;
    float occupation;
    std::vector<Contribution> contributions;
};

struct CASSCFOutput {
    std::vector<Orbital> orbital_contributions;
};

// A new reference to { "orbital_contributions": [...] }.
binding::Ref to_object(const CASSCFOutput& output);

}  // namespace outputs::casscf
