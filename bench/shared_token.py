"""Several processes sharing one configuration's cached token while it keeps expiring.

    python3 bench/shared_token.py [--processes P] [--calls N] [--token-seconds S] [--json]

The parent runs the bank sandbox and a throwaway PostgreSQL; P child processes each
make N calls of QR creation for the same bank account. The bank states a lifetime
that leaves the token S seconds of use before the token cache's reuse margin, so the
token must be renewed every S seconds while the processes race for it. Meanwhile the
parent reads the stored token over and over and checks that it is always one the
bank issued. Reports the calls that got a QR and the count of token requests; exit
status 1 when a call got no QR, a stored token was never issued by the bank, or a
connection was left open.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import bank_and_database, ran_as_child, start_child, tool_parser

REUSE_MARGIN_SECONDS = 300  # the token cache renews a token with this much or less left
SAMPLE_INTERVAL = 0.01
CHILD_TIMEOUT = 600


def run_child(plan: dict[str, Any]) -> dict[str, Any]:
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


def run_parent(arguments: argparse.Namespace) -> dict[str, Any]:
    with bank_and_database(token_lifetime=REUSE_MARGIN_SECONDS + arguments.token_seconds) as setting:
        plan = {"bank_account_id": str(setting.bank_account_id), "calls": arguments.calls,
                "interval": arguments.interval}
        started = time.monotonic()
        children = [
            start_child(__file__, ["--child", json.dumps(plan | {"child": index})], setting.child_environ())
            for index in range(arguments.processes)
        ]
        watched = watch_stored_token(setting, children)
        elapsed = time.monotonic() - started
        answers: dict[str, int] = {}
        unexpected: list[str] = []
        for child in children:
            output, _ = child.communicate(timeout=CHILD_TIMEOUT)
            if child.returncode != 0:
                raise RuntimeError(f"child ended with status {child.returncode}")
            reported = json.loads(output)
            for code, count in reported["answers"].items():
                answers[code] = answers.get(code, 0) + count
            unexpected += reported["unexpected"]
        final_token = setting.stored_token()
        issued = setting.sandbox.issued_tokens
        return watched | {
            "processes": arguments.processes, "calls_per_process": arguments.calls,
            "token_seconds": arguments.token_seconds, "elapsed_seconds": round(elapsed, 2),
            "answers": answers, "unexpected": unexpected,
            "token_requests": len(setting.sandbox.requests_to("token")),
            "qr_requests": len(setting.sandbox.requests_to("qr")),
            "tokens_issued": len(issued), "final_token_issued": final_token in issued,
            "connections_left": setting.pg.wait_for_client_connections(0),
        }


def failed_checks(figures: dict[str, Any]) -> list[str]:
    calls = figures["processes"] * figures["calls_per_process"]
    failures = []
    if figures["answers"].get("1000", 0) != calls:
        failures.append(f"{calls - figures['answers'].get('1000', 0)} calls got no QR: {figures['unexpected']}")
    if figures["foreign_tokens"] or not figures["final_token_issued"]:
        failures.append(f"stored tokens the bank never issued: {figures['foreign_tokens']}")
    if figures["connections_left"]:
        failures.append(f"{figures['connections_left']} database connections left open")
    return failures


def main() -> int:
    parser = tool_parser(__doc__)
    parser.add_argument("--processes", type=int, default=4)
    parser.add_argument("--calls", type=int, default=50, help="calls per process")
    parser.add_argument("--token-seconds", type=int, default=2, help="seconds a token is reused before renewal")
    parser.add_argument("--interval", type=float, default=0.05, help="pause between a process's calls, seconds")
    arguments = parser.parse_args()
    if ran_as_child(arguments, run_child):
        return 0
    figures = run_parent(arguments)
    figures["failures"] = failed_checks(figures)
    if arguments.json:
        print(json.dumps(figures))
    else:
        for name, value in figures.items():
            print(f"{name}: {value}")
    return 1 if figures["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
