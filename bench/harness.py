"""The bank and the database that the measurement tools in bench/ run against.

The tools keep the bank sandbox and the throwaway PostgreSQL in the parent process
and make the extension's calls from child processes, so that what is measured in a
child (memory, descriptors, CPU) is the extension's alone.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import platform
import subprocess
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

from halvenor_scb_lib.devdb import ThrowawayPostgres
from halvenor_scb_lib.sandbox import Sandbox

T = TypeVar("T")

APP_KEY, APP_SECRET = "BENCHKEY", "BENCHSECRET"
BILLER_ID = "123456789012345"


@dataclass
class Setting:
    pg: ThrowawayPostgres
    sandbox: Sandbox
    config_id: int
    bank_account_id: int
    company_id: int

    def child_environ(self, **extra: str) -> dict[str, str]:
        """The parent's environment pointed at this bank and database, without debug lines."""
        environ = {name: value for name, value in os.environ.items()
                   if not name.startswith("PG") and name not in ("SCB_DEBUG", "DEBUG_SCB")}
        environ.update(self.pg.environ())
        environ.update(self.sandbox.environ())
        environ.update(extra)
        return environ

    def stored_token(self) -> str | None:
        rows = self.pg.execute("SELECT access_token FROM scb_api_config WHERE id = %s", (self.config_id,))
        return rows[0][0] if rows else None


@contextlib.contextmanager
def bank_and_database(token_lifetime: int = 1800) -> Iterator[Setting]:
    """A sandbox bank and a PostgreSQL with the ERP tables, one configuration and one bank account."""
    with ThrowawayPostgres() as pg, Sandbox(token_lifetime=token_lifetime,
                                            applications={APP_KEY: APP_SECRET}) as sandbox:
        pg.create_erp_schema()
        ids = pg.seed_demo(api_key=APP_KEY, api_secret=APP_SECRET, biller_id=BILLER_ID, environment="sandbox")
        yield Setting(pg, sandbox, ids["config_id"], ids["bank_account_id"], ids["company_id"])


def machine_lines(pg: ThrowawayPostgres) -> list[str]:
    """The machine and software a run had, with the load average at its start: part of every figure."""
    models = [
        line.split(":", 1)[1].strip()
        for line in Path("/proc/cpuinfo").read_text(encoding="utf-8").splitlines()
        if line.startswith("model name")
    ]
    nproc = subprocess.run(["nproc"], capture_output=True, text=True, check=True).stdout.strip()
    curl = subprocess.run(["pkg-config", "--modversion", "libcurl"], capture_output=True, text=True, check=False)
    (server_version,) = pg.execute("SHOW server_version")[0]
    load = " ".join(Path("/proc/loadavg").read_text(encoding="utf-8").split()[:3])
    return [
        (f"machine: nproc {nproc}; CPU {', '.join(sorted(set(models))) or 'unknown'} ({len(models)} listed); "
         f"{platform.system()} {platform.release()}; load average {load}"),
        (f"software: Python {platform.python_version()}; libcurl {curl.stdout.strip() or '?'}; "
         f"PostgreSQL {server_version}"),
    ]


def calls_from_parent(setting: Setting) -> None:
    """The extension in this process pointed at the setting's bank and database, its lines below a warning dropped.

    For the set-up a tool does itself (tokens, invoices): what is measured runs in the children.
    """
    import halvenor_scb_lib

    os.environ.update(setting.pg.environ() | setting.sandbox.environ())
    halvenor_scb_lib.use_python_logging()


def start_child(script: str, arguments: list[str], environ: Mapping[str, str],
                stderr: int | None = None) -> subprocess.Popen[str]:
    """This interpreter running one of the bench scripts in its child role."""
    return subprocess.Popen([sys.executable, script, *arguments], env=dict(environ), stdout=subprocess.PIPE,
                            stderr=stderr, text=True)


def child_reports(children: list[subprocess.Popen[str]], timeout: float) -> list[dict[str, Any]]:
    """What each child printed last, as JSON, once it has ended well."""
    reports = []
    for child in children:
        output, _ = child.communicate(timeout=timeout)
        if child.returncode != 0:
            raise RuntimeError(f"child ended with status {child.returncode}")
        reports.append(json.loads(output.splitlines()[-1]))
    return reports


def rotated(items: Sequence[T], by: int) -> list[T]:
    """The items starting from the by-th: in round r each kind of run goes first in its turn, so that drift
    in the machine's load falls on all alike."""
    shift = by % len(items)
    return [*items[shift:], *items[:shift]]


def tool_parser(description: str) -> argparse.ArgumentParser:
    """Options every bench tool has: --json for the figures, and the hidden child role."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON line")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    return parser


def reported(arguments: argparse.Namespace, figures: dict[str, Any],
             failed_checks: Callable[[dict[str, Any]], list[str]],
             print_figures: Callable[[dict[str, Any]], None]) -> int:
    """Prints the figures with their failures (as one JSON line with --json); exit status 1 when any failed."""
    figures["failures"] = failed_checks(figures)
    if arguments.json:
        print(json.dumps(figures))
    else:
        print_figures(figures)
    return 1 if figures["failures"] else 0


def ran_as_child(arguments: argparse.Namespace, run_child: Callable[[dict[str, Any]], dict[str, Any]]) -> bool:
    """When started as a child, runs its part with the plan it was given and prints its figures."""
    if arguments.child is None:
        return False
    print(json.dumps(run_child(json.loads(arguments.child))))
    return True
