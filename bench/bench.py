"""Wall and CPU time per call of the extension's main operations, next to a floor.

Runs a throwaway PostgreSQL and the bank sandbox (in a process of its own, so its
CPU is not counted against the calling thread), seeds one configuration and one
bank account, and times each operation through the extension and through
bench/floor.cpp, which makes the same statements and HTTPS requests directly with
libpq and libcurl. The two sides take turns call by call, so that load on the
machine and the sandbox's growing state fall on both alike.

Started by bench/run.sh, which builds the floor program first.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import os
import platform
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
from pathlib import Path
from typing import IO, Any

# Production-like: no debug lines. Settled before the first call reads the switch.
for _name in ("SCB_DEBUG", "DEBUG_SCB"):
    os.environ.pop(_name, None)

from halvenor_scb_lib import _binding
from halvenor_scb_lib.devdb import ThrowawayPostgres

APP_KEY, APP_SECRET = "BENCHKEY", "BENCHSECRET"
BILLER_ID = "123456789012345"
COMPANY_ID = 1
REUSED_INVOICE = 1
WARM_UP = 10
START_TIMEOUT = 30.0


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


def machine_lines(pg: ThrowawayPostgres) -> list[str]:
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
def floor_process(floor: str, workdir: Path) -> Iterator[Callable[[list[str]], Sample]]:
    """The floor program, kept running; yields a function that makes one timed call through it."""
    with open(workdir / "floor.log", "wb") as log:
        process = subprocess.Popen([floor], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, text=True)
        stdin, stdout = process.stdin, process.stdout
        assert stdin is not None and stdout is not None

        def call(words: list[str]) -> Sample:
            stdin.write(" ".join(words) + "\n")
            stdin.flush()
            line = stdout.readline()
            if not line:
                raise RuntimeError(f"floor failed on {words}:\n{(workdir / 'floor.log').read_text()}")
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


def preemptions() -> int:
    return resource.getrusage(resource.RUSAGE_THREAD).ru_nivcsw


def module_sample(operation: Operation, number: int) -> Sample:
    preempted = preemptions()
    cpu = time.thread_time_ns()
    wall = time.perf_counter_ns()
    answer = operation.module_call(number)
    wall = time.perf_counter_ns() - wall
    cpu = time.thread_time_ns() - cpu
    preempted = preemptions() - preempted
    if not operation.accept(answer):
        raise RuntimeError(f"{operation.name}: unexpected answer {json.dumps(answer)[:300]}")
    return Sample(wall, cpu, 0, preempted)


def measure(operation: Operation, floor: Callable[[list[str]], Sample], calls: int,
            first_number: int) -> tuple[list[Sample], list[Sample]]:
    """Warm-up calls first, then module and floor call by call, each going first every other time."""
    module: list[Sample] = []
    floor_samples: list[Sample] = []
    for index in range(WARM_UP + calls):
        number = first_number + index
        if index % 2:
            pair = (floor(operation.floor_call(number)), module_sample(operation, number))[::-1]
        else:
            pair = (module_sample(operation, number), floor(operation.floor_call(number)))
        if index >= WARM_UP:
            module.append(pair[0])
            floor_samples.append(pair[1])
    return module, floor_samples


def seed(pg: ThrowawayPostgres, sandbox_env: dict[str, str], today: str) -> dict[str, Any]:
    ids = pg.seed_demo(api_key=APP_KEY, api_secret=APP_SECRET, biller_id=BILLER_ID, environment="sandbox")
    bank_account = str(ids["bank_account_id"])
    # Fills the token cache; every later QR by bank account and inquiry reuses the token.
    primed = _binding.scb_api_create_qr_by_bank(bank_account, 10.0, "PRIME", "BENCH")
    if primed["status"]["code"] != 1000:
        raise RuntimeError(f"priming call failed: {primed}")
    transaction_id = primed["data"]["transactionId"]
    pay = urllib.request.Request(
        f"https://{sandbox_env['SCB_SANDBOX_HOST']}/_sandbox/pay",
        data=json.dumps({"transactionId": transaction_id}).encode(), method="POST",
        headers={"Content-Type": "application/json"},
    )
    context = ssl.create_default_context(cafile=sandbox_env["CURL_CA_BUNDLE"])
    with urllib.request.urlopen(pay, context=context, timeout=10) as answer:
        paid = json.load(answer)
    if paid["data"]["transactionDate"] != today:
        raise RuntimeError(f"payment recorded on {paid['data']['transactionDate']}, expected {today}")
    stored = _binding.create_qr_for_invoice(
        invoice_id=REUSED_INVOICE, company_id=COMPANY_ID, config_id=ids["config_id"],
        reference=f"INV{REUSED_INVOICE}", amount=250.5, bank_account_id=bank_account,
    )
    if "intent_id" not in stored:
        raise RuntimeError(f"could not store the reused invoice's intent: {stored}")
    return {"config_id": str(ids["config_id"]), "bank_account": bank_account, "transaction_id": transaction_id}


def operations(ids: dict[str, Any], today: str) -> list[Operation]:
    config_id, bank_account, transaction_id = ids["config_id"], ids["bank_account"], ids["transaction_id"]

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
                                                       transaction_date=today),
            lambda answer: bank_success(answer) and [p["transactionId"] for p in answer["data"]] == [transaction_id],
            lambda n: ["inquiry", config_id, transaction_id, today],
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
            today = datetime.date.today().isoformat()
            with stderr_to(log):
                ids = seed(pg, sandbox_env, today)
            print("\n".join(machine_lines(pg)))
            print(f"calls: {arguments.calls} per operation and side after {WARM_UP} warm-up calls, the two sides "
                  "taking turns; extension log lines to a file, debug lines off")
            print("sandbox: separate process; every call opens its own database session and TLS connection(s)\n")
            rows = []
            with floor_process(arguments.floor, workdir) as floor:
                for index, operation in enumerate(operations(ids, today)):
                    first_number = index * (WARM_UP + arguments.calls)
                    with stderr_to(log):
                        module, floor_samples = measure(operation, floor, arguments.calls, first_number)
                    rows.append((operation.name, module, floor_samples))
            print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
