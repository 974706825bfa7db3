#pragma once
// The result records of the reference parsers.

#include <cstdint>
#include <string>
#include <vector>

namespace reference_records::tddft {

struct SOCElement {
    float weight;
    float real;
    float imag;
    uint8_t root;
    uint8_t spin;
    int8_t ms;
};

struct SOCEigenvector {
    uint32_t n;
    float energy;
    std::vector<SOCElement> elements;
};

struct SOCMatrix {
    std::vector<SOCEigenvector> eigenvectors;
};

struct TDDFTOutput {
    SOCMatrix soc_matrix;
};

}  // namespace reference_records::tddft

namespace reference_records::casscf {

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

}  // namespace reference_records::casscf
