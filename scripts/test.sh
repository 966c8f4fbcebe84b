#!/usr/bin/env bash
# Builds the package and runs the whole test suite.
#   scripts/test.sh              regular build
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build
#   scripts/test.sh --tsan       ThreadSanitizer build (thread tests only)
# Extra arguments after the mode go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=regular
case "${1:-}" in
    --sanitize) mode=sanitize; shift ;;
    --tsan) mode=tsan; shift ;;
esac

bash scripts/install-system-packages.sh
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore ".[test]" >/dev/null

if [ "$mode" = regular ]; then
    exec python3 -m pytest "$@"
fi

# Sanitizer builds go into an environment of their own, isolated from the
# regular (possibly editable) install.
venv=".venv-$mode"
python3 -m venv "$venv"
if [ "$mode" = sanitize ]; then
    define="SCB_SANITIZE=ON"
    runtime="$(g++ -print-file-name=libasan.so)"
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
else
    define="SCB_TSAN=ON"
    runtime="$(g++ -print-file-name=libtsan.so)"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
fi
pip_quiet=(-q --disable-pip-version-check --root-user-action=ignore)
"$venv/bin/python" -m pip uninstall -y "${pip_quiet[@]}" halvenor_scb_lib >/dev/null 2>&1 || true
"$venv/bin/python" -m pip install "${pip_quiet[@]}" -C "cmake.define.$define" -C "build-dir=build/$mode" \
    ".[test]" >/dev/null
# The interpreter is not instrumented: the runtime must be loaded first.
LD_PRELOAD="$runtime" exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
