#!/usr/bin/env bash
# Developer commands of quendral. Each one sets up what it needs first.
#   ./run.sh demo        build the extension alone, then run the demo in examples/
#   ./run.sh test        build, then run every test (C++ unit tests and Python tests)
#   ./run.sh bench       build, then run the benchmarks in bench/
#   ./run.sh fuzz [N]    build, then fuzz the Python surface with N calls (default 1000000)
#   ./run.sh race [SECS] build, then race quendral against the reference planner on the real tasks
set -euo pipefail
cd "$(dirname "$0")"

JOBS=${JOBS:-2}
BUILD=${QUENDRAL_BUILD:-build}  # build folder; the sanitizer build goes to "$BUILD-asan"

setup() { scripts/setup.sh; }

# configure DIR [cmake options...]
configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
}

# build DIR [cmake options...]: every target (tests and benchmarks included)
build() {
  configure "$@"
  cmake --build "$1" -j "$JOBS"
}

pytest_in() {  # pytest_in BUILD_DIR [pytest args...]
  local dir=$1; shift
  PYTHONPATH="$PWD/$dir/python" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python "$@"
}

# The same tests again against an AddressSanitizer + UndefinedBehaviorSanitizer build: the first
# report fails the run. The C++ engine tests run with leak detection; the interpreter's own
# allocations are not ours, so the Python suite (and the tests that embed the interpreter) run
# without it, with Python's allocator switched to malloc so that ASan sees every object. The C++
# runtime is preloaded with ASan because the interpreter itself does not link it, and ASan must
# find it at start-up to intercept exceptions thrown by the extension.
sanitized_tests() {
  build "$BUILD-asan" -DQUENDRAL_SANITIZE=ON -DQUENDRAL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$BUILD-asan" --output-on-failure -j "$JOBS"
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    pytest_in "$BUILD-asan"
}

case ${1:-} in
  demo)
    setup
    # The demo needs the extension only; the tests and benchmarks are left for `test` and `bench`.
    configure "$BUILD"
    cmake --build "$BUILD" -j "$JOBS" --target quendral
    PYTHONPATH="$PWD/$BUILD/python" .venv/bin/python examples/demo.py
    ;;
  test)
    setup
    build "$BUILD"
    ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
    pytest_in "$BUILD"
    sanitized_tests
    ;;
  bench)
    setup
    build "$BUILD"
    for b in "$BUILD"/bench/bench_*; do [ -x "$b" ] && "$b"; done
    PYTHONPATH="$PWD/$BUILD/python" .venv/bin/python bench/bench_python.py
    ;;
  fuzz)
    setup
    build "$BUILD"
    PYTHONPATH="$PWD/$BUILD/python" .venv/bin/python tests/fuzz/fuzz_surface.py --calls "${2:-1000000}" \
      --seed "${3:-$RANDOM}" 2> >(grep -v '^quendral: internal failure' >&2)
    ;;
  race)
    setup
    build "$BUILD"
    # The peer and the chart library live in an environment of their own, never in .venv.
    if [ ! -x .bench-venv/bin/python ]; then
      "$(readlink -f .venv/bin/python)" -m venv .bench-venv
    fi
    .bench-venv/bin/python -m pip install -q --disable-pip-version-check matplotlib </dev/null
    .bench-venv/bin/python -m pip install -q --disable-pip-version-check --no-deps up-fast-downward </dev/null
    # Found without importing the package (it imports libraries it was not installed with).
    peer=$(.bench-venv/bin/python -c 'import importlib.util, pathlib; spec = importlib.util.find_spec("up_fast_downward"); print(pathlib.Path(spec.origin).parent / "downward/builds/release/bin/downward")')
    PYTHONPATH="$PWD/$BUILD/python" .bench-venv/bin/python bench/race.py --peer "$peer" --python "$PWD/.venv/bin/python" \
      --time-limit "${2:-60}" --out results
    ;;
  *)
    sed -n '2,8p' "$0"
    exit 2
    ;;
esac
