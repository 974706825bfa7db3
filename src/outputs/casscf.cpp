#include "outputs/casscf.hpp"

#include "binding/values.hpp"

namespace outputs::casscf {

using binding::FieldMap;
using binding::float_object;
using binding::int_object;
using binding::list_object;
using binding::Ref;
using binding::str_object;

Ref to_object(const Contribution& contribution) {
    FieldMap fields;
    fields.insert("atom_nr", int_object(contribution.atom_nr));
    fields.insert("element", str_object(contribution.element));
    fields.insert("orbital_type", str_object(contribution.orbital_type));
    fields.insert("contribution", float_object(contribution.contribution));
    return fields.to_dict();
}

Ref to_object(const Orbital& orbital) {
    FieldMap fields;
    fields.insert("orbital_nr", int_object(orbital.orbital_nr));
    fields.insert("energy", float_object(orbital.energy));
    fields.insert("occupation", float_object(orbital.occupation));
    fields.insert("contributions", list_object(orbital.contributions));
    return fields.to_dict();
}

Ref to_object(const CASSCFOutput& output) {
    FieldMap fields;
    fields.insert("orbital_contributions", list_object(output.orbital_contributions));
    return fields.to_dict();
}

}  // namespace outputs::casscf
