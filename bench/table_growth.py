"""The cost of one call as the intent table grows, with and without the recommended indexes.

    python3 bench/table_growth.py [--sizes N ...] [--calls C] [--runs R] [--pending P] [--json]

For each size N (default 1,000, 100,000 and 1,000,000) the parent empties the intent table
and fills it with N intents of a busy merchant's past in one statement
(halvenor_scb_lib.devdb.insert_intent_history: spread over the last 365 days and 20
companies, 85 % confirmed, 10 % dead, 5 % pending, none of them pending within the last 3
days). The recent work is the same at every size: C invoice QRs made through the extension
and paid at the bank sandbox, whose confirmations the bank never sent, and P more paid the
same way for the reconciliation. Then, without the recommended indexes (only the primary
keys) and again with them (created as halvenor_scb_lib.devdb.ERP_SCHEMA_SQL creates them),
after ANALYZE, a child process times:

  invoice QR     C calls of halvenor_scb_lib.invoice_qr for invoices of the history: the
                 stored intent is found and handed back, no bank call;
  confirmation   C calls of halvenor_scb_lib.confirm_payment with the bank's records of the C
                 paid invoices: match, inquiry at the sandbox, the intent confirmed;
  reconciliation R runs of halvenor_scb_lib.reconcile_intents over the last 3 days, each
                 confirming the P paid intents (put back to pending before each run).

Each call opens its own database session and TLS connection, as by default. Per size and
side: the median and p90 wall time of a call (of a run), and the ratio of the median to the
same side's at the smallest size. Exit status 1 when a call did not answer as expected.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (Setting, bank_and_database, calls_from_parent, child_reports, machine_lines, ran_as_child,
                     reported, start_child, tool_parser)

from halvenor_scb_lib.devdb import insert_intent_history

INVOICE_AMOUNT = "250.50"
FIRST_HISTORY_INVOICE = 10_000_000
CONFIRMED_INVOICES = 1_000
RECONCILED_INVOICES = 2_000
CHILD_TIMEOUT = 1800
OPERATIONS = ("invoice_qr", "confirmation", "reconciliation")
INTENT_TABLES = ("scb_payment_intent", "res_partner_bank")


def run_child(plan: dict[str, Any]) -> dict[str, Any]:
    """One operation's timed calls; the outcome of each, for the parent to judge."""
    import halvenor_scb_lib as scb

    calls = {
        "invoice_qr": lambda item: scb.invoice_qr(item[0], item[1], plan["config_id"], f"H{item[0]}",
                                                  INVOICE_AMOUNT, plan["bank_account_id"]),
        "confirmation": scb.confirm_payment,
        "reconciliation": lambda item: scb.reconcile_intents(item, 3),
    }[plan["operation"]]
    timings, outcomes = [], []
    for item in plan["items"]:
        started = time.perf_counter()
        answer = calls(item)
        timings.append(1000 * (time.perf_counter() - started))
        outcomes.append(outcome_of(plan["operation"], answer))
    return {"ms": timings, "outcomes": outcomes}


def outcome_of(operation: str, answer: Any) -> str:
    """A call's result in one word: what a stored intent, a confirmation or a run came to."""
    failed = f"failed: {str(answer)[:200]}"
    if operation == "invoice_qr":
        return "stored" if "status" in answer and "intent_id" in answer else failed
    if operation == "confirmation":
        return str(answer.get("outcome", failed))
    if answer.get("status", {}).get("code") != 1000:
        return failed
    return ",".join(sorted({entry["outcome"] for entry in answer["data"]})) + f" x{len(answer['data'])}"


def paid_invoices(setting: Setting, first: int, count: int) -> list[dict[str, str]]:
    """Invoice QRs made through the extension and paid at the bank; the bank's records of the payments."""
    import halvenor_scb_lib as scb

    records = []
    for invoice_id in range(first, first + count):
        answer = scb.invoice_qr(invoice_id, setting.company_id, setting.config_id, f"INV{invoice_id}",
                                INVOICE_AMOUNT, setting.bank_account_id)
        if "intent_id" not in answer:
            raise RuntimeError(f"invoice {invoice_id}: no intent: {answer}")
        records.append(setting.sandbox.pay(str(answer["qr_payload"])))
    return records


def fill(setting: Setting, size: int) -> None:
    """The table holding `size` intents of history and no index but the primary keys."""
    with setting.pg.connect() as conn:
        for (index,) in conn.execute(
                "SELECT indexname FROM pg_indexes WHERE tablename = ANY(%s) AND indexname NOT LIKE '%%_pkey'",
                (list(INTENT_TABLES),)).fetchall():
            conn.execute(f"DROP INDEX {index}")
        conn.execute("TRUNCATE scb_payment_intent RESTART IDENTITY")
        insert_intent_history(conn, size, first_invoice=FIRST_HISTORY_INVOICE)


def back_to_pending(setting: Setting, first: int, count: int) -> None:
    setting.pg.execute("UPDATE scb_payment_intent SET status = 'pending', transaction_id = '' "
                       "WHERE invoice_id >= %s AND invoice_id < %s", (first, first + count))


def timed(setting: Setting, operation: str, items: list[Any]) -> dict[str, Any]:
    plan = {"operation": operation, "items": items, "config_id": setting.config_id,
            "company_id": setting.company_id, "bank_account_id": setting.bank_account_id}
    child = start_child(__file__, ["--child", json.dumps(plan)], setting.child_environ(), stderr=subprocess.DEVNULL)
    (report,) = child_reports([child], CHILD_TIMEOUT)
    return report


