#include "python/module/values.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

#include "core/check.hpp"
#include "core/io_error.hpp"
#include "python/failures.hpp"

namespace python::module {
namespace {

using core::fail;

struct ThreadKeys {
    bool seeded = false;
    SipKey next{};
};

// Initial-exec: read on every dict, and the general TLS model costs a call each time.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local ThreadKeys thread_keys;

uint64_t little_endian_u64(const unsigned char* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// Each map takes the thread's current pair; k0 then moves on by one.
SipKey take_key_pair() {
    if (!thread_keys.seeded) {
        unsigned char seed[16];
        if (getentropy(seed, sizeof seed) != 0) {
            fail("unexpected random generation error: " + core::os_error_text(errno));
        }
        thread_keys.next = {little_endian_u64(seed), little_endian_u64(seed + 8)};
        thread_keys.seeded = true;
    }
    SipKey key = thread_keys.next;
    ++thread_keys.next.k0;
    return key;
}

std::string repr_text(PyObject* object) {
    if (!object) return "None";
    Ref repr = Ref::steal(PyObject_Repr(object));
    const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return text;
}

// Takes the pending error over and describes it for a failure message.
std::string describe_pending_error() {
    Ref error = take_raised_exception();
    Ref traceback = Ref::steal(PyException_GetTraceback(error.get()));
    return "PyErr { type: " + repr_text(reinterpret_cast<PyObject*>(Py_TYPE(error.get()))) +
           ", value: " + repr_text(error.get()) + ", traceback: " + repr_text(traceback.get()) + " }";
}

// The interpreter's hashes of the record keys, by the address of the key's literal: every
// dict gets new key strs, but the hash of the same text need not be computed again.
class KeyHashes {
public:
    Py_hash_t* find(const char* literal) {
        for (Entry& entry : entries_) {
            if (entry.literal == literal) return &entry.hash;
            if (!entry.literal) {
                entry.literal = literal;
                return &entry.hash;
            }
        }
        return nullptr;  // more keys than records have: hash as usual
    }

private:
    struct Entry {
        const char* literal = nullptr;
        Py_hash_t hash = -1;
    };
    std::array<Entry, 32> entries_{};
};

KeyHashes key_hashes;  // guarded by the interpreter lock

// A new str for an ASCII key, without the UTF-8 decoder. One-character keys come from the
// interpreter's shared table, as PyUnicode_FromStringAndSize would give them.
Ref ascii_key_object(std::string_view key) {
    Ref str = str_object(key);
    if (key.size() == 1) return str;
#if PY_VERSION_HEX < 0x030E0000
    // A str caches its hash in itself; equal texts hash alike for the life of the process.
    if (Py_hash_t* hash = key_hashes.find(key.data())) {
        if (*hash == -1) {
            *hash = PyObject_Hash(str.get());
            if (*hash == -1) PyErr_Clear();
        } else {
            reinterpret_cast<PyASCIIObject*>(str.get())->hash = *hash;
        }
    }
#endif
    return str;
}

bool is_ascii(std::string_view text) {
    unsigned char any = 0;
    for (char c : text) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

}  // namespace

// ASCII, as element symbols and orbital types are, is copied without the UTF-8 decoder.
// One-character texts come from the interpreter's shared table either way.
Ref str_object(std::string_view text) {
    auto length = static_cast<Py_ssize_t>(text.size());
    if (length < 2 || !is_ascii(text)) return created(PyUnicode_FromStringAndSize(text.data(), length));
    Ref str = created(PyUnicode_New(length, 127));
    std::memcpy(PyUnicode_DATA(str.get()), text.data(), text.size());
    return str;
}

Ref created(PyObject* object, std::source_location at) {
    if (!object) {
        if (PyErr_Occurred()) PyErr_Print();
        fail("Python API call failed", at);
    }
    return Ref::steal(object);
}

FieldMap::FieldMap() : key_(take_key_pair()) {}

void FieldMap::insert(std::string_view key, Ref value) {
    size_t slot = hash_key(key_, key) % kSlots;
    while (slots_[slot].value && slots_[slot].key != key) slot = (slot + 1) % kSlots;
    if (!slots_[slot].value) ++size_;
    slots_[slot].key = key;
    slots_[slot].value = std::move(value);  // an earlier value is released here
}

Ref FieldMap::to_dict() const {
    Ref dict = created(PyDict_New());
    for (const Slot& slot : slots_) {
        if (!slot.value) continue;
        Ref key = ascii_key_object(slot.key);
        if (PyDict_SetItem(dict.get(), key.get(), slot.value.get()) != 0) {
            fail("Failed to set_item on dict: " + describe_pending_error());
        }
    }
    return dict;
}

}  // namespace python::module
