"""Installs a wheel into a fresh virtual environment of each interpreter given
and runs smoke_client.py there, against one throwaway PostgreSQL and one bank
sandbox that this process starts, then the demo on that interpreter alone.

    python scripts/smoke_wheel.py WHEEL PYTHON...

Runs on an interpreter that has the wheel installed with its sandbox extra.
Nothing is built in the fresh environments: pip installs the wheel as it is.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import halvenor_scb_lib as scb
from halvenor_scb_lib.devdb import ThrowawayPostgres
from halvenor_scb_lib.sandbox import Sandbox

KEY, SECRET = "smoke-application-key", "smoke-application-secret"
BILLER_ID = "010556012345678"
CLIENT = Path(__file__).with_name("smoke_client.py")
STEP_TIMEOUT = 300


def run(command: list[str], env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=STEP_TIMEOUT, check=False)
    if done.returncode != 0:
        sys.stderr.write(f"$ {' '.join(command)}\n{done.stdout}{done.stderr}")
    return done


def fresh_environment(python: str, wheel: Path, where: Path) -> Path | None:
    """A new virtual environment of python with the wheel and its sandbox extra installed; None when that failed."""
    venv = where / Path(python).resolve().parent.parent.name
    if run([python, "-m", "venv", str(venv)]).returncode != 0:
        return None
    installed = run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                     "--only-binary", ":all:", f"{wheel}[sandbox]"])
    return venv if installed.returncode == 0 else None


def client_arguments(sandbox: Sandbox, ids: dict[str, int]) -> str:
    token = scb.refresh_token(ids["config_id"])
    if not scb.is_success(token):
        raise SystemExit(f"the sandbox issued no token: {token}")
    return json.dumps({
        "api_key": KEY,
        "access_token": token["data"]["accessToken"],
        "qr_create_url": f"https://{sandbox.address}/partners/sandbox/v1/payment/qrcode/create",
        "biller_id": BILLER_ID,
        "bank_account_id": ids["bank_account_id"],
    })


def main(wheel: Path, pythons: list[str]) -> int:
    failures = 0
    with ThrowawayPostgres() as pg, Sandbox(applications={KEY: SECRET}) as sandbox, \
            tempfile.TemporaryDirectory(prefix="scb-smoke-") as where:
        pg.create_erp_schema()
        ids = pg.seed_demo(api_key=KEY, api_secret=SECRET, biller_id=BILLER_ID)
        for name in [name for name in os.environ if name.startswith("PG")]:
            del os.environ[name]
        os.environ.update({**pg.environ(), **sandbox.environ()})
        arguments = client_arguments(sandbox, ids)
        for python in pythons:
            started = time.monotonic()
            venv = fresh_environment(python, wheel, Path(where))
            done = None if venv is None else run([str(venv / "bin" / "python"), str(CLIENT), arguments])
            # The sandbox and the throwaway database also run on this interpreter: the whole demo.
            demo = None if venv is None else run([str(venv / "bin" / "python"), "-m", "halvenor_scb_lib", "demo",
                                                   "--out", str(Path(where) / f"demo-{venv.name}"),
                                                   "--no-terminal-qr"])
            ok = done is not None and done.returncode == 0 and demo is not None and demo.returncode == 0
            failures += not ok
            shown = done.stdout.strip() if done is not None and done.stdout else f"{python}: no environment"
            demo_outcome = "demo ok" if demo is not None and demo.returncode == 0 else "demo FAILED"
            print(f"{'PASS' if ok else 'FAIL'} {shown}; {demo_outcome} [{time.monotonic() - started:.1f} s]",
                  flush=True)
    print(f"smoke: {len(pythons) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    sys.exit(main(Path(sys.argv[1]).resolve(), sys.argv[2:]))
