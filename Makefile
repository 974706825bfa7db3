# `make run`: install into .venv and parse the shipped samples.
# `make test`: install with the test extras into .venv and run the tests.
# `make wheel`: build a wheel into dist/<version> and check it (scripts/check-wheel).
# `make ci`: what CI runs for one Python: install with every extra, test, build and check the wheel.
# Another Python: `make test PYTHON_VERSION=3.13` (its own .venv-3.13 and build/dev-3.13).
# pytest arguments for `test`, `ci` and `dev-test`: PYTEST_ARGS='-m "not heavy"'.
PYTHON_VERSION ?= 3.12
ifeq ($(PYTHON_VERSION),3.12)
VENV ?= .venv
DEV_DIR ?= build/dev
else
VENV ?= .venv-$(PYTHON_VERSION)
DEV_DIR ?= build/dev-$(PYTHON_VERSION)
endif
PY := $(VENV)/bin/python
WHEEL_DIR := dist/$(PYTHON_VERSION)
# auditwheel checks Linux wheels only.
AUDITWHEEL := $(if $(filter Linux,$(shell uname -s)),auditwheel)

.PHONY: run test wheel ci venv dev dev-test clean

$(PY):
	"$$(scripts/find-python $(PYTHON_VERSION))" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

venv: $(PY)

run: $(PY)
	$(PY) -m pip install --quiet .
	$(PY) examples/dump_json.py samples/*.out

test: $(PY)
	$(PY) -m pip install --quiet ".[test]"
	$(PY) -m pytest -q $(PYTEST_ARGS)

wheel: $(PY)
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_DIR) .
	$(PY) scripts/check-wheel $(WHEEL_DIR)/*.whl

ci: $(PY)
	$(PY) -m pip install --quiet ".[test,typing,examples]" $(AUDITWHEEL)
	$(MAKE) --no-print-directory test PYTHON_VERSION=$(PYTHON_VERSION) VENV=$(VENV)
	$(MAKE) --no-print-directory wheel PYTHON_VERSION=$(PYTHON_VERSION) VENV=$(VENV)

# Incremental build for development: tests import the module from $(DEV_DIR).
dev: $(PY)
	$(PY) -m pip install --quiet pytest hypothesis
	cmake -S . -B $(DEV_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(DEV_DIR)

dev-test: dev
	PYTHONPATH=$(DEV_DIR) $(PY) -m pytest -q $(PYTEST_ARGS)

# Benchmark against the floors (options: bench/run.py --help, e.g. BENCH_ARGS="--reps 7").
.PHONY: bench
bench: dev
	$(PY) bench/run.py --build $(DEV_DIR) $(BENCH_ARGS)

# The sid chroot of the CI steps for the newest CPythons lives in build/: unmount it first.
clean:
	scripts/sid-chroot --remove
	rm -rf build dist .venv .venv-*
