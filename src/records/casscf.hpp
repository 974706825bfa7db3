#pragma once
// The Loewdin orbital compositions of a CASSCF output, as the parsers return them.

#include <cstdint>
#include <string>
#include <vector>

namespace records::casscf {

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


}  // namespace records::casscf
