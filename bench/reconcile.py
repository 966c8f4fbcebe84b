"""Reconciling pending intents whose payment confirmations never arrived, by one reconciler and by several at once.

    python3 bench/reconcile.py [--intents N] [--reconcilers K ...] [--rounds R] [--json]

The parent runs the bank sandbox and a throwaway PostgreSQL, creates N invoice QRs
through the extension (the intents of one configuration) and pays every one at the
bank with no callback registered: N paid intents left pending, as when every callback
is dropped. Then, in each of R rounds and for each count K (default 1 and 4), it puts
the intents back to pending with no cached token and starts K processes that call
halvenor_scb_lib.reconcile_intents(config_id) at the same moment.

Per run: the wall time from the first start to the last answer and per intent, the
speed-up over the single reconciler of the same round, the database sessions the
reconcilers opened (the server logs every session, and theirs carry their names), the
token and inquiry requests the bank saw and the TLS connections they came over, the
CPU time of the reconcilers and of the sandbox and how many of the machine's cores were
busy meanwhile (with anything else running on it), the intents checked twice (an outcome
document for the same intent in two answers) and those not checked, and the outcomes.
Exit status 1 when a run failed, an intent was checked twice or not at all, an intent
was left unconfirmed, or more than one token was requested.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (Setting, bank_and_database, calls_from_parent, child_reports, machine_lines, ran_as_child,
                     reported, rotated, start_child, tool_parser)

INVOICE_AMOUNT = "250.50"
FIRST_INVOICE = 100_000
CHILD_TIMEOUT = 900
START_MARGIN_SECONDS = 1.5
# The server writes a line to its log a moment after the event.
LOG_SETTLE_SECONDS = 0.3
RELOAD_TIMEOUT = 10.0
APPLICATION_PREFIX = "reconciler-"
SESSION_LINE = re.compile(r"connection authorized: .*application_name=" + APPLICATION_PREFIX + r"(\d+)")


def run_child(plan: dict[str, Any]) -> dict[str, Any]:
    """One reconciler: from the common start, one run over the configuration's pending intents."""
    import halvenor_scb_lib

    time.sleep(max(0.0, plan["start_at"] - time.time()))
    started, cpu = time.time(), time.process_time()
    answer = halvenor_scb_lib.reconcile_intents(plan["config_id"])
    ended, cpu = time.time(), time.process_time() - cpu
    checked = [[document["intent_id"], document["outcome"]] for document in answer.get("data") or []]
    return {"started": started, "ended": ended, "cpu_seconds": cpu, "code": answer["status"]["code"],
            "checked": checked}


def create_paid_intents(setting: Setting, count: int) -> list[int]:
    """Invoice QRs made through the extension and paid at the bank, whose confirmations nobody hears of."""
    import halvenor_scb_lib

    # Kept connections: only the set-up goes faster; the reconcilers run without them.
    os.environ["SCB_REUSE_CONNECTIONS"] = "1"
    try:
        intents = []
        for invoice_id in range(FIRST_INVOICE, FIRST_INVOICE + count):
            answer = halvenor_scb_lib.invoice_qr(invoice_id, setting.company_id, setting.config_id,
                                                 f"INV{invoice_id}", INVOICE_AMOUNT, setting.bank_account_id)
            if "intent_id" not in answer:
                raise RuntimeError(f"invoice {invoice_id}: no intent: {answer}")
            setting.sandbox.pay(str(answer["qr_payload"]))
            intents.append(int(answer["intent_id"]))
    finally:
        del os.environ["SCB_REUSE_CONNECTIONS"]
        halvenor_scb_lib.close_connections()
    return intents


def log_every_session(setting: Setting) -> None:
    """The server logs each session it opens; a session's own options come too late for that line."""
    (loaded_before,) = setting.pg.execute("SELECT pg_conf_load_time()")[0]
    setting.pg.execute("ALTER SYSTEM SET log_connections = on")
    setting.pg.execute("SELECT pg_reload_conf()")
    # The reload is asynchronous: sessions opened before it is done would go unlogged.
    deadline = time.monotonic() + RELOAD_TIMEOUT
    while setting.pg.execute("SELECT pg_conf_load_time()")[0][0] <= loaded_before:
        if time.monotonic() > deadline:
            raise RuntimeError("the server did not reload its configuration")
        time.sleep(0.02)


def back_to_pending(setting: Setting) -> None:
    """Every intent of the configuration pending again, and no cached token: each run starts alike."""
    with setting.pg.connect() as conn, conn.transaction():
        conn.execute("UPDATE scb_payment_intent SET status = 'pending', transaction_id = '' "
                     "WHERE scb_api_config_id = %s", (setting.config_id,))
        conn.execute("UPDATE scb_api_config SET access_token = NULL, token_expires_at = NULL WHERE id = %s",
                     (setting.config_id,))
    setting.sandbox.requests.clear()


