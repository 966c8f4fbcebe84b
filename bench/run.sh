#!/usr/bin/env bash
# Benchmarks of the extension (not part of the test suite):
#
#   bash bench/run.sh [--calls N]        the main operations (N timed calls per operation and side, default 200)
#   bash bench/run.sh renewal [...]      single-flight token renewal: bench/shared_token.py --single-flight
#   bash bench/run.sh reconcile [...]    reconciling paid intents whose callbacks were dropped: bench/reconcile.py
#   bash bench/run.sh growth [...]       one call's cost as the intent table grows: bench/table_growth.py
#
# The last three take their tools' options (--help lists them). For the first:
# Starts a throwaway PostgreSQL and the bank sandbox, then prints for QR by bank
# account (token cached), invoice QR (new invoice and reused) and payment inquiry
# the median and p90 wall time and the CPU time per call, through the extension
# and through bench/floor.cpp (the same statements and requests made directly
# with libpq and libcurl), and the ratio of the two wall times, with the machine.
# A second table adds, for QR by bank account and payment inquiry, the extension
# with kept connections (SCB_REUSE_CONNECTIONS=1), bench/python_client.py, a
# pure-Python client doing the same work over kept connections, and the floor
# with one database session and one libcurl handle kept across calls (--kept).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-system-packages.sh
if ! python3 -c 'import halvenor_scb_lib._binding, halvenor_scb_lib.sandbox, halvenor_scb_lib.devdb, requests' 2>/dev/null; then
    python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore ".[bench]" >/dev/null
fi

case "${1:-}" in
    renewal) shift; exec python3 bench/shared_token.py --single-flight "$@" ;;
    reconcile) shift; exec python3 bench/reconcile.py "$@" ;;
    growth) shift; exec python3 bench/table_growth.py "$@" ;;
esac

floor=build/bench/floor
bash bench/build-floor.sh "$floor"
exec python3 bench/bench.py --floor "$floor" "$@"
