"""The installed package's version, which `skav-rs --version` prints and every part file records."""

from __future__ import annotations

from functools import cache


@cache
def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("skav_rs")
    except PackageNotFoundError:  # run from a build folder that is not installed
        return "unknown"