def sessions_opened(log: Path, start: int) -> Counter[int]:
    """Sessions per reconciler, from the server log's lines since offset `start`."""
    time.sleep(LOG_SETTLE_SECONDS)
    with open(log, encoding="utf-8", errors="replace") as lines:
        lines.seek(start)
        return Counter(int(match.group(1)) for match in map(SESSION_LINE.search, lines) if match)


def confirmed_intents(setting: Setting) -> tuple[int, int]:
    """Intents of the configuration confirmed, and the distinct payments they were confirmed with."""
    ((confirmed, payments),) = setting.pg.execute(
        "SELECT count(*), count(DISTINCT transaction_id) FROM scb_payment_intent "
        "WHERE scb_api_config_id = %s AND status = 'confirmed' AND transaction_id <> ''", (setting.config_id,))
    return int(confirmed), int(payments)


def cpu_ticks() -> tuple[int, int]:
    """Busy and total clock ticks of all the machine's cores so far: every process's, not only this tool's."""
    with open("/proc/stat", encoding="ascii") as stat:
        # user nice system idle iowait irq softirq steal (guest time is counted in user already)
        ticks = [int(value) for value in stat.readline().split()[1:9]]
    return sum(ticks) - ticks[3] - ticks[4], sum(ticks)


def one_run(setting: Setting, intents: list[int], reconcilers: int) -> dict[str, Any]:
    back_to_pending(setting)
    log = setting.pg.root / "server.log"
    log_start = log.stat().st_size
    handshakes_before = setting.sandbox.tls_connections
    plan = {"config_id": setting.config_id, "start_at": time.time() + START_MARGIN_SECONDS}
    children = [
        start_child(__file__, ["--child", json.dumps(plan)],
                    setting.child_environ(PGAPPNAME=f"{APPLICATION_PREFIX}{index}"),
                    stderr=subprocess.DEVNULL)
        for index in range(reconcilers)
    ]
    # From the common start on, the parent does nothing but serve the bank: its CPU time is the sandbox's.
    time.sleep(max(0.0, plan["start_at"] - time.time()))
    busy, total = cpu_ticks()
    sandbox_cpu = time.process_time()
    reports = child_reports(children, CHILD_TIMEOUT)
    sandbox_cpu = time.process_time() - sandbox_cpu
    busy, total = (now - then for now, then in zip(cpu_ticks(), (busy, total)))
    checks = Counter(intent for report in reports for intent, _ in report["checked"])
    wall = max(report["ended"] for report in reports) - min(report["started"] for report in reports)
    sessions = sessions_opened(log, log_start)
    confirmed, payments = confirmed_intents(setting)
    return {
        "reconcilers": reconcilers, "intents": len(intents), "wall_seconds": round(wall, 3),
        "ms_per_intent": round(1000 * wall / len(intents), 3),
        "failed_runs": sum(1 for report in reports if report["code"] != 1000),
        "checked_per_reconciler": [len(report["checked"]) for report in reports],
        "sessions": sum(sessions.values()), "sessions_per_reconciler": [sessions[i] for i in range(reconcilers)],
        "token_requests": len(setting.sandbox.requests_to("token")),
        "inquiry_requests": len(setting.sandbox.requests_to("inquiry")),
        "tls_connections": setting.sandbox.tls_connections - handshakes_before,
        "reconciler_cpu_seconds": round(sum(report["cpu_seconds"] for report in reports), 2),
        "sandbox_cpu_seconds": round(sandbox_cpu, 2),
        "busy_cores": round((os.cpu_count() or 1) * busy / max(total, 1), 2),
        "checked_twice": sum(1 for count in checks.values() if count > 1),
        "not_checked": len(set(intents) - checks.keys()),
        "outcomes": dict(Counter(outcome for report in reports for _, outcome in report["checked"])),
        "confirmed": confirmed, "distinct_payments": payments,
    }


