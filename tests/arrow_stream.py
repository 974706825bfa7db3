"""A ctypes reader of the Arrow C streams that tables export, so that their rows are checked without pyarrow."""

import ctypes
from ctypes import POINTER, addressof, c_char_p, c_int, c_int32, c_int64, c_void_p

RELEASE = ctypes.CFUNCTYPE(None, c_void_p)


class Schema(ctypes.Structure):
    _fields_ = [("format", c_char_p), ("name", c_char_p), ("metadata", c_void_p), ("flags", c_int64),
                ("n_children", c_int64), ("children", POINTER(c_void_p)), ("dictionary", c_void_p),
                ("release", RELEASE), ("private_data", c_void_p)]


class Array(ctypes.Structure):
    _fields_ = [("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
                ("n_children", c_int64), ("buffers", POINTER(c_void_p)), ("children", POINTER(c_void_p)),
                ("dictionary", c_void_p), ("release", RELEASE), ("private_data", c_void_p)]


class Stream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)),
                ("get_next", ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)),
                ("get_last_error", c_void_p), ("release", c_void_p), ("private_data", c_void_p)]


VALUES = {b"I": ctypes.c_uint32, b"f": ctypes.c_float, b"g": ctypes.c_double, b"C": ctypes.c_uint8, b"c": ctypes.c_int8,
          b"L": ctypes.c_uint64, b"l": ctypes.c_int64}
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype, capsule_pointer.argtypes = c_void_p, [ctypes.py_object, c_char_p]


def bits_of(buffer):
    return ctypes.cast(buffer, POINTER(ctypes.c_uint8))


def column(format, array):
    """The values of one column's array, None for a null."""
    (validity, data, *strings), n = array.buffers[:array.n_buffers], array.length
    if format == b"u":
        offsets = ctypes.cast(data, POINTER(c_int32))
        values = [ctypes.string_at(strings[0] + offsets[i], offsets[i + 1] - offsets[i]).decode() for i in range(n)]
    elif format == b"b":
        values = [bool(bits_of(data)[i // 8] >> i % 8 & 1) for i in range(n)]
    else:
        values = ctypes.cast(data, POINTER(VALUES[format]))[:n]
    bits = bits_of(validity)
    valid = [not validity or bits[i // 8] >> i % 8 & 1 for i in range(n)]
    assert (array.offset, array.n_children, array.null_count) == (0, 0, valid.count(False))
    return [value if is_valid else None for value, is_valid in zip(values, valid)]


def read_table(table):
    """The table's rows, through its exported stream."""
    capsule = table.__arrow_c_stream__()
    stream = Stream.from_address(capsule_pointer(capsule, b"arrow_array_stream"))
    schema, rows = Schema(), []
    assert stream.get_schema(addressof(stream), addressof(schema)) == 0 and schema.format == b"+s"
    formats = [Schema.from_address(schema.children[i]).format for i in range(schema.n_children)]
    while not (status := stream.get_next(addressof(stream), addressof(batch := Array()))) and batch.release:
        children = [Array.from_address(batch.children[i]) for i in range(batch.n_children)]
        assert len(children) == len(formats) and {child.length for child in children} <= {batch.length}
        rows += [list(row) for row in zip(*map(column, formats, children))]
        batch.release(addressof(batch))
    assert status == 0
    schema.release(addressof(schema))
    return rows
