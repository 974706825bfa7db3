#pragma once
// Result values: scalars, lists and dicts built from records, with owned references
// throughout. An object the interpreter cannot create is a result-building failure.

#include <array>
#include <cstdint>
#include <source_location>
#include <string_view>
#include <vector>

#include "python/ref.hpp"
#include "python/module/siphash.hpp"

namespace python::module {

// Takes a new reference from a creation call; NULL is a result-building failure.
Ref created(PyObject* object, std::source_location at = std::source_location::current());

inline Ref float_object(float value) { return created(PyFloat_FromDouble(static_cast<double>(value))); }
inline Ref int_object(long long value) { return created(PyLong_FromLongLong(value)); }
Ref str_object(std::string_view text);

// A list of exactly the sequence's length, slot i holding convert(record i).
template <typename Record, typename Convert>
Ref list_object(const std::vector<Record>& records, Convert convert) {
    Ref list = created(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (size_t i = 0; i < records.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(records[i]).release());
    }
    return list;
}

// The fields of one record on their way into a dict. Keys are hashed with SipHash-1-3
// under the thread's key pair, so the dict's key order differs from map to map.
class FieldMap {
public:
    FieldMap();
    // A key inserted twice keeps its place and takes the new value.
    void insert(std::string_view key, Ref value);
    // A new dict holding the fields in the map's iteration order.
    Ref to_dict() const;

private:
    // Records have at most six fields: eight slots keep probing short.
    static constexpr size_t kSlots = 8;
    struct Slot {
        std::string_view key;
        Ref value;
    };
    std::array<Slot, kSlots> slots_;
    size_t size_ = 0;
    SipKey key_;
};

}  // namespace python::module
