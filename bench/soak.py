"""Soak: many calls mixed over the extension's operations, successes and failures, in one process.

    python3 bench/soak.py [--calls N] [--warm-up N] [--max-growth-kib K] [--json]

The parent runs the bank sandbox and a throwaway PostgreSQL and starts one child that
makes every call. The child reports its resident memory and open descriptors after the
warm-up and at the end; the parent then counts the database connections left open.
Exit status 1 when memory grew by K KiB or more after the warm-up, descriptors did not
return to their count before the first call, a connection was left open, or an
operation answered other than expected.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import tempfile
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (
    APP_KEY,
    BILLER_ID,
    bank_and_database,
    ran_as_child,
    start_child,
    tool_parser,
)

from halvenor_scb_lib import _binding

CLOSED_PORT_URL = "https://127.0.0.1:9/partners/sandbox/v1/payment/qrcode/create"
REUSED_INVOICE = 1
CHILD_TIMEOUT = 1800


def resident_kib() -> int:
    for line in Path("/proc/self/status").read_text(encoding="ascii").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def code_of(answer: dict[str, Any]) -> Any:
    return answer.get("status", {}).get("code")


def operations(plan: dict[str, Any]) -> list[tuple[str, Callable[[int], Any], Callable[[Any], bool]]]:
    """(name, call with a number unique to the call, check of the answer) for every operation mixed in."""
    config, account, company = str(plan["config_id"]), str(plan["bank_account_id"]), plan["company_id"]
    token, transaction, day = plan["token"], plan["transaction_id"], plan["transaction_date"]
    qr_url = plan["qr_url"]

    def invoice(number: int) -> dict[str, Any]:
        return _binding.create_qr_for_invoice(number, company, int(config), f"INV{number}", 125.5, account)

    def database_unreachable(_: int) -> dict[str, Any]:
        saved = os.environ["PGPORT"]
        os.environ["PGPORT"] = "9"
        try:
            return _binding.scb_api_create_qr_by_bank(account, 10.0, "DOWN", "SOAK")
        finally:
            os.environ["PGPORT"] = saved

    return [
        ("qr by bank account", lambda n: _binding.scb_api_create_qr_by_bank(account, 99.5, f"S{n}", "SOAK"),
         lambda a: code_of(a) == 1000),
        ("qr by unknown bank account", lambda n: _binding.scb_api_create_qr_by_bank("999999", 1.0, "X", "Y"),
         lambda a: code_of(a) == 9003),
        ("qr by bank account, database down", database_unreachable, lambda a: code_of(a) == 9002),
        ("invoice qr, new", lambda n: invoice(100_000 + n), lambda a: "intent_id" in a),
        ("invoice qr, reused", lambda n: invoice(REUSED_INVOICE), lambda a: a.get("status") == "pending"),
        ("inquiry", lambda n: _binding.scb_api_payment_inquiry(config, transaction_ref=transaction,
                                                               transaction_date=day),
         lambda a: code_of(a) == 1000 and len(a["data"]) == 1),
        ("inquiry without parameters", lambda n: _binding.scb_api_payment_inquiry(config),
         lambda a: code_of(a) == 9004),
        ("qr with explicit credentials", lambda n: _binding.scb_api_create_qr_full(
            APP_KEY, token, qr_url, BILLER_ID, 10.0, f"F{n}", "SOAK"), lambda a: code_of(a) == 1000),
        ("qr with explicit credentials, bank unreachable", lambda n: _binding.scb_api_create_qr_full(
            APP_KEY, token, CLOSED_PORT_URL, BILLER_ID, 10.0, "F", "SOAK"), lambda a: code_of(a) == 9102),
        ("qr with a rejected token", lambda n: _binding.scb_api_create_qr_full(
            APP_KEY, "not-a-token", qr_url, BILLER_ID, 10.0, "F", "SOAK"), lambda a: code_of(a) == 9300),
    ]


def run_child(plan: dict[str, Any]) -> dict[str, Any]:
    mixed = operations(plan)
    calls, warm_up = plan["calls"], plan["warm_up"]
    descriptors_before = open_descriptors()
    answers: Counter[str] = Counter()
    unexpected: list[str] = []
    memory_after_warm_up = 0
    peak = 0
    for number in range(calls):
        name, call, expected = mixed[number % len(mixed)]
        answer = call(number)
        if expected(answer):
            answers[name] += 1
        elif len(unexpected) < 10:
            unexpected.append(f"{name}: {json.dumps(answer)[:300]}")
        if number + 1 == warm_up:
            memory_after_warm_up = resident_kib()
        if number + 1 >= warm_up and (number + 1) % 500 == 0:
            peak = max(peak, resident_kib())
    memory_at_end = resident_kib()
    return {
        "calls": calls, "warm_up": warm_up, "expected_answers": dict(answers), "unexpected": unexpected,
        "descriptors_before": descriptors_before, "descriptors_after": open_descriptors(),
        "rss_after_warm_up_kib": memory_after_warm_up, "rss_at_end_kib": memory_at_end,
        "rss_peak_after_warm_up_kib": max(peak, memory_at_end),
    }


def prepare(setting: Any) -> dict[str, Any]:
    """A cached token, a paid QR for the inquiry and a stored intent for the reused invoice."""
    os.environ.update(setting.child_environ())
    account = str(setting.bank_account_id)
    primed = _binding.scb_api_create_qr_by_bank(account, 10.0, "PRIME", "SOAK")
    if code_of(primed) != 1000:
        raise RuntimeError(f"priming call failed: {primed}")
    paid = setting.sandbox.pay(primed["data"]["qrRawData"], partner_transaction_id="SOAK1")
    stored = _binding.create_qr_for_invoice(REUSED_INVOICE, setting.company_id, setting.config_id,
                                            f"INV{REUSED_INVOICE}", 125.5, account)
    if "intent_id" not in stored:
        raise RuntimeError(f"could not store the reused invoice: {stored}")
    return {
        "config_id": setting.config_id, "bank_account_id": setting.bank_account_id,
        "company_id": setting.company_id, "token": setting.stored_token(),
        "transaction_id": paid["partnerTransactionId"], "transaction_date": paid["transactionDateandTime"][:10],
        "qr_url": f"https://{setting.sandbox.address}/partners/sandbox/v1/payment/qrcode/create",
    }


def run_parent(arguments: argparse.Namespace) -> int:
    with bank_and_database() as setting, tempfile.TemporaryFile() as child_log:
        plan = prepare(setting) | {"calls": arguments.calls, "warm_up": arguments.warm_up}
        child = start_child(__file__, ["--child", json.dumps(plan)], setting.child_environ(),
                            stderr=child_log.fileno())
        output, _ = child.communicate(timeout=CHILD_TIMEOUT)
        if child.returncode != 0:
            child_log.seek(0)
            sys.stderr.write(child_log.read()[-4000:].decode(errors="replace"))
            raise RuntimeError(f"soak child ended with status {child.returncode}")
        figures = json.loads(output)
        figures["connections_left"] = setting.pg.wait_for_client_connections(0)
    figures["rss_growth_kib"] = figures["rss_at_end_kib"] - figures["rss_after_warm_up_kib"]
    failures = failed_checks(figures, arguments.max_growth_kib)
    figures["failures"] = failures
    if arguments.json:
        print(json.dumps(figures))
    else:
        print_report(figures)
    return 1 if failures else 0


def failed_checks(figures: dict[str, Any], max_growth_kib: int) -> list[str]:
    failures = []
    if figures["rss_growth_kib"] >= max_growth_kib:
        failures.append(f"resident memory grew by {figures['rss_growth_kib']} KiB after the warm-up")
    if figures["descriptors_after"] != figures["descriptors_before"]:
        failures.append(f"descriptors {figures['descriptors_before']} before, {figures['descriptors_after']} after")
    if figures["connections_left"]:
        failures.append(f"{figures['connections_left']} database connections left open")
    if figures["unexpected"]:
        failures.append(f"unexpected answers: {figures['unexpected']}")
    return failures


def print_report(figures: dict[str, Any]) -> None:
    print(f"{figures['calls']} calls ({figures['warm_up']} of them warm-up), "
          f"{sum(figures['expected_answers'].values())} answered as expected:")
    for name, count in figures["expected_answers"].items():
        print(f"  {count:6}  {name}")
    print(f"resident memory: {figures['rss_after_warm_up_kib']} KiB after warm-up, "
          f"{figures['rss_at_end_kib']} KiB at the end (growth {figures['rss_growth_kib']} KiB, "
          f"peak {figures['rss_peak_after_warm_up_kib']} KiB)")
    print(f"open descriptors: {figures['descriptors_before']} before the first call, "
          f"{figures['descriptors_after']} after the last")
    print(f"database connections left open: {figures['connections_left']}")
    for failure in figures["failures"]:
        print(f"FAILED: {failure}")
    print(f"finished {datetime.datetime.now().isoformat(timespec='seconds')}")


def main() -> int:
    parser = tool_parser(__doc__)
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--warm-up", type=int, default=1_000)
    parser.add_argument("--max-growth-kib", type=int, default=2048)
    arguments = parser.parse_args()
    if ran_as_child(arguments, run_child):
        return 0
    if not 0 < arguments.warm_up < arguments.calls:
        parser.error("--warm-up must be between 0 and --calls")
    return run_parent(arguments)


if __name__ == "__main__":
    sys.exit(main())
