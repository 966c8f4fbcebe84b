"""The measurement tools in bench/: what they count and what they compare with.

The tools can be run by hand with their full defaults; here they run shorter, as a
child of the test, and their figures are checked. The pure-Python peer client must
send the extension's statements word for word, or the benchmark compares unlike work.
"""

import ast
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from halvenor_scb_lib import _binding

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
# The sanitizer runtime keeps freed memory in quarantine, so resident memory keeps
# growing there whatever the extension does; growth is judged on the regular build only.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_tool(script: str, *arguments: str) -> dict[str, Any]:
    done = subprocess.run([sys.executable, str(BENCH / script), "--json", *arguments], capture_output=True,
                          text=True, timeout=600, check=False)
    assert done.stdout, done.stderr[-3000:]
    figures: dict[str, Any] = json.loads(done.stdout.splitlines()[-1])
    return figures | {"exit_status": done.returncode}


@pytest.mark.slow
def test_mixed_calls_leave_memory_descriptors_and_connections_as_they_were() -> None:
    growth_limit = 1 << 30 if UNDER_SANITIZER else 2048
    figures = run_tool("soak.py", "--calls", "3000", "--warm-up", "1000", "--max-growth-kib", str(growth_limit))
    assert figures["unexpected"] == []
    assert sum(figures["expected_answers"].values()) == 3000
    assert len(figures["expected_answers"]) == 10  # every operation, success and failure, was exercised
    assert figures["descriptors_after"] == figures["descriptors_before"]
    assert figures["connections_left"] == 0
    if not UNDER_SANITIZER:
        assert figures["rss_growth_kib"] < 2048
    assert figures["exit_status"] == 0, figures["failures"]


@pytest.mark.slow
def test_processes_sharing_an_expiring_token_all_get_qr_codes_with_tokens_the_bank_issued() -> None:
    figures = run_tool("shared_token.py", "--processes", "4", "--calls", "50", "--token-seconds", "1")
    assert figures["answers"] == {"1000": 200}
    assert figures["foreign_tokens"] == [] and figures["final_token_issued"]
    assert figures["samples"] > 10
    # The token was renewed as it expired, but not fetched for every call.
    assert 2 <= figures["token_requests"] < 200
    assert figures["qr_requests"] == 200
    assert figures["connections_left"] == 0
    assert figures["exit_status"] == 0, figures["failures"]


@pytest.mark.slow
def test_single_flight_runs_count_one_token_request_per_crossing_and_time_the_calls_that_did_not_renew() -> None:
    figures = run_tool("shared_token.py", "--single-flight", "--processes", "3", "--calls", "6", "--rounds", "1")
    runs = {run["ending"]: run for run in figures["runs"]}
    assert sorted(runs) == ["expiry", "revocation", "usable"] and len(figures["runs"]) == 3
    assert [runs[ending]["token_requests"] for ending in ("usable", "expiry", "revocation")] == [0, 1, 1]
    assert all(run["calls"] == 18 and run["failed_calls"] == 0 for run in runs.values())
    assert all(run["stored_token_is_last_issued"] for run in runs.values())
    # The ending came while the children were calling: some calls renewed, and after a
    # revocation some met the rejected token and asked the bank once more, never twice.
    assert runs["usable"]["renewing_calls"] == 0 and runs["expiry"]["renewing_calls"] >= 1
    assert runs["expiry"]["retried_calls"] == 0 and runs["expiry"]["most_requests_for_one_call"] == 1
    assert runs["revocation"]["retried_calls"] >= 1 and runs["revocation"]["most_requests_for_one_call"] == 2
    (qr, inquiry) = figures["latency"]
    assert (qr["operation"], inquiry["operation"]) == ("qr", "inquiry")
    for row in (qr, inquiry):
        assert row["usable"]["calls"] == 9
        for ending in ("expiry", "revocation"):
            assert 0 < row[ending]["median_ms"] <= row[ending]["p99_ms"]
    renewed = sum(run["renewing_calls"] for run in runs.values())
    assert sum(row[ending]["calls"] for row in (qr, inquiry) for ending in ("usable", "expiry", "revocation")) \
        == 3 * 18 - renewed
    assert figures["connections_left"] == 0
    assert figures["exit_status"] == 0, figures["failures"]


@pytest.mark.slow
def test_reconcilers_at_once_check_each_paid_intent_once_with_one_session_each_and_one_token() -> None:
    figures = run_tool("reconcile.py", "--intents", "40", "--reconcilers", "1", "3", "--rounds", "1")
    alone, together = figures["runs"]
    assert (alone["reconcilers"], together["reconcilers"]) == (1, 3)
    for run in (alone, together):
        assert run["intents"] == 40 and run["failed_runs"] == 0
        assert run["checked_twice"] == 0 and run["not_checked"] == 0
        assert sum(run["checked_per_reconciler"]) == 40 and run["outcomes"] == {"confirmed": 40}
        assert run["confirmed"] == run["distinct_payments"] == 40
        assert run["sessions_per_reconciler"] == [1] * run["reconcilers"] and run["sessions"] == run["reconcilers"]
        assert run["token_requests"] == 1 and run["inquiry_requests"] == 40
        assert run["wall_seconds"] > 0 and run["ms_per_intent"] == pytest.approx(25 * run["wall_seconds"], abs=0.05)
    assert alone["speed_up"] == 1.0
    assert together["speed_up"] == pytest.approx(alone["wall_seconds"] / together["wall_seconds"], rel=0.05)
    assert figures["connections_left"] == 0
    assert figures["exit_status"] == 0, figures["failures"]


