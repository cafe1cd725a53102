# make run / make test: set up a venv in the project, build, install, then run.
PYTHON ?= python3
# make wheels: the interpreters to build wheels for, space-separated.
PYTHONS ?= $(PYTHON)
VENV ?= .venv
# What make test and make docs install: the checkout, or a wheel built from it.
PACKAGE ?= .
# Extra options for pip's build, e.g. -Csetup-args=-Dwerror=true
BUILD_FLAGS ?=
PYTEST_ARGS ?=
# Environment for the test run only, e.g. a preloaded sanitizer runtime
TEST_ENV ?=
# Where make wheels puts the sdist and the wheels, and the venv of its tools.
DIST ?= dist
TOOLS_VENV ?= .venv-tools

VPY := $(VENV)/bin/python
PIP_INSTALL := -m pip install -q --disable-pip-version-check

.PHONY: run test install venv dev wheels docs doctest stubtest bench bench-e2e bench-e2e-quick soak fuzz valgrind clean

# The venv is made anew when PYTHON names another interpreter than the one
# that made it (tools/mkvenv.sh records it).
venv:
	@sh tools/mkvenv.sh "$(PYTHON)" "$(VENV)"

# The main job needs the package alone.
run: venv
	$(VPY) $(PIP_INSTALL) $(BUILD_FLAGS) .
	$(VPY) -m orvane bench

test: install
	$(TEST_ENV) $(VPY) -m pytest $(PYTEST_ARGS)

install: venv
	$(VPY) $(PIP_INSTALL) $(BUILD_FLAGS) '$(PACKAGE)[test]'

# An editable install: importing orvane rebuilds what changed in cextension/.
dev: venv
	$(VPY) $(PIP_INSTALL) 'meson-python>=0.17' 'meson>=1.1' ninja
	$(VPY) $(PIP_INSTALL) --no-build-isolation $(BUILD_FLAGS) --editable '.[test]'

# The sdist, and from it a wheel for each of PYTHONS, repaired by auditwheel
# and checked by twine, into $(DIST)/.
wheels:
	@sh tools/mkvenv.sh "$(PYTHON)" "$(TOOLS_VENV)"
	bash tools/wheels.sh "$(TOOLS_VENV)" "$(DIST)" "$(BUILD_FLAGS)" $(PYTHONS)

# The documentation site in docs/_build/html; any warning fails the build.
docs: venv
	$(VPY) $(PIP_INSTALL) $(BUILD_FLAGS) '$(PACKAGE)[docs]'
	$(VPY) -m sphinx -W --keep-going -q -b html docs docs/_build/html

# The site's code examples, run.
doctest: venv
	$(VPY) $(PIP_INSTALL) $(BUILD_FLAGS) '$(PACKAGE)[docs]'
	$(VPY) -m sphinx -W --keep-going -q -b doctest docs docs/_build/doctest

# The compiled modules against their stubs; deliberate differences are in
# tools/stubtest-allowlist.txt, each with its reason.
stubtest: install
	bash tools/stubtest.sh "$(VPY)"

bench: install
	$(VPY) $(PIP_INSTALL) '.[bench]'
	$(VPY) bench/run.py

# The end-to-end fetch against the driver and peers; options in E2E_ARGS, e.g. --no-gc --pure
bench-e2e: install
	$(VPY) $(PIP_INSTALL) '.[bench]'
	$(VPY) bench/e2e.py $(E2E_ARGS)

# Every end-to-end mode in its quick setting, to keep it working (no target
# enforced; about 10 s each; psycopg on a throw-away server of its own)
bench-e2e-quick: install
	$(VPY) -m pip install -q --disable-pip-version-check '.[bench]'
	for mode in "--driver sqlite3" "--driver psycopg" "--driver duckdb" "--driver sqlite3 --warm-heap"; do \
		$(VPY) bench/e2e.py --quick $$mode || exit 1; done

# Load: ten million rows with flat memory, reads shared by threads and by
# asyncio tasks (about 3 minutes; --quick in SOAK_ARGS for the CI setting).
soak: install
	$(VPY) bench/soak.py $(SOAK_ARGS)

# Each fuzz target for FUZZ_SECONDS under clang's sanitizers, in a build of
# its own (installs clang where it is missing).
FUZZ_SECONDS ?= 30
fuzz:
	bash fuzz/run.sh "$(PYTHON)" $(FUZZ_SECONDS)

# The suite under valgrind's memcheck (slow: allow an hour); not part of CI.
valgrind: install
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=definite \
		--leak-check=full --show-leak-kinds=definite --num-callers=30 \
		$(VPY) -m pytest -x -q -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf $(VENV) $(TOOLS_VENV) build dist docs/_build .venv-*
