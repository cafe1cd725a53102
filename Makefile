# make run / make test: set up a venv in the project, build, install, then run.
PYTHON ?= python3
VENV ?= .venv
# Extra options for pip's build, e.g. -Csetup-args=-Dwerror=true
BUILD_FLAGS ?=
PYTEST_ARGS ?=
# Environment for the test run only, e.g. a preloaded sanitizer runtime
TEST_ENV ?=

VPY := $(VENV)/bin/python

.PHONY: run test install bench bench-e2e bench-e2e-quick valgrind clean

run: install
	$(VPY) -m orvane bench

test: install
	$(TEST_ENV) $(VPY) -m pytest $(PYTEST_ARGS)

install:
	sh tools/mkvenv.sh "$(PYTHON)" "$(VENV)"
	$(VPY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) '.[test]'

bench: install
	$(VPY) -m pip install -q --disable-pip-version-check '.[bench]'
	$(VPY) bench/run.py

# The end-to-end fetch against the driver and peers; options in E2E_ARGS, e.g. --no-gc --pure
bench-e2e: install
	$(VPY) -m pip install -q --disable-pip-version-check '.[bench]'
	$(VPY) bench/e2e.py $(E2E_ARGS)

# Every end-to-end mode in its quick setting, to keep it working (no target
# enforced; about 10 s each; psycopg on a throw-away server of its own)
bench-e2e-quick: install
	$(VPY) -m pip install -q --disable-pip-version-check '.[bench]'
	for mode in "--driver sqlite3" "--driver psycopg" "--driver duckdb" "--driver sqlite3 --warm-heap"; do \
		$(VPY) bench/e2e.py --quick $$mode || exit 1; done

# The suite under valgrind's memcheck (slow: allow an hour); not part of CI.
valgrind: install
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=definite \
		--leak-check=full --show-leak-kinds=definite --num-callers=30 \
		$(VPY) -m pytest -x -q -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf $(VENV) build .venv-*
