import contextlib
import math
import os
import struct

import pytest

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
NOT_UTF8 = f'{UNWRAP_ERR}Error {{ kind: InvalidData, message: "stream did not contain valid UTF-8" }}'


def float_error(kind):
    return f"{UNWRAP_ERR}ParseFloatError {{ kind: {kind} }}"


def int_error(kind):
    return f"{UNWRAP_ERR}ParseIntError {{ kind: {kind} }}"


def os_error(code, kind):
    return f'{UNWRAP_ERR}Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def case(name, *values, marks=()):
    return pytest.param(*values, id=name, marks=marks)


@pytest.fixture
def write_file(tmp_path):
    """Writes text (UTF-8, newlines kept as given) or bytes to a fresh file; returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"input-{next(counter)}.out")
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return str(path)

    return write


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


def outcome(function, *args):
    """("result", value) or ("panic", message); any other exception propagates."""
    try:
        return "result", function(*args)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if not is_panic(exc):
            raise
        return "panic", exc.args[0]


@contextlib.contextmanager
def raises_panic(message):
    """Expects a PanicException whose message is exactly `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    assert is_panic(info.value), repr(info.value)
    assert info.value.args == (message,)


def f32(x):
    """The value of `x` rounded to a 32-bit float, widened back to a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


def same(a, b):
    """Equality that tells -0.0 from 0.0 and takes NaN as equal to NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b
