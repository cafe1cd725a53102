# make run / make test: set up a venv in the project, build, install, then run.
PYTHON ?= python3
VENV ?= .venv
# Extra options for pip's build, e.g. -Csetup-args=-Dwerror=true
BUILD_FLAGS ?=
PYTEST_ARGS ?=

VPY := $(VENV)/bin/python

.PHONY: run test install bench clean

run: install
	$(VPY) -m orvane bench

test: install
	$(VPY) -m pytest $(PYTEST_ARGS)

install:
	sh tools/mkvenv.sh "$(PYTHON)" "$(VENV)"
	$(VPY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) '.[test]'

bench: install
	$(VPY) -m pip install -q --disable-pip-version-check '.[bench]'
	$(VPY) bench/run.py

clean:
	rm -rf $(VENV) build .venv-*
