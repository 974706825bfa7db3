#pragma once
// The SOC results of a TD-DFT output, as the parsers return them.

#include <cstdint>
#include <vector>

namespace records::tddft {

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


}  // namespace records::tddft
