# `make run`: install into .venv and parse the shipped samples.
# `make test`: install with the test extras into .venv and run the tests.
# `make wheel`: build a wheel into dist/<version> and check it (scripts/check-wheel).
# `make typecheck`: mypy --strict on the skav_batch package and the batch benchmark.
# `make ci`: what CI runs for one Python: build and check the wheel, install it with every extra, test, type-check.
# `make test-size`: lines of tests against lines of code.
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

.PHONY: run test typecheck wheel ci venv dev dev-test test-size clean

$(PY):
	"$$(scripts/find-python $(PYTHON_VERSION))" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

venv: $(PY)

run: $(PY)
	$(PY) -m pip install --quiet .
	$(VENV)/bin/skav-rs json samples/*.out

test: $(PY)
	$(PY) -m pip install --quiet ".[test,batch]"
	$(PY) -m pytest -q $(PYTEST_ARGS)

# Run from the checkout: the stubs of skav_rs come installed with it (make test or make ci installs it).
typecheck: $(PY)
	$(PY) -m pip install --quiet ".[typing,batch]"
	$(PY) -m mypy --strict skav_batch bench/batch.py bench/dataset.py

wheel: $(PY)
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_DIR) .
	$(PY) scripts/check-wheel $(WHEEL_DIR)/*.whl

# One build: the wheel, checked, then installed with every extra; the suite and mypy run against it.
ci: $(PY)
	$(if $(AUDITWHEEL),$(PY) -m pip install --quiet $(AUDITWHEEL))
	$(MAKE) --no-print-directory wheel PYTHON_VERSION=$(PYTHON_VERSION) VENV=$(VENV)
	$(PY) -m pip install --quiet "$$(ls $(WHEEL_DIR)/*.whl)[test,typing,examples,batch]"
	$(PY) -m pytest -q $(PYTEST_ARGS)
	$(PY) -m mypy --strict skav_batch bench/batch.py bench/dataset.py

# Incremental build for development: tests import the module from $(DEV_DIR).
dev: $(PY)
	$(PY) -m pip install --quiet pytest hypothesis duckdb "dask[distributed]>=2024.8" "pyarrow>=17" "tqdm>=4.66" zstandard isal
	cmake --preset release -B $(DEV_DIR) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(DEV_DIR)

dev-test: dev
	PYTHONPATH=$(DEV_DIR) $(PY) -m pytest -q $(PYTEST_ARGS)

# Benchmark against the floors (options: bench/run.py --help, e.g. BENCH_ARGS="--reps 7").
.PHONY: bench bench-batch
bench: dev
	$(PY) bench/run.py --build $(DEV_DIR) $(BENCH_ARGS)

# skav-rs tables on 2 workers against a plain loop and cat, on three sets of files made in bench/data
# (options: bench/batch.py --help, e.g. BENCH_ARGS="--sets small --reps 1"); then the dataset's
# incremental runs, dry runs, state and compressed outputs (bench/dataset.py --help, DATASET_BENCH_ARGS).
bench-batch: dev
	PYTHONPATH=$(abspath $(DEV_DIR)):$(CURDIR) $(PY) bench/batch.py $(BENCH_ARGS)
	PYTHONPATH=$(abspath $(DEV_DIR)):$(CURDIR) $(PY) bench/dataset.py $(DATASET_BENCH_ARGS)

test-size:
	@scripts/test-size

# The sid chroot of the CI steps for the newest CPythons lives in build/: unmount it first.
clean:
	.ci/sid-chroot --remove
	rm -rf build dist .venv .venv-*
