"""Several processes sharing one configuration's cached token while it expires or is revoked.

    python3 bench/shared_token.py [--processes P] [--calls N] [--token-seconds S] [--json]
    python3 bench/shared_token.py --single-flight [--processes P ...] [--calls N] [--rounds R] [--json]

Both modes run the bank sandbox and a throwaway PostgreSQL in the parent and make the
extension's calls from P child processes, all for one configuration.

Churn (the default): each child makes N calls of QR creation for the same bank account.
The bank states a lifetime that leaves the token S seconds of use before the token
cache's reuse margin, so the token must be renewed every S seconds while the processes
race for it. Meanwhile the parent reads the stored token over and over and checks that
it is always one the bank issued. Reports the calls that got a QR and the count of token
requests; exit status 1 when a call got no QR, a stored token was never issued by the
bank, or a connection was left open.

Single flight: for each count of processes (default 8 and 16), in each of R rounds,
three runs in which every child makes N calls, QR by bank account and the payment
inquiry by turns: "usable", the cached token usable throughout; "expiry", the token
crosses its renewal point half-way (once the bank has seen half the calls, the parent
moves its stored expiry to 299 seconds from now, where time would bring it); and
"revocation", the bank revokes the token half-way. Reports per run the token requests
the bank saw, the failed calls and the calls that met the revoked token, and per
count and operation the median and p99 latency of the calls that did not renew next
to the same calls in the usable runs. A call renewed when it did not log "Using cached
access token" or sent the bank more than one request. Exit status 1 when an expiry or
revocation run saw other than one token request, a usable run any, a call failed, or a
call met the revoked token twice.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
import urllib.parse
from collections import Counter
from pathlib import Path
from typing import Any

from halvenor_scb_lib.sandbox import RecordedRequest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (Setting, bank_and_database, calls_from_parent, child_reports, machine_lines, ran_as_child, rotated,
                     start_child, tool_parser)

REUSE_MARGIN_SECONDS = 300  # the token cache renews a token with this much or less left
SAMPLE_INTERVAL = 0.01
CHILD_TIMEOUT = 600

# Single flight.
ENDINGS = ("usable", "expiry", "revocation")
OPERATIONS = ("qr", "inquiry")
FAST_PATH_LINE = "Using cached access token"
USABLE_SECONDS = 1800
# Where a crossing token stands: past the renewal point, as time would bring it.
CROSSED_SECONDS = REUSE_MARGIN_SECONDS - 1
# Time for the children to start (imports, connections) before their common first call.
START_MARGIN_SECONDS = 1.0
START_MARGIN_PER_PROCESS = 0.25
# The sandbox's token endpoint answers at once; a real bank takes a round trip or more,
# during which the other callers find the token stale. Same default as the tests.
TOKEN_LATENCY_SECONDS = 0.3


def run_child(plan: dict[str, Any]) -> dict[str, Any]:
    return timed_calls(plan) if plan.get("single_flight") else churning_calls(plan)


# ---- churn ------------------------------------------------------------------------------

def churning_calls(plan: dict[str, Any]) -> dict[str, Any]:
    from halvenor_scb_lib import _binding

    answers: dict[str, int] = {}
    unexpected: list[str] = []
    for number in range(plan["calls"]):
        answer = _binding.scb_api_create_qr_by_bank(plan["bank_account_id"], 42.0, f"P{plan['child']}N{number}",
                                                    "SHARED")
        code = str(answer.get("status", {}).get("code"))
        answers[code] = answers.get(code, 0) + 1
        if code != "1000" and len(unexpected) < 5:
            unexpected.append(json.dumps(answer)[:300])
        time.sleep(plan["interval"])
    return {"answers": answers, "unexpected": unexpected}


def watch_stored_token(setting: Any, children: list[Any]) -> dict[str, Any]:
    """Samples the stored token until every child has ended; each must be one the bank issued."""
    samples = 0
    seen: set[str] = set()
    foreign: list[str] = []
    while any(child.poll() is None for child in children):
        token = setting.stored_token()
        # The bank issues a token before the extension can store it, so a snapshot taken
        # after the read must hold it.
        issued = set(setting.sandbox.issued_tokens)
        samples += 1
        if token is not None:
            seen.add(token)
            if token not in issued:
                foreign.append(token)
        time.sleep(SAMPLE_INTERVAL)
    return {"samples": samples, "distinct_stored_tokens": len(seen), "foreign_tokens": foreign}


def run_churn(arguments: argparse.Namespace) -> dict[str, Any]:
    (processes,) = arguments.processes
    with bank_and_database(token_lifetime=REUSE_MARGIN_SECONDS + arguments.token_seconds) as setting:
        plan = {"bank_account_id": str(setting.bank_account_id), "calls": arguments.calls,
                "interval": arguments.interval}
        started = time.monotonic()
        children = [
            start_child(__file__, ["--child", json.dumps(plan | {"child": index})], setting.child_environ())
            for index in range(processes)
        ]
        watched = watch_stored_token(setting, children)
        elapsed = time.monotonic() - started
        answers: dict[str, int] = {}
        unexpected: list[str] = []
        for reported in child_reports(children, CHILD_TIMEOUT):
            for code, count in reported["answers"].items():
                answers[code] = answers.get(code, 0) + count
            unexpected += reported["unexpected"]
        final_token = setting.stored_token()
        issued = setting.sandbox.issued_tokens
        return watched | {
            "processes": processes, "calls_per_process": arguments.calls,
            "token_seconds": arguments.token_seconds, "elapsed_seconds": round(elapsed, 2),
            "answers": answers, "unexpected": unexpected,
            "token_requests": len(setting.sandbox.requests_to("token")),
            "qr_requests": len(setting.sandbox.requests_to("qr")),
            "tokens_issued": len(issued), "final_token_issued": final_token in issued,
            "connections_left": setting.pg.wait_for_client_connections(0),
        }


def churn_failures(figures: dict[str, Any]) -> list[str]:
    calls = figures["processes"] * figures["calls_per_process"]
    failures = []
    if figures["answers"].get("1000", 0) != calls:
        failures.append(f"{calls - figures['answers'].get('1000', 0)} calls got no QR: {figures['unexpected']}")
    if figures["foreign_tokens"] or not figures["final_token_issued"]:
        failures.append(f"stored tokens the bank never issued: {figures['foreign_tokens']}")
    if figures["connections_left"]:
        failures.append(f"{figures['connections_left']} database connections left open")
    return failures


def print_churn(figures: dict[str, Any]) -> None:
    for name, value in figures.items():
        print(f"{name}: {value}")


# ---- single flight: the children ----------------------------------------------------------

def catch_log_lines() -> list[str]:
    """The extension's log lines, from now on, appended to the list returned (and nowhere else)."""
    import logging

    import halvenor_scb_lib

    lines: list[str] = []

    class Catcher(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            lines.append(record.getMessage())

    logger = logging.getLogger("halvenor_scb_lib")
    logger.setLevel(logging.INFO)
    logger.addHandler(Catcher())
    logger.propagate = False
    halvenor_scb_lib.use_python_logging()
    return lines


def timed_calls(plan: dict[str, Any]) -> dict[str, Any]:
    """From the common start, the plan's calls by turns: each one's tag, time, code and fast path taken or not."""
    from halvenor_scb_lib import _binding

    lines = catch_log_lines()
    send = {
        "qr": lambda tag: _binding.scb_api_create_qr_by_bank(plan["bank_account_id"], 42.0, tag, "SINGLE"),
        "inquiry": lambda tag: _binding.scb_api_payment_inquiry(plan["config_id"], transaction_ref=tag),
    }
    time.sleep(max(0.0, plan["start_at"] - time.time()))
    late = time.time() - plan["start_at"]
    calls = []
    for number in range(plan["calls"]):
        operation = OPERATIONS[number % len(OPERATIONS)]
        tag = f"P{plan['child']}N{number}"
        lines.clear()
        started = time.perf_counter_ns()
        answer = send[operation](tag)
        wall_ns = time.perf_counter_ns() - started
        calls.append({"operation": operation, "tag": tag, "wall_ns": wall_ns,
                      "code": answer.get("status", {}).get("code"),
                      "fast_path": any(FAST_PATH_LINE in line for line in lines)})
        time.sleep(plan["interval"])
    return {"late_seconds": round(late, 3), "calls": calls}


# ---- single flight: the parent ------------------------------------------------------------

def request_tag(request: RecordedRequest) -> tuple[str, str] | None:
    """The call a bank request belongs to: its endpoint and the child's tag (QR ref1, inquiry transaction)."""
    if request.endpoint == "qr":
        return "qr", str(request.json().get("ref1"))
    if request.endpoint == "inquiry":
        (tag,) = urllib.parse.parse_qs(request.query).get("partnerTransactionId", [""])
        return "inquiry", tag
    return None


class SharedToken:
    """The configuration's cached token, put where each run starts and moved where it ends."""

    def __init__(self, setting: Setting) -> None:
        import halvenor_scb_lib

        calls_from_parent(setting)
        self._setting = setting
        self._refresh = halvenor_scb_lib.refresh_token

    def fresh(self) -> str:
        """A token newly issued by the bank, cached with USABLE_SECONDS left."""
        answer = self._refresh(self._setting.config_id)
        if answer["data"] is None:
            raise RuntimeError(f"the bank issued no token: {answer}")
        token = answer["data"]["accessToken"]
        self._store_expiry(USABLE_SECONDS, token)
        return token

    def end(self, ending: str, token: str) -> None:
        if ending == "expiry":
            self._store_expiry(CROSSED_SECONDS, token)
        elif ending == "revocation":
            self._setting.sandbox.revoke_token(token)

    def _store_expiry(self, seconds_left: float, token: str) -> None:
        self._setting.pg.execute(
            "UPDATE scb_api_config SET access_token = %s,"
            " token_expires_at = (now() AT TIME ZONE 'UTC') + %s * interval '1 second' WHERE id = %s",
            (token, seconds_left, self._setting.config_id),
        )


def bank_calls_seen(setting: Setting) -> int:
    return sum(1 for request in list(setting.sandbox.requests) if request.endpoint in OPERATIONS)


def end_half_way(setting: Setting, shared: SharedToken, ending: str, token: str, calls: int,
                 children: list[Any]) -> None:
    """Once the bank has seen half the run's calls, the token's ending (while any child still calls)."""
    while bank_calls_seen(setting) < calls // 2 and any(child.poll() is None for child in children):
        time.sleep(SAMPLE_INTERVAL / 2)
    shared.end(ending, token)


def one_run(setting: Setting, shared: SharedToken, arguments: argparse.Namespace, processes: int,
            ending: str) -> dict[str, Any]:
    token = shared.fresh()
    setting.sandbox.requests.clear()
    plan = {"single_flight": True, "bank_account_id": str(setting.bank_account_id),
            "config_id": str(setting.config_id), "calls": arguments.calls, "interval": arguments.interval,
            "start_at": time.time() + START_MARGIN_SECONDS + START_MARGIN_PER_PROCESS * processes}
    children = [start_child(__file__, ["--child", json.dumps(plan | {"child": index})], setting.child_environ())
                for index in range(processes)]
    end_half_way(setting, shared, ending, token, processes * arguments.calls, children)
    reports = child_reports(children, CHILD_TIMEOUT)
    requests = list(setting.sandbox.requests)
    requests_per_call = Counter(tag for tag in map(request_tag, requests) if tag is not None)
    calls = [call | {"renewed": not call["fast_path"] or requests_per_call[(call["operation"], call["tag"])] > 1}
             for report in reports for call in report["calls"]]
    return {
        "processes": processes, "ending": ending,
        "token_requests": sum(1 for request in requests if request.endpoint == "token"),
        "failed_calls": sum(1 for call in calls if call["code"] != 1000),
        "calls": len(calls),
        "renewing_calls": sum(1 for call in calls if call["renewed"]),
        # A call that met a rejected token asked the bank again.
        "retried_calls": sum(1 for count in requests_per_call.values() if count > 1),
        "most_requests_for_one_call": max(requests_per_call.values(), default=0),
        "stored_token_is_last_issued": setting.stored_token() == setting.sandbox.issued_tokens[-1],
        "latest_start_seconds": max(report["late_seconds"] for report in reports),
        "walls_ms": {operation: [call["wall_ns"] / 1e6 for call in calls
                                 if call["operation"] == operation and not call["renewed"] and call["code"] == 1000]
                     for operation in OPERATIONS},
    }


def p99(values: list[float]) -> float:
    return statistics.quantiles(values, n=100, method="inclusive")[98]


def latency_summary(runs: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Per count of processes and operation: median and p99 of the non-renewing calls, pooled over the rounds,
    and each round's p99, whose spread over the usable runs is the noise the others are judged against."""
    rows = []
    for processes in sorted({run["processes"] for run in runs}):
        for operation in OPERATIONS:
            row: dict[str, Any] = {"processes": processes, "operation": operation}
            for ending in ENDINGS:
                per_run = [run["walls_ms"][operation] for run in runs
                           if (run["processes"], run["ending"]) == (processes, ending)]
                walls = [wall for run_walls in per_run for wall in run_walls]
                row[ending] = {"calls": len(walls), "median_ms": round(statistics.median(walls), 2),
                               "p99_ms": round(p99(walls), 2),
                               "p99_per_round_ms": [round(p99(run_walls), 2) for run_walls in per_run]}
            rows.append(row)
    return rows


def run_single_flight(arguments: argparse.Namespace) -> dict[str, Any]:
    runs = []
    with bank_and_database() as setting:
        machine = machine_lines(setting.pg)
        setting.sandbox.fault("token", latency=arguments.token_latency)
        shared = SharedToken(setting)
        # Unrecorded: the first run of a fresh server and sandbox is slower whatever its ending.
        one_run(setting, shared, arguments, max(arguments.processes), "usable")
        for round_number in range(arguments.rounds):
            for processes in arguments.processes:
                for ending in rotated(ENDINGS, round_number):
                    runs.append(one_run(setting, shared, arguments, processes, ending))
        connections_left = setting.pg.wait_for_client_connections(0)
    return {"machine": machine, "calls_per_process": arguments.calls, "rounds": arguments.rounds,
            "interval": arguments.interval,
            "token_latency": arguments.token_latency, "connections_left": connections_left,
            "latency": latency_summary(runs), "runs": [without_walls(run) for run in runs]}


def without_walls(run: dict[str, Any]) -> dict[str, Any]:
    return {name: value for name, value in run.items() if name != "walls_ms"}


def single_flight_failures(figures: dict[str, Any]) -> list[str]:
    failures = []
    for run in figures["runs"]:
        name = f"{run['processes']} processes, {run['ending']}"
        expected = 0 if run["ending"] == "usable" else 1
        if run["token_requests"] != expected:
            failures.append(f"{name}: {run['token_requests']} token requests, expected {expected}")
        if run["failed_calls"]:
            failures.append(f"{name}: {run['failed_calls']} failed calls")
        if run["most_requests_for_one_call"] > (2 if run["ending"] == "revocation" else 1):
            failures.append(f"{name}: a call sent the bank {run['most_requests_for_one_call']} requests")
        if not run["stored_token_is_last_issued"]:
            failures.append(f"{name}: the stored token is not the last one the bank issued")
    if figures["connections_left"]:
        failures.append(f"{figures['connections_left']} database connections left open")
    return failures


def print_single_flight(figures: dict[str, Any]) -> None:
    print("\n".join(figures["machine"]))
    print(f"single-flight token renewal: {figures['calls_per_process']} calls per process (QR by bank account and "
          f"inquiry by turns, {figures['interval']} s apart), {figures['rounds']} round(s); token endpoint "
          f"latency {figures['token_latency']} s; the ending comes once the bank has seen half the calls")
    header = (f"{'processes':>9} {'ending':<11} {'token requests':>14} {'failed':>6} {'renewing':>8} "
              f"{'retried':>7} {'calls':>6} {'latest start s':>14}")
    print(header)
    print("-" * len(header))
    for run in figures["runs"]:
        print(f"{run['processes']:>9} {run['ending']:<11} {run['token_requests']:>14} {run['failed_calls']:>6} "
              f"{run['renewing_calls']:>8} {run['retried_calls']:>7} {run['calls']:>6} "
              f"{run['latest_start_seconds']:>14.2f}")
    print("\nwall ms of the calls that did not renew, pooled over the rounds (n = calls); "
          "ratio = p99 / the usable runs' p99;")
    print("p99 per round: lowest-highest of the rounds' own p99s (the usable runs' spread is the noise)")
    header = (f"{'processes':>9} {'operation':<9} " + " ".join(f"{ending + ' n/med/p99':>24}" for ending in ENDINGS)
              + f" {'expiry ratio':>12} {'revoc. ratio':>12} "
              + " ".join(f"{ending + ' p99 per round':>25}" for ending in ENDINGS))
    print(header)
    print("-" * len(header))
    for row in figures["latency"]:
        cells = " ".join(f"{row[e]['calls']:>8} {row[e]['median_ms']:>7.2f} {row[e]['p99_ms']:>7.2f}" for e in ENDINGS)
        ratios = [row[ending]["p99_ms"] / row["usable"]["p99_ms"] for ending in ENDINGS[1:]]
        spreads = " ".join(f"{min(row[e]['p99_per_round_ms']):>12.2f}-{max(row[e]['p99_per_round_ms']):<12.2f}"
                           for e in ENDINGS)
        print(f"{row['processes']:>9} {row['operation']:<9} {cells} {ratios[0]:>12.3f} {ratios[1]:>12.3f} {spreads}")
    print("\n".join(["", "failures:", *figures["failures"]] if figures["failures"] else ["", "no failures"]))


def main() -> int:
    parser = tool_parser(__doc__)
    parser.add_argument("--single-flight", action="store_true",
                        help="measure single-flight renewal at expiry and after revocation")
    parser.add_argument("--processes", type=int, nargs="+",
                        help="processes (default 4); with --single-flight one or more counts (default 8 16)")
    parser.add_argument("--calls", type=int, help="calls per process (default 50; with --single-flight 40)")
    parser.add_argument("--token-seconds", type=int, default=2, help="seconds a token is reused before renewal")
    parser.add_argument("--interval", type=float, help="pause between a process's calls, seconds "
                                                       "(default 0.05; with --single-flight 0.1)")
    parser.add_argument("--rounds", type=int, default=3, help="with --single-flight: rounds of runs (default 3)")
    parser.add_argument("--token-latency", type=float, default=TOKEN_LATENCY_SECONDS,
                        help=f"with --single-flight: seconds the token endpoint takes "
                             f"(default {TOKEN_LATENCY_SECONDS})")
    arguments = parser.parse_args()
    if ran_as_child(arguments, run_child):
        return 0
    single = arguments.single_flight
    arguments.processes = arguments.processes or ([8, 16] if single else [4])
    arguments.calls = arguments.calls or (40 if single else 50)
    arguments.interval = arguments.interval if arguments.interval is not None else (0.1 if single else 0.05)
    if not single and len(arguments.processes) != 1:
        parser.error("--processes takes one count without --single-flight")
    if single and arguments.calls < 4:
        parser.error("--single-flight needs at least 4 calls per process")
    figures = run_single_flight(arguments) if single else run_churn(arguments)
    figures["failures"] = single_flight_failures(figures) if single else churn_failures(figures)
    if arguments.json:
        print(json.dumps(figures))
    else:
        (print_single_flight if single else print_churn)(figures)
    return 1 if figures["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
