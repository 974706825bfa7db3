#include "python/module/to_object.hpp"
#include "python/module/values.hpp"

namespace python::module {
namespace {

using records::casscf::Contribution;
using records::casscf::Orbital;

Ref contribution_object(const Contribution& contribution) {
    FieldMap fields;
    fields.insert("atom_nr", int_object(contribution.atom_nr));
    fields.insert("element", str_object(contribution.element));
    fields.insert("orbital_type", str_object(contribution.orbital_type));
    fields.insert("contribution", float_object(contribution.contribution));
    return fields.to_dict();
}

Ref orbital_object(const Orbital& orbital) {
    FieldMap fields;
    fields.insert("orbital_nr", int_object(orbital.orbital_nr));
    fields.insert("energy", float_object(orbital.energy));
    fields.insert("occupation", float_object(orbital.occupation));
    fields.insert("contributions", list_object(orbital.contributions, contribution_object));
    return fields.to_dict();
}

}  // namespace

Ref to_object(const records::casscf::CASSCFOutput& output) {
    FieldMap fields;
    fields.insert("orbital_contributions", list_object(output.orbital_contributions, orbital_object));
    return fields.to_dict();
}

}  // namespace python::module