def with_speed_up(runs: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Each run's speed-up over the single reconciler of its round (None without one)."""
    single = next((run["wall_seconds"] for run in runs if run["reconcilers"] == 1), None)
    return [run | {"speed_up": None if single is None else round(single / run["wall_seconds"], 3)} for run in runs]


def measure(arguments: argparse.Namespace) -> dict[str, Any]:
    runs = []
    with bank_and_database() as setting:
        machine = machine_lines(setting.pg)
        calls_from_parent(setting)
        started = time.monotonic()
        intents = create_paid_intents(setting, arguments.intents)
        setup_seconds = time.monotonic() - started
        log_every_session(setting)
        for round_number in range(arguments.rounds):
            done = {count: one_run(setting, intents, count) for count in rotated(arguments.reconcilers, round_number)}
            in_order = with_speed_up([done[count] for count in arguments.reconcilers])
            runs += [run | {"round": round_number + 1} for run in in_order]
        connections_left = setting.pg.wait_for_client_connections(0)
    return {"machine": machine, "intents": arguments.intents, "rounds": arguments.rounds,
            "setup_seconds": round(setup_seconds, 1),
            "connections_left": connections_left, "runs": runs}


def failed_checks(figures: dict[str, Any]) -> list[str]:
    failures = []
    for run in figures["runs"]:
        name = f"round {run['round']}, {run['reconcilers']} reconciler(s)"
        if run["failed_runs"]:
            failures.append(f"{name}: {run['failed_runs']} run(s) answered an error")
        if run["checked_twice"] or run["not_checked"]:
            failures.append(f"{name}: {run['checked_twice']} intents checked twice, {run['not_checked']} not checked")
        if run["confirmed"] != run["intents"] or run["distinct_payments"] != run["intents"]:
            failures.append(f"{name}: {run['confirmed']} of {run['intents']} intents confirmed, "
                            f"with {run['distinct_payments']} distinct payments")
        if run["token_requests"] > 1:
            failures.append(f"{name}: {run['token_requests']} token requests")
    if figures["connections_left"]:
        failures.append(f"{figures['connections_left']} database connections left open")
    return failures


def summary_lines(runs: list[dict[str, Any]]) -> list[str]:
    lines = []
    for count in sorted({run["reconcilers"] for run in runs}):
        mine = [run for run in runs if run["reconcilers"] == count]
        walls = [run["wall_seconds"] for run in mine]
        speed_ups = [run["speed_up"] for run in mine if run["speed_up"] is not None]
        line = (f"  {count} reconciler(s): wall median {statistics.median(walls):.2f} s "
                f"(range {min(walls):.2f}-{max(walls):.2f}), "
                f"{1000 * statistics.median(walls) / mine[0]['intents']:.2f} ms per intent")
        if count != 1 and speed_ups:
            line += (f"; speed-up median {statistics.median(speed_ups):.2f} "
                     f"(range {min(speed_ups):.2f}-{max(speed_ups):.2f})")
        lines.append(line)
    return lines


def print_figures(figures: dict[str, Any]) -> None:
    print("\n".join(figures["machine"]))
    print(f"reconciliation of {figures['intents']} paid intents whose callbacks were dropped; "
          f"{figures['rounds']} round(s); set-up (invoice QRs and payments) {figures['setup_seconds']} s; "
          "each run starts with every intent pending and no cached token")
    print(f"CPU rec s = the reconcilers' CPU time in their runs, CPU bank s = the sandbox's; busy cores = of the "
          f"machine's {os.cpu_count()}, by every process on it (PostgreSQL's and other users' too)")
    header = (f"{'round':>5} {'reconcilers':>11} {'wall s':>7} {'ms/intent':>9} {'speed-up':>8} {'sessions':>8} "
              f"{'token req':>9} {'inquiries':>9} {'TLS conns':>9} {'CPU rec s':>9} {'CPU bank s':>10} "
              f"{'busy cores':>10} {'checked twice':>13} {'not checked':>11} {'confirmed':>9} "
              f"{'checked per reconciler':<24}")
    print(header)
    print("-" * len(header))
    for run in figures["runs"]:
        speed_up = "" if run["speed_up"] is None else f"{run['speed_up']:.2f}"
        print(f"{run['round']:>5} {run['reconcilers']:>11} {run['wall_seconds']:>7.2f} {run['ms_per_intent']:>9.2f} "
              f"{speed_up:>8} {run['sessions']:>8} {run['token_requests']:>9} {run['inquiry_requests']:>9} "
              f"{run['tls_connections']:>9} {run['reconciler_cpu_seconds']:>9.2f} {run['sandbox_cpu_seconds']:>10.2f} "
              f"{run['busy_cores']:>10.2f} "
              f"{run['checked_twice']:>13} {run['not_checked']:>11} {run['confirmed']:>9} "
              f"{' '.join(map(str, run['checked_per_reconciler'])):<24}")
    print("\n".join(["", *summary_lines(figures["runs"])]))
    print("\n".join(["", "failures:", *figures["failures"]] if figures["failures"] else ["", "no failures"]))


def main() -> int:
    parser = tool_parser(__doc__)
    parser.add_argument("--intents", type=int, default=1000, help="paid intents to reconcile (default 1000)")
    parser.add_argument("--reconcilers", type=int, nargs="+", default=[1, 4],
                        help="counts of reconcilers running at once (default 1 4)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of runs (default 3)")
    arguments = parser.parse_args()
    if ran_as_child(arguments, run_child):
        return 0
    if arguments.intents < 1 or min(arguments.reconcilers) < 1 or arguments.rounds < 1:
        parser.error("--intents, --reconcilers and --rounds must be at least 1")
    return reported(arguments, measure(arguments), failed_checks, print_figures)


if __name__ == "__main__":
    sys.exit(main())
