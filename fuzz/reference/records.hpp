#pragma once
// The reference parsers fill the module's own record types: records are plain data, and
// sharing them keeps the comparison about parsing alone.

#include "outputs/casscf.hpp"
#include "outputs/tddft.hpp"

namespace reference_records {
namespace tddft = ::outputs::tddft;
namespace casscf = ::outputs::casscf;
}  // namespace reference_records
