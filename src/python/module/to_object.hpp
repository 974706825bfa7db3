#pragma once
// The Python form of each result record: new dicts, lists, ints, floats and strs.

#include "python/ref.hpp"
#include "records/casscf.hpp"
#include "records/tddft.hpp"

namespace python::module {

// A new reference to { "soc_matrix": { "eigenvectors": [...] } }.
Ref to_object(const records::tddft::TDDFTOutput& output);
// A new reference to { "orbital_contributions": [...] }.
Ref to_object(const records::casscf::CASSCFOutput& output);

}  // namespace python::module
