import contextlib
import struct

import pytest

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "


def float_error(kind):
    return f"{UNWRAP_ERR}ParseFloatError {{ kind: {kind} }}"


def int_error(kind):
    return f"{UNWRAP_ERR}ParseIntError {{ kind: {kind} }}"


@pytest.fixture
def write_file(tmp_path):
    """Writes text (UTF-8, newlines kept as given) or bytes to a fresh file; returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"input-{next(counter)}.out")
        data = content.encode("utf-8") if isinstance(content, str) else content
        path.write_bytes(data)
        return str(path)

    return write


def is_panic(exc):
    kind = type(exc)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


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
