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

sanitize:
	bash benchmarks/../tests/sanitize.sh

clean:
	rm -rf build $(VENV) .demo
