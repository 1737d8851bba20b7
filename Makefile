# make run   - build, install and show the plugin registry (python -m telvar)
# make test  - build, install and run the test suite
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

.PHONY: run test venv install clean

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

clean:
	rm -rf build dist .venv .venv-* *.egg-info
