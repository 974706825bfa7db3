# `make run`: install into .venv and parse the shipped samples.
# `make test`: install with the test extras into .venv and run the tests.
PYTHON_VERSION ?= 3.12
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: run test venv dev dev-test clean

$(PY):
	"$$(scripts/find-python $(PYTHON_VERSION))" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

venv: $(PY)

run: $(PY)
	$(PY) -m pip install --quiet .
	$(PY) examples/dump_json.py samples/*.out

test: $(PY)
	$(PY) -m pip install --quiet ".[test]"
	$(PY) -m pytest -q

# Incremental build for development: tests import the module from build/dev.
dev: $(PY)
	$(PY) -m pip install --quiet pytest hypothesis
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/dev

dev-test: dev
	PYTHONPATH=build/dev $(PY) -m pytest -q

clean:
	rm -rf build $(VENV)