def history_invoices(size: int, count: int) -> list[tuple[int, int]]:
    """Invoices and their companies, spread over the whole history, whose intents are live (not of its
    dead blocks, as insert_intent_history makes them)."""
    step = max(1, size // (2 * count))
    rows = [n for n in range(0, size, step) if n // 20 % 20 not in (10, 11)][:count]
    return [(FIRST_HISTORY_INVOICE + n, n % 20 + 1) for n in rows]


def one_side(setting: Setting, size: int, records: list[dict[str, str]], arguments: argparse.Namespace
             ) -> dict[str, dict[str, Any]]:
    setting.pg.execute("ANALYZE")
    back_to_pending(setting, CONFIRMED_INVOICES, arguments.calls)
    figures = {"invoice_qr": timed(setting, "invoice_qr", history_invoices(size, arguments.calls)),
               "confirmation": timed(setting, "confirmation", records)}
    runs: dict[str, list[Any]] = {"ms": [], "outcomes": []}
    for _ in range(arguments.runs):
        back_to_pending(setting, RECONCILED_INVOICES, arguments.pending)
        report = timed(setting, "reconciliation", [setting.config_id])
        runs["ms"] += report["ms"]
        runs["outcomes"] += report["outcomes"]
    figures["reconciliation"] = runs
    return figures


def one_size(setting: Setting, size: int, arguments: argparse.Namespace) -> list[dict[str, Any]]:
    started = time.monotonic()
    fill(setting, size)
    records = paid_invoices(setting, CONFIRMED_INVOICES, arguments.calls)
    paid_invoices(setting, RECONCILED_INVOICES, arguments.pending)
    setup_seconds = time.monotonic() - started
    rows = []
    for indexed in (False, True):
        if indexed:
            setting.pg.create_erp_schema()
        figures = one_side(setting, size, records, arguments)
        rows.append({"size": size, "indexes": indexed, "setup_seconds": round(setup_seconds, 1),
                     **{operation: summary(figures[operation]) for operation in OPERATIONS}})
    return rows


def summary(report: dict[str, Any]) -> dict[str, Any]:
    timings = sorted(report["ms"])
    return {"median_ms": round(statistics.median(timings), 2),
            "p90_ms": round(timings[min(len(timings) - 1, int(0.9 * len(timings)))], 2),
            "calls": len(timings), "outcomes": sorted(set(report["outcomes"]))}


def with_ratios(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Each median over the same side's at the smallest size."""
    smallest = min(row["size"] for row in rows)
    base = {row["indexes"]: row for row in rows if row["size"] == smallest}
    for row in rows:
        for operation in OPERATIONS:
            row[operation]["ratio"] = round(row[operation]["median_ms"] /
                                            base[row["indexes"]][operation]["median_ms"], 2)
    return rows


def measure(arguments: argparse.Namespace) -> dict[str, Any]:
    rows: list[dict[str, Any]] = []
    with bank_and_database() as setting:
        machine = machine_lines(setting.pg)
        calls_from_parent(setting)
        for size in arguments.sizes:
            rows += one_size(setting, size, arguments)
        connections_left = setting.pg.wait_for_client_connections(0)
    return {"machine": machine, "calls": arguments.calls, "runs": arguments.runs, "pending": arguments.pending,
            "connections_left": connections_left, "rows": with_ratios(rows)}


def failed_checks(figures: dict[str, Any]) -> list[str]:
    expected = {"invoice_qr": ["stored"], "confirmation": ["confirmed"],
                "reconciliation": [f"confirmed x{figures['pending']}"]}
    failures = []
    for row in figures["rows"]:
        for operation in OPERATIONS:
            if row[operation]["outcomes"] != expected[operation]:
                failures.append(f"{row['size']} intents, indexes {row['indexes']}: {operation} came to "
                                f"{row[operation]['outcomes']}")
    if figures["connections_left"]:
        failures.append(f"{figures['connections_left']} database connections left open")
    return failures


def print_figures(figures: dict[str, Any]) -> None:
    print("\n".join(figures["machine"]))
    print(f"median (p90) wall ms per call: invoice QR of a stored intent and payment confirmation over "
          f"{figures['calls']} calls, reconciliation of {figures['pending']} paid intents over {figures['runs']} "
          "runs; x = the median over the same side's at the smallest size")
    header = f"{'intents':>9} {'indexes':>8} " + " ".join(f"{name:>24}" for name in OPERATIONS)
    print(header)
    print("-" * len(header))
    for row in figures["rows"]:
        cells = [f"{row[op]['median_ms']:.2f} ({row[op]['p90_ms']:.2f}) x{row[op]['ratio']:.2f}" for op in OPERATIONS]
        print(f"{row['size']:>9,} {'yes' if row['indexes'] else 'no':>8} " + " ".join(f"{c:>24}" for c in cells))
    print("\n".join(["", "failures:", *figures["failures"]] if figures["failures"] else ["", "no failures"]))


def main() -> int:
    parser = tool_parser(__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 100_000, 1_000_000],
                        help="intents of history (default 1000 100000 1000000)")
    parser.add_argument("--calls", type=int, default=30, help="timed invoice QR and confirmation calls (default 30)")
    parser.add_argument("--runs", type=int, default=5, help="timed reconciliation runs (default 5)")
    parser.add_argument("--pending", type=int, default=10,
                        help="paid intents each reconciliation run confirms (default 10)")
    arguments = parser.parse_args()
    if ran_as_child(arguments, run_child):
        return 0
    if min(arguments.sizes) < arguments.calls or min(arguments.calls, arguments.runs, arguments.pending) < 1:
        parser.error("--calls, --runs and --pending must be at least 1, and every size at least --calls")
    return reported(arguments, measure(arguments), failed_checks, print_figures)


if __name__ == "__main__":
    sys.exit(main())
