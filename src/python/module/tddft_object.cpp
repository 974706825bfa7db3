#include "python/module/to_object.hpp"
#include "python/module/values.hpp"

namespace python::module {
namespace {

using records::tddft::SOCEigenvector;
using records::tddft::SOCElement;

Ref element_object(const SOCElement& element) {
    FieldMap fields;
    fields.insert("weight", float_object(element.weight));
    fields.insert("real", float_object(element.real));
    fields.insert("imag", float_object(element.imag));
    fields.insert("root", int_object(element.root));
    fields.insert("spin", int_object(element.spin));
    fields.insert("ms", int_object(element.ms));
    return fields.to_dict();
}

Ref eigenvector_object(const SOCEigenvector& eigenvector) {
    FieldMap fields;
    fields.insert("n", int_object(eigenvector.n));
    fields.insert("energy", float_object(eigenvector.energy));
    fields.insert("elements", list_object(eigenvector.elements, element_object));
    return fields.to_dict();
}

}  // namespace

// SOCMatrix has no conversion of its own: its one-field dict is built here, its map
// taken right after the outer one.
Ref to_object(const records::tddft::TDDFTOutput& output) {
    FieldMap outer;
    FieldMap matrix;
    matrix.insert("eigenvectors", list_object(output.soc_matrix.eigenvectors, eigenvector_object));
    outer.insert("soc_matrix", matrix.to_dict());
    return outer.to_dict();
}

}  // namespace python::module
