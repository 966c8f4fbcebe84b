#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds the
# package, and runs the demo against a throwaway PostgreSQL and the offline
# bank sandbox, both started and stopped by the demo itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-system-packages.sh
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore ".[sandbox]" >/dev/null
exec python3 -m halvenor_scb_lib demo "$@"
