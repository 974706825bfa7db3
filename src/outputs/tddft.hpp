#pragma once
// The SOC results of a TD-DFT output, as handed to Python.

#include <cstdint>
#include <vector>

#include "outputs/records_fwd.hpp"

namespace outputs::tddft {

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

// A new reference to { "soc_matrix": { "eigenvectors": [...] } }.
binding::Ref to_object(const TDDFTOutput& output);

}  // namespace outputs::tddft
