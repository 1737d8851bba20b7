# make run   - build, install and show the plugin registry (python -m telvar)
# make test  - build, install and run the test suite
# make bench - nanoseconds per call, native against pure Python (BENCH_ARGS=--quick)
# make test-asan - the test suite against an AddressSanitizer + UBSan build (own venv and build dir)
# PY=3.13 selects another interpreter version; each version gets its own venv.
PY ?= 3.12
ifeq ($(PY),3.12)
VENV ?= .venv
else
VENV ?= .venv-$(PY)
endif
PYTHON := $(VENV)/bin/python
STAMP := $(VENV)/.telvar-installed
SOURCES := pyproject.toml CMakeLists.txt $(shell find src examples -type f -not -path '*/__pycache__/*' 2>/dev/null)
BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON -C build-dir=build/py$(PY)

.PHONY: run test bench test-asan venv install clean

ASAN_VENV := $(if $(filter 3.12,$(PY)),.venv-asan,.venv-asan-$(PY))
ASAN_BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON -C cmake.define.TELVAR_SANITIZE=ON \
	-C cmake.build-type=RelWithDebInfo -C build-dir=build/asan-py$(PY)

$(PYTHON):
	@base=$$(scripts/find-python $(PY)) || exit 1; \
	echo "creating $(VENV) with $$base"; \
	"$$base" -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.20" ninja

$(STAMP): $(PYTHON) $(SOURCES)
	$(PYTHON) -m pip install --quiet $(BUILD_FLAGS) ".[test]"
	@if [ -d examples/external_plugin ]; then $(PYTHON) -m pip install --quiet --no-build-isolation ./examples/external_plugin; fi
	@touch $(STAMP)

venv: $(PYTHON)
install: $(STAMP)

run: $(STAMP)
	$(PYTHON) -m telvar

test: $(STAMP)
	$(PYTHON) -m pytest -q

bench: $(STAMP)
	$(PYTHON) benchmarks/bench.py $(BENCH_ARGS)

test-asan:
	@scripts/test-sanitized --check
	@$(MAKE) --no-print-directory VENV=$(ASAN_VENV) BUILD_FLAGS="$(ASAN_BUILD_FLAGS)" install
	scripts/test-sanitized $(ASAN_VENV)/bin/python

clean:
	rm -rf build dist .venv .venv-* *.egg-info
