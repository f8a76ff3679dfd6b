# The README's commands. Everything runs in .venv, which the first target creates.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi') CMakeLists.txt pyproject.toml
BUILD_TOOLS := "scikit-build-core>=0.10" "pybind11>=2.12"

.PHONY: demo test bench sanitize install browser clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# The build reuses build/ between runs, so only changed modules are recompiled.
$(INSTALLED): $(PY) $(SOURCES)
	$(PY) -m pip install -q $(BUILD_TOOLS)
	$(PY) -m pip install -q --no-build-isolation ".[test]"
	touch $@

install: $(INSTALLED)

# Debian's chromium for the browser-login test (as root, where it is missing).
browser:
	@command -v chromium >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q chromium; \
	  else echo "chromium is missing: install Debian's chromium package" >&2; exit 1; fi; }

test: install browser
	$(PY) -m pytest $(PYTEST_ARGS)

demo: install
	$(PY) examples/run_demo.py

bench: install
	$(PY) benchmarks/run.py

# The robustness tests against an AddressSanitizer/UBSan build of every module.
SANITIZED := build/sanitize-site
sanitize: install
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SANITIZED) \
	  -C cmake.define.VELA_SANITIZE=ON -C build-dir=build/sanitize .
	PYTHONPATH=$(SANITIZED) PYTHONMALLOC=malloc PYCRYPTODOME_DISABLE_DEEPBIND=1 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  $(PY) -m pytest -q -p no:cacheprovider tests/test_robustness.py tests/test_runtime.py tests/entities \
	  tests/auth/test_user.py tests/auth/test_authenticator.py tests/utils \
	  tests/tracking/test_sender.py

clean:
	rm -rf build $(VENV) .demo
