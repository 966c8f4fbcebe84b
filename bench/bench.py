"""Wall and CPU time per call of the extension's main operations, next to a floor.

Runs a throwaway PostgreSQL and the bank sandbox (in a process of its own, so its
CPU is not counted against the calling thread), seeds one configuration and one
bank account, and times each operation through the extension and through
bench/floor.cpp, which makes the same statements and HTTPS requests directly with
libpq and libcurl. The two sides take turns call by call, so that load on the
machine and the sandbox's growing state fall on both alike.

For QR by bank account and payment inquiry three more sides take their turns in
the same rounds: the extension with kept connections (SCB_REUSE_CONNECTIONS=1),
bench/python_client.py, a pure-Python client doing the same work over one kept
HTTPS session and one kept database connection, and the floor run with --kept
(one libpq session and one libcurl handle for every call), the physical limit
of the kept path. A second table sets the five side by side, with the TLS
connections the kept-connection calls of the extension and of the kept floor
opened as the sandbox counts them.

Started by bench/run.sh, which builds the floor program first.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import resource
import select
import shlex
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import IO, Any

import requests

# Production-like: no debug lines. Settled before the first call reads the switch.
for _name in ("SCB_DEBUG", "DEBUG_SCB"):
    os.environ.pop(_name, None)

from halvenor_scb_lib import _binding
from halvenor_scb_lib.devdb import ThrowawayPostgres

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import machine_lines
from python_client import PythonClient, connections_opened

APP_KEY, APP_SECRET = "BENCHKEY", "BENCHSECRET"
BILLER_ID = "123456789012345"
COMPANY_ID = 1
REUSED_INVOICE = 1
PARTNER_TRANSACTION_ID = "BENCH1"
WARM_UP = 10
START_TIMEOUT = 30.0
REUSE_SWITCH = "SCB_REUSE_CONNECTIONS"
# The extension's calls with kept connections take their numbers (and QR references) from here on.
SWITCH_ON_NUMBERS = 1_000_000
CLIENT_BACKENDS_SQL = "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'"


@dataclass
class Sample:
    wall_ns: int
    cpu_ns: int
    https_cpu_ns: int  # known for the floor only
    preempted: int  # involuntary context switches of the calling thread


@dataclass
class Operation:
    name: str
    module_call: Callable[[int], dict[str, Any]]  # argument: a number unique to the call
    accept: Callable[[dict[str, Any]], bool]
    floor_call: Callable[[int], list[str]]
    # Set for the operations also timed with kept connections, in the extension and in pure Python.
    python_call: Callable[[PythonClient, int], dict[str, Any]] | None = None


@dataclass
class ConnectionTally:
    """TLS connections the sandbox accepted during a series of calls; None once any count was unknown."""
    calls: int = 0
    opened: int | None = 0

    def add(self, opened: int | None) -> None:
        self.calls += 1
        self.opened = None if opened is None or self.opened is None else self.opened + opened


@dataclass
class KeptRow:
    name: str
    switch_off: list[Sample]
    switch_on: list[Sample]
    python: list[Sample]
    floor: list[Sample]
    kept_floor: list[Sample]
    switch_on_connections: ConnectionTally
    kept_floor_connections: ConnectionTally


@contextlib.contextmanager
def sandbox_process(workdir: Path) -> Iterator[dict[str, str]]:
    """The bank sandbox in its own process; yields the environment that points at it."""
    with open(workdir / "sandbox.log", "wb") as log:
        process = subprocess.Popen(
            [sys.executable, "-m", "halvenor_scb_lib.sandbox", "--app", f"{APP_KEY}:{APP_SECRET}",
             "--ca-dir", str(workdir / "ca")],
            stdout=subprocess.PIPE, stderr=log,
        )
        try:
            assert process.stdout is not None
            # Raw reads: a buffered reader could hold lines that select() no longer reports.
            printed = b""
            deadline = time.monotonic() + START_TIMEOUT
            while b"# application" not in printed:
                ready, _, _ = select.select([process.stdout], [], [], max(0.0, deadline - time.monotonic()))
                chunk = os.read(process.stdout.fileno(), 4096) if ready else b""
                if not chunk:
                    raise RuntimeError(f"sandbox did not start:\n{(workdir / 'sandbox.log').read_text()}")
                printed += chunk
            environ = {}
            for line in printed.decode().splitlines():
                if line.startswith("export "):
                    name, _, value = line[len("export "):].partition("=")
                    environ[name] = shlex.split(value)[0]
            yield environ
        finally:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@contextlib.contextmanager
def floor_process(floor: str, workdir: Path, *options: str) -> Iterator[Callable[[list[str]], Sample]]:
    """The floor program, kept running; yields a function that makes one timed call through it."""
    log_name = "-".join(["floor", *(option.lstrip("-") for option in options)]) + ".log"
    with open(workdir / log_name, "wb") as log:
        process = subprocess.Popen([floor, *options], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                   text=True)
        stdin, stdout = process.stdin, process.stdout
        assert stdin is not None and stdout is not None

        def call(words: list[str]) -> Sample:
            stdin.write(" ".join(words) + "\n")
            stdin.flush()
            line = stdout.readline()
            if not line:
                raise RuntimeError(f"floor failed on {words}:\n{(workdir / log_name).read_text()}")
            return Sample(*map(int, line.split()))

        try:
            yield call
        finally:
            stdin.close()
            process.wait(10)


@contextlib.contextmanager
def stderr_to(log: IO[bytes]) -> Iterator[None]:
    """The extension's log lines (C stdio on fd 2) go to a file while it is timed, as in a server."""
    sys.stderr.flush()
    saved = os.dup(2)
    os.dup2(log.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class SandboxConnections:
    """The sandbox's count of accepted TLS connections, read over one kept session.

    What the reads themselves open (nothing past the first, where the sandbox keeps
    connections alive) is taken off. Counts are None when the sandbox publishes none.
    """

    def __init__(self, sandbox_env: dict[str, str]) -> None:
        self._url = f"https://{sandbox_env['SCB_SANDBOX_HOST']}/_sandbox/connections"
        self._session = requests.Session()
        self._session.trust_env = False  # the sandbox's CA file, whatever REQUESTS_CA_BUNDLE says
        self._session.verify = sandbox_env["CURL_CA_BUNDLE"]
        self.published = self._read() is not None

    def close(self) -> None:
        self._session.close()

    def _read(self) -> int | None:
        try:
            answer = self._session.get(self._url, timeout=10)
            return int(answer.json()["data"]["tlsConnections"]) if answer.status_code == 200 else None
        except (requests.RequestException, ValueError, KeyError, TypeError):
            return None

    def opened_during(self, call: Callable[[], Sample]) -> tuple[Sample, int | None]:
        if not self.published:
            return call(), None
        before = self._read()
        sample = call()
        own = connections_opened(self._session)
        after = self._read()
        if before is None or after is None:
            return sample, None
        return sample, after - before - (connections_opened(self._session) - own)


@contextlib.contextmanager
def reuse_switch_on() -> Iterator[None]:
    """Kept connections in the extension, which reads the switch at every operation."""
    os.environ[REUSE_SWITCH] = "1"
    try:
        yield
    finally:
        del os.environ[REUSE_SWITCH]


def preemptions() -> int:
    return resource.getrusage(resource.RUSAGE_THREAD).ru_nivcsw


def call_sample(operation: Operation, call: Callable[[int], dict[str, Any]], number: int) -> Sample:
    preempted = preemptions()
    cpu = time.thread_time_ns()
    wall = time.perf_counter_ns()
    answer = call(number)
    wall = time.perf_counter_ns() - wall
    cpu = time.thread_time_ns() - cpu
    preempted = preemptions() - preempted
    if not operation.accept(answer):
        raise RuntimeError(f"{operation.name}: unexpected answer {json.dumps(answer)[:300]}")
    return Sample(wall, cpu, 0, preempted)


def measure(sides: list[Callable[[int], Sample]], calls: int, first_number: int) -> list[list[Sample]]:
    """Warm-up calls first, then the sides call by call, each going first in its turn."""
    samples: list[list[Sample]] = [[] for _ in sides]
    for index in range(WARM_UP + calls):
        number = first_number + index
        for position in range(len(sides)):
            side = (index + position) % len(sides)
            sample = sides[side](number)
            if index >= WARM_UP:
                samples[side].append(sample)
    return samples


def counted(side: Callable[[int], Sample], counter: SandboxConnections,
            tally: ConnectionTally) -> Callable[[int], Sample]:
    """The side, with the TLS connections each of its calls opened added to the tally."""
    def counted_side(number: int) -> Sample:
        sample, opened = counter.opened_during(lambda: side(number))
        tally.add(opened)
        return sample

    return counted_side


def switched_on_side(operation: Operation) -> Callable[[int], Sample]:
    def side(number: int) -> Sample:
        with reuse_switch_on():
            return call_sample(operation, operation.module_call, SWITCH_ON_NUMBERS + number)

    return side


def python_side(operation: Operation, client: PythonClient) -> Callable[[int], Sample]:
    python_call = operation.python_call
    assert python_call is not None
    return lambda number: call_sample(operation, lambda n: python_call(client, n), number)


def floor_side(operation: Operation, floor: Callable[[list[str]], Sample]) -> Callable[[int], Sample]:
    return lambda number: floor(operation.floor_call(number))


def seed(pg: ThrowawayPostgres, sandbox_env: dict[str, str]) -> dict[str, Any]:
    ids = pg.seed_demo(api_key=APP_KEY, api_secret=APP_SECRET, biller_id=BILLER_ID, environment="sandbox")
    bank_account = str(ids["bank_account_id"])
    # Fills the token cache; every later QR by bank account and inquiry reuses the token.
    primed = _binding.scb_api_create_qr_by_bank(bank_account, 10.0, "PRIME", "BENCH")
    if primed["status"]["code"] != 1000:
        raise RuntimeError(f"priming call failed: {primed}")
    # Paid with a partner transaction id, so that the inquiry by transaction finds it.
    scanned = {"qrRawData": primed["data"]["qrRawData"], "partnerTransactionId": PARTNER_TRANSACTION_ID}
    pay = urllib.request.Request(
        f"https://{sandbox_env['SCB_SANDBOX_HOST']}/_sandbox/pay",
        data=json.dumps(scanned).encode(), method="POST", headers={"Content-Type": "application/json"},
    )
    context = ssl.create_default_context(cafile=sandbox_env["CURL_CA_BUNDLE"])
    with urllib.request.urlopen(pay, context=context, timeout=10) as answer:
        paid = json.load(answer)["data"]
    stored = _binding.create_qr_for_invoice(
        invoice_id=REUSED_INVOICE, company_id=COMPANY_ID, config_id=ids["config_id"],
        reference=f"INV{REUSED_INVOICE}", amount=250.5, bank_account_id=bank_account,
    )
    if "intent_id" not in stored:
        raise RuntimeError(f"could not store the reused invoice's intent: {stored}")
    return {"config_id": str(ids["config_id"]), "bank_account": bank_account,
            "transaction_id": paid["partnerTransactionId"], "day": paid["transactionDateandTime"][:10]}


def operations(ids: dict[str, Any]) -> list[Operation]:
    config_id, bank_account = ids["config_id"], ids["bank_account"]
    transaction_id, day = ids["transaction_id"], ids["day"]

    def invoice(number: int) -> dict[str, Any]:
        return _binding.create_qr_for_invoice(
            invoice_id=number, company_id=COMPANY_ID, config_id=int(config_id), reference=f"INV{number}",
            amount=250.5, bank_account_id=bank_account,
        )

    def bank_success(answer: dict[str, Any]) -> bool:
        return answer.get("status", {}).get("code") == 1000

    # Invoice ids: the extension's from 100000, the floor's from 500000, a new one for every call.
    return [
        Operation(
            "scb_api_create_qr_by_bank (token cached)",
            lambda n: _binding.scb_api_create_qr_by_bank(bank_account, 100.25, f"EXT{n}", "BENCH"),
            bank_success,
            lambda n: ["qr_by_bank", bank_account, f"FLR{n}"],
            lambda client, n: client.create_qr_by_bank(bank_account, 100.25, f"PY{n}", "BENCH"),
        ),
        Operation(
            "create_qr_for_invoice (new invoice)",
            lambda n: invoice(100_000 + n),
            lambda answer: "intent_id" in answer and "qr_payload" in answer,
            lambda n: ["invoice_new", str(500_000 + n), config_id, bank_account],
        ),
        Operation(
            "create_qr_for_invoice (reused)",
            lambda n: invoice(REUSED_INVOICE),
            lambda answer: answer.get("reference") == f"INV{REUSED_INVOICE}" and answer.get("status") == "pending",
            lambda n: ["invoice_reused", str(REUSED_INVOICE)],
        ),
        Operation(
            "scb_api_payment_inquiry",
            lambda n: _binding.scb_api_payment_inquiry(config_id, transaction_ref=transaction_id,
                                                       transaction_date=day),
            lambda answer: bank_success(answer)
            and [p["partnerTransactionId"] for p in answer["data"]] == [transaction_id],
            lambda n: ["inquiry", config_id, transaction_id, day],
            lambda client, n: client.payment_inquiry(config_id, transaction_id, day),
        ),
    ]


def p90(values: list[float]) -> float:
    return statistics.quantiles(values, n=10, method="inclusive")[8]


def milliseconds(samples: list[Sample], field: str) -> list[float]:
    return [getattr(sample, field) / 1e6 for sample in samples]


def preempted_share(samples: list[Sample]) -> float:
    return sum(1 for sample in samples if sample.preempted) / len(samples)


def print_table(rows: list[tuple[str, list[Sample], list[Sample]]]) -> None:
    header = (f"{'operation':<41} {'ext med':>8} {'ext p90':>8} {'floor med':>9} {'floor p90':>9} "
              f"{'ratio':>6} {'ratio p90':>9} {'ext CPU':>8} {'floor CPU':>9} {'in HTTPS':>8} {'ext-floor':>9} "
              f"{'ext prmt':>8} {'floor prmt':>10}")
    print("wall and CPU in ms per call; ratio = extension / floor wall time (median, p90);")
    print("CPU = calling thread, mean; 'in HTTPS' = the floor's CPU inside its bank requests (handle, TLS, transfer);")
    print("prmt = share of calls during which the calling thread was preempted (involuntary context switch)")
    print(header)
    print("-" * len(header))
    verdicts = []
    for name, module, floor in rows:
        module_wall, floor_wall = milliseconds(module, "wall_ns"), milliseconds(floor, "wall_ns")
        module_cpu = statistics.fmean(milliseconds(module, "cpu_ns"))
        floor_cpu = statistics.fmean(milliseconds(floor, "cpu_ns"))
        floor_https = statistics.fmean(milliseconds(floor, "https_cpu_ns"))
        ratio = statistics.median(module_wall) / statistics.median(floor_wall)
        ratio_p90 = p90(module_wall) / p90(floor_wall)
        print(f"{name:<41} {statistics.median(module_wall):8.2f} {p90(module_wall):8.2f} "
              f"{statistics.median(floor_wall):9.2f} {p90(floor_wall):9.2f} {ratio:6.3f} {ratio_p90:9.3f} "
              f"{module_cpu:8.3f} {floor_cpu:9.3f} {floor_https:8.3f} {module_cpu - floor_cpu:9.3f} "
              f"{preempted_share(module):8.0%} {preempted_share(floor):10.0%}")
        verdicts.append(f"  {name}: CPU {module_cpu:.3f} ms per call ({'<' if module_cpu < 1 else '>='} 1 ms; "
                        f"floor {floor_cpu:.3f} ms, {floor_https:.3f} ms of it in HTTPS; "
                        f"{module_cpu - floor_cpu:+.3f} ms beyond the floor); "
                        f"wall ratio {ratio:.3f} ({'<=' if ratio <= 1.10 else '>'} 1.10)")
    print("\n" + "\n".join(verdicts))


def opened_text(tally: ConnectionTally) -> str:
    count = "unknown" if tally.opened is None else str(tally.opened)
    return f"{count} over {tally.calls} calls (warm-up included)"


def print_kept_table(rows: list[KeptRow], python_connections: int, python_calls: int,
                     backends: tuple[int, int]) -> None:
    sides = ("switch off", "switch on", "pure-Python", "floor", "kept floor")
    header = f"{'operation':<41} " + " ".join(f"{side + ' med':>15} {side + ' p90':>15}" for side in sides)
    header += f" {'on/py':>6} {'on/kept':>7}"
    print(f"\nkept connections: wall in ms per call, median and p90; switch on = {REUSE_SWITCH}=1 in the extension;")
    print("pure-Python = bench/python_client.py (one requests session, one psycopg connection); "
          "kept floor = bench/floor.cpp --kept (one libpq session, one libcurl handle);")
    print("on/py = switch on / pure-Python median; on/kept = switch on / kept floor median")
    print(header)
    print("-" * len(header))
    verdicts = []
    for row in rows:
        walls = [milliseconds(samples, "wall_ns")
                 for samples in (row.switch_off, row.switch_on, row.python, row.floor, row.kept_floor)]
        ratio = statistics.median(walls[1]) / statistics.median(walls[2])
        to_limit = statistics.median(walls[1]) / statistics.median(walls[4])
        switch_on_cpu = statistics.fmean(milliseconds(row.switch_on, "cpu_ns"))
        kept_floor_cpu = statistics.fmean(milliseconds(row.kept_floor, "cpu_ns"))
        print(f"{row.name:<41} " + " ".join(f"{statistics.median(wall):15.2f} {p90(wall):15.2f}" for wall in walls)
              + f" {ratio:6.3f} {to_limit:7.3f}")
        verdicts.append(f"  {row.name}: switch on / pure-Python {ratio:.3f} ({'<=' if ratio <= 0.6 else '>'} 0.6); "
                        f"switch on / kept floor {to_limit:.3f} (CPU {switch_on_cpu:.3f} vs {kept_floor_cpu:.3f} ms "
                        f"per call); TLS connections opened by the switch-on calls: "
                        f"{opened_text(row.switch_on_connections)}, by the kept floor: "
                        f"{opened_text(row.kept_floor_connections)}")
    print("\n" + "\n".join(verdicts))
    print(f"  pure-Python client: {python_connections} TLS connection(s) opened over {python_calls} calls")
    print(f"  database client sessions open before / after the kept-connection measurements: "
          f"{backends[0]} / {backends[1]} (the counting query's own, the pure-Python client's and the kept "
          "floor's included)")


def client_backends(pg: ThrowawayPostgres) -> int:
    return int(pg.execute(CLIENT_BACKENDS_SQL)[0][0])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", required=True, help="the compiled floor program")
    parser.add_argument("--calls", type=int, default=200, help="timed calls per operation and side (default 200)")
    arguments = parser.parse_args(argv)
    if arguments.calls < 10:
        parser.error("--calls must be at least 10")

    with tempfile.TemporaryDirectory(prefix="scb-bench-") as temp, ThrowawayPostgres() as pg:
        workdir = Path(temp)
        pg.create_erp_schema()
        os.environ.update(pg.environ())
        with sandbox_process(workdir) as sandbox_env, open(workdir / "extension.log", "ab") as log:
            os.environ.update(sandbox_env)
            with stderr_to(log):
                ids = seed(pg, sandbox_env)
            print("\n".join(machine_lines(pg)))
            print(f"calls: {arguments.calls} per operation and side after {WARM_UP} warm-up calls, the sides "
                  "taking turns; extension log lines to a file, debug lines off")
            print("sandbox: separate process; every call of the extension with the switch off and of the floor "
                  "opens its own database session and TLS connection(s)\n")
            rows = []
            kept_rows = []
            with (floor_process(arguments.floor, workdir) as floor,
                  floor_process(arguments.floor, workdir, "--kept") as kept_floor, PythonClient() as client,
                  contextlib.closing(SandboxConnections(sandbox_env)) as counter):
                backends_before = client_backends(pg)
                for index, operation in enumerate(operations(ids)):
                    first_number = index * (WARM_UP + arguments.calls)
                    sides: list[Callable[[int], Sample]] = [
                        partial(call_sample, operation, operation.module_call), floor_side(operation, floor)]
                    switch_on_tally, kept_floor_tally = ConnectionTally(), ConnectionTally()
                    if operation.python_call is not None:
                        sides += [counted(switched_on_side(operation), counter, switch_on_tally),
                                  python_side(operation, client),
                                  counted(floor_side(operation, kept_floor), counter, kept_floor_tally)]
                    with stderr_to(log):
                        samples = measure(sides, arguments.calls, first_number)
                    rows.append((operation.name, samples[0], samples[1]))
                    if operation.python_call is not None:
                        switch_off, floor_samples, switch_on, python, kept_floor_samples = samples
                        kept_rows.append(KeptRow(operation.name, switch_off, switch_on, python, floor_samples,
                                                 kept_floor_samples, switch_on_tally, kept_floor_tally))
                backends_after = client_backends(pg)
                python_connections = client.tls_connections_opened()
                with stderr_to(log):
                    _binding.close_connections()
            print_table(rows)
            print_kept_table(kept_rows, python_connections, len(kept_rows) * (WARM_UP + arguments.calls),
                             (backends_before, backends_after))
    return 0


if __name__ == "__main__":
    sys.exit(main())