@pytest.mark.slow
def test_table_growth_times_each_operation_at_each_size_and_side_with_the_same_recent_work() -> None:
    figures = run_tool("table_growth.py", "--sizes", "100", "3000", "--calls", "4", "--runs", "2", "--pending", "2")
    rows = figures["rows"]
    assert [(row["size"], row["indexes"]) for row in rows] == [(100, False), (100, True), (3000, False), (3000, True)]
    for row in rows:
        assert row["invoice_qr"]["outcomes"] == ["stored"] and row["confirmation"]["outcomes"] == ["confirmed"]
        assert row["reconciliation"]["outcomes"] == ["confirmed x2"]
        assert (row["invoice_qr"]["calls"], row["confirmation"]["calls"], row["reconciliation"]["calls"]) == (4, 4, 2)
        for operation in ("invoice_qr", "confirmation", "reconciliation"):
            base = rows[1 if row["indexes"] else 0][operation]["median_ms"]
            assert 0 < row[operation]["median_ms"] <= row[operation]["p90_ms"]
            assert row[operation]["ratio"] == pytest.approx(row[operation]["median_ms"] / base, abs=0.01)
    assert figures["connections_left"] == 0 and figures["failures"] == []
    assert figures["exit_status"] == 0


@pytest.fixture(scope="module")
def floor_program(tmp_path_factory: pytest.TempPathFactory) -> Path:
    program = tmp_path_factory.mktemp("floor") / "floor"
    built = subprocess.run(["bash", str(BENCH / "build-floor.sh"), str(program)], capture_output=True, text=True,
                           timeout=300, check=False)
    assert built.returncode == 0, built.stderr[-3000:]
    return program


@pytest.mark.slow
@pytest.mark.parametrize("kept", [False, True], ids=["own-connections", "kept"])
def test_floor_opens_a_session_and_a_connection_per_call_or_keeps_one_of_each(erp, pg, floor_program, kept) -> None:
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    # The floor times calls with a cached token, as the module's benchmarked calls are.
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 1.0, "PRIME", "X")["status"]["code"] == 1000
    handshakes = erp.sandbox.tls_connections
    calls = [f"qr_by_bank {bank_id} FLR{n}" if n % 2 == 0 else f"inquiry {config_id} T{n} 2026-12-08" for n in range(6)]
    # The floor is not instrumented: a sanitizer runtime preloaded for the suite's interpreter
    # deadlocks it at exit, in a system library's destructor.
    environ = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    sessions = []
    with subprocess.Popen([str(floor_program), *(["--kept"] if kept else [])], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environ) as floor:
        assert floor.stdin is not None and floor.stdout is not None
        try:
            for call in calls:
                floor.stdin.write(call + "\n")
                floor.stdin.flush()
                answer = floor.stdout.readline()
                if not answer:
                    pytest.fail(f"the floor stopped: {floor.communicate(timeout=10)[1]}")
                wall, cpu, https_cpu, _ = map(int, answer.split())
                assert wall > 0 and 0 < https_cpu <= cpu
                sessions.append(pg.wait_for_client_connections(1 if kept else 0))
            _, errors = floor.communicate(timeout=10)
        finally:
            floor.kill()  # nothing to do once it has ended
    assert floor.returncode == 0, errors

    assert sessions == [1 if kept else 0] * len(calls)
    assert erp.sandbox.tls_connections - handshakes == (1 if kept else len(calls))
    assert [r.json()["ref1"] for r in erp.sandbox.requests_to("qr")][1:] == ["FLR0", "FLR2", "FLR4"]
    assert len(erp.sandbox.requests_to("inquiry")) == 3 and len(erp.sandbox.requests_to("token")) == 1


STATEMENT = re.compile(r'inline constexpr const char \*(\w+)\s*=\s*((?:"(?:[^"\\]|\\.)*"\s*)+);')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')


def header_statements(text: str) -> dict[str, str]:
    """The named string constants of a C++ header, adjacent literals joined as the compiler joins them."""
    statements = {}
    for name, literals in STATEMENT.findall(text):
        parts = LITERAL.findall(literals)
        # No statement needs an escape; one would have to be decoded here first.
        assert not any("\\" in part for part in parts), name
        statements[name] = "".join(parts)
    return statements


def python_client_statements() -> dict[str, str]:
    """The STATEMENTS table of bench/python_client.py, read without importing its HTTP and database clients."""
    tree = ast.parse((BENCH / "python_client.py").read_text(encoding="utf-8"))
    (table,) = [node.value for node in tree.body
                if isinstance(node, ast.Assign) and [getattr(t, "id", None) for t in node.targets] == ["STATEMENTS"]]
    statements: dict[str, str] = ast.literal_eval(table)
    return statements


def test_header_reader_joins_adjacent_literals_and_keeps_every_statement() -> None:
    text = ('inline constexpr const char *kOne = "SELECT 1";\n'
            'inline constexpr const char *kTwo =\n    "SELECT a; "\n    "FROM t WHERE x = \'$1\'";\n')
    assert header_statements(text) == {"kOne": "SELECT 1", "kTwo": "SELECT a; FROM t WHERE x = '$1'"}
    library = header_statements((ROOT / "src/lib/sql.hpp").read_text(encoding="utf-8"))
    assert {"kConfigByBank", "kTokenLookup", "kInquiryConfig", "kRenewalLock", "kClaimIntent"} <= library.keys()


def test_python_client_sends_the_library_statements_word_for_word() -> None:
    library = header_statements((ROOT / "src/lib/sql.hpp").read_text(encoding="utf-8"))
    client = python_client_statements()
    assert client, "the client names no statement"
    assert {name: library.get(name) for name in client} == client
