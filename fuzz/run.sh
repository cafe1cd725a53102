#!/usr/bin/env bash
# Coverage-guided fuzzing of the compiled modules against their pure twins:
# builds them with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# with libFuzzer's coverage instrumentation (warnings as errors, so this is
# also the check that clang compiles them cleanly), then runs each target
# under atheris for a bounded time, from the seeds in fuzz/corpus/<target>.
# A crash, a sanitizer report or a differential mismatch fails the run; the
# input that caused it is left in the work folder, to go into
# fuzz/corpus/<target>/ as a regression case of the test suite.
#
#   bash fuzz/run.sh PYTHON [SECONDS_PER_TARGET [WORK [TARGET ...]]]
#
# Installs Debian's clang when it is missing (as root). The wheels are
# still built with gcc; this build is for fuzzing only.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
seconds=${2:-30}
work=${3:-$(mktemp -d)}
shift $(($# < 3 ? $# : 3))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(iso_text decimal_text text_processors typed_results frozen_mappings row_keys)
fi
mkdir -p "$work"

if ! command -v clang++ >/dev/null; then
    echo "=== installing clang"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi

# One library preloaded into the interpreter: the sanitizer runtime and
# libFuzzer together, so that libFuzzer's coverage callbacks take the place
# of the runtime's empty ones. The runtime's pre-init part cannot go into a
# shared library; preloading does its job.
runtime=$work/asan_with_fuzzer.so
if [ ! -e "$runtime" ]; then
    rt=$(dirname "$(clang++ -print-file-name=libclang_rt.asan-x86_64.a)")
    objects=$(mktemp -d "$work/asan.XXXXXX")
    (cd "$objects" && ar x "$rt/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o && ar rcs ../asan-shared.a ./*.o)
    clang++ -shared -o "$runtime" -Wl,--whole-archive "$work/asan-shared.a" "$rt/libclang_rt.asan_cxx-x86_64.a" \
        "$rt/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
    rm -rf "$objects" "$work/asan-shared.a"
fi

venv=$work/venv-fuzz
echo "=== the modules built with $(clang++ --version | head -n 1), instrumented for fuzzing"
sh tools/mkvenv.sh "$python" "$venv"
pip_install=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip_install[@]}" 'meson-python>=0.17' 'meson>=1.1' ninja atheris
CC=clang CXX=clang++ "${pip_install[@]}" --no-build-isolation --force-reinstall --no-deps \
    -Csetup-args=-Dwerror=true -Csetup-args=-Db_lundef=false \
    "-Csetup-args=-Dcpp_args=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -Cbuild-dir="$work/build-fuzz" .

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus=$work/corpus/$target
    findings=$work/findings/$target
    mkdir -p "$corpus" "$findings"
    seeds=()
    [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
    log=$work/$target.log
    echo "=== fuzzing $target for $seconds s"
    status=0
    LD_PRELOAD=$runtime PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        timeout --kill-after=30 $((seconds + 120)) \
        "$venv/bin/python" fuzz/main.py "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=6000 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" > "$log" 2>&1 || status=$?
    runs=$(grep -o '^stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*' || echo "?")
    summary+=("$(printf '%-16s %10s runs  %5s edges  corpus %4s files  exit %s' "$target" "$runs" "$coverage" "$(ls "$corpus" | wc -l)" "$status")")
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)|^INFO: Instrumenting' "$log" | tail -n 60
        ls "$findings"
    fi
done
echo "=== fuzzing summary (each target $seconds s)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "=== fuzzing found something in: ${failed[*]} (inputs in $work/findings)"
    exit 1
fi
