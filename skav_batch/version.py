"""The installed package's version, which `skav-rs --version` prints and every part file records."""

from __future__ import annotations

from skav_batch import _columns


def package_version() -> str:
    return _columns.VERSION
