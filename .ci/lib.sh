# Sourced by the CI steps in .ci/ and by scripts/fuzz and scripts/sanitize-tests, from the
# project root: what more than one of them needs, written once.

# The chroot of .ci/sid-chroot (SKAV_CHROOT moves it).
sid_root=${SKAV_CHROOT:-$PWD/build/sid}

# configure PRESET [CMake options]: configures the preset's build folder quietly, with Ninja
# when there is one (the presets name no generator; CMAKE_GENERATOR, if set, wins).
configure() {
  local generator=()
  if [ -z "${CMAKE_GENERATOR:-}" ] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
  fi
  cmake --preset "$1" "${generator[@]}" "${@:2}" >/dev/null
}

# install_packages PACKAGE...: the Debian packages that are not installed yet (as root; one
# apt-get update first, and only when something is missing).
install_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "install_packages: needs root for apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "install_packages: ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# test_python: prints the Python of .venv (or $SKAV_VENV), which suites against a build of
# their own run on; makes it (make venv) and puts pytest and hypothesis in it when missing.
test_python() {
  local python=${SKAV_VENV:-$PWD/.venv}/bin/python
  if ! "$python" -c 'import pytest, hypothesis' >/dev/null 2>&1; then
    make venv >/dev/null
    "$python" -m pip install --quiet pytest hypothesis >&2
  fi
  echo "$python"
}

# junit_xml NAME: prints the path for the JUnit XML report NAME of this step, in
# $SKAV_JUNIT_DIR (set by .ci/run) or build/junit/<script>.
junit_xml() {
  local folder=${SKAV_JUNIT_DIR:-$PWD/build/junit/$(basename "$0")}
  mkdir -p "$folder"
  echo "$folder/$1.xml"
}
