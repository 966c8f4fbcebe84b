#!/usr/bin/env bash
# Checks a repaired wheel without building anything: the libraries it carries
# and its stable ABI (tests/test_wheel.py), then import, an explicit-credentials
# QR against the bank sandbox and a QR by bank account against a throwaway
# PostgreSQL in a fresh virtual environment of each CPython from 3.9 to 3.13.
#   scripts/smoke-wheel.sh WHEEL
# The interpreters are pyenv's, else python3.X on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel="$(realpath "$1")"
started=$SECONDS

find_python() {
    local version="$1" found
    found="$(ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/$version".*/bin/python3 2>/dev/null \
        | sort -V | tail -n 1)"
    if [ -z "$found" ]; then
        found="$(command -v "python$version" || true)"
    fi
    if [ -z "$found" ]; then
        echo "no Python $version found" >&2
        return 1
    fi
    echo "$found"
}

pythons=()
for version in 3.9 3.10 3.11 3.12 3.13; do
    pythons+=("$(find_python "$version")")
done

# The driver starts the sandbox and the database; it has the wheel too, with
# the extras those need and the tools that read the wheel's libraries and symbols.
bash scripts/install-system-packages.sh
driver=build/smoke-driver
python3 -m venv --clear "$driver"
"$driver/bin/python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    "$wheel[test]" auditwheel abi3audit >/dev/null
SCB_WHEEL="$wheel" "$driver/bin/python" -m pytest -q -p no:cacheprovider tests/test_wheel.py
"$driver/bin/python" scripts/smoke_wheel.py "$wheel" "${pythons[@]}"
echo "Wheel checks and smoke test took $((SECONDS - started)) s"
