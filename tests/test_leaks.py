"""Allocation-level leak check of the C interface.

LeakSanitizer cannot judge the extension inside the interpreter, whose own
blocks left at exit share every call stack with the extension's. So the
library's sources are built with the address and undefined-behaviour
sanitizers into tests/leak_check.cpp, a program without Python that calls
every operation on its success and failure paths against the bank sandbox and
the throwaway database, releasing every result as scb.h says.
"""

import json
import os
import shlex
import shutil
import socket
import subprocess
from collections import defaultdict
from contextlib import closing
from pathlib import Path
from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import bank_token

ROOT = Path(__file__).resolve().parent.parent
REPEATS = 3
REJECTED_TOKEN = "token-the-bank-never-issued"
BILLER_ID = "123456789012345"
COMPILE_TIMEOUT = 600
RUN_TIMEOUT = 600

# What each path of the driver answers, every time it runs. "intent:" paths
# answer an invoice QR document whose id varies.
EXPECTED = {
    "uuid": "len:36",
    "hmac": "len:64",
    "hmac.no_key": "null",
    "envelope": "code:9001",
    "envelope.no_description": "code:9002",
    "envelope.broken_utf8": "code:9103",
    "log.info": "int:1",
    "log.error": "int:1",
    "log.debug": "int:1",
    "strdup": "len:6",
    "strdup.null": "null",
    "malloc": "int:1",
    "placeholder.qr": "len:175",
    "placeholder.payment": "len:41",
    "http.post": "status:200",
    "http.post.closed": "null",
    "http.post.bad_header": "null",
    "http.get_params": "status:401",
    "http.get_params.closed": "null",
    "http.get_params.too_long": "null",
    "http.get": "status:405",
    "http.get.closed": "null",
    "http.post.client_certificate": "status:200",
    "http.post.client_key_unreadable": "null",
    "token": "code:1000",
    "token.refused": "code:9302",
    "token.closed": "code:9101",
    "token_by_config": "code:1000",
    "token_by_config.unknown": "code:9002",
    "token_by_config.db_down": "code:9002",
    "token_by_config.db_unset": "code:9001",
    "qr_full": "code:1000",
    "qr_full.rejected_token": "code:9300",
    "qr_full.closed": "code:9102",
    "qr_full.invalid": "code:1102",
    "qr_by_bank.token_fetched": "code:1000",
    "qr_by_bank.token_cached": "code:1000",
    "qr_by_bank.token_renewed": "code:1000",
    "qr_by_bank.credentials_refused": "code:9301",
    "qr_by_bank.unknown_account": "code:9003",
    "qr_by_bank.db_down": "code:9002",
    "qr_by_bank.db_unset": "code:9001",
    "db_connect.closed": "int:0",
    "db_connect": "int:1",
    "config_by_bank": "len:",
    "config_by_bank.unknown": "null",
    "config_by_bank.not_a_number": "null",
    "config_by_bank.no_connection": "null",
    "config": "null",
    "config.no_connection": "null",
    "intent_upsert.insert": "int:1",
    "intent_upsert.update": "int:1",
    "intent_upsert.not_finite": "int:-1",
    "intent_upsert.statement_fails": "int:-1",
    "intent_upsert.no_connection": "int:-1",
    "intent_get": "intent:",
    "intent_get.none": "null",
    "intent_get.no_connection": "null",
    "intent_confirm": "int:0",
    "intent_confirm.no_connection": "int:-1",
    "invoice_qr.new": "intent:",
    "invoice_qr.reused": "intent:",
    "invoice_qr.unknown_account": "code:9003",
    "invoice_qr.credentials_refused": "code:9302",
    "invoice_qr.no_connection": "code:9002",
    "invoice_qr.ref3": "intent:",
    "invoice_qr.ref3.no_connection": "code:9002",
    "inquiry.transaction": "code:1000",
    "inquiry.reference": "code:1000",
    "inquiry.production": "code:1000",
    "inquiry.missing_parameters": "code:9004",
    "inquiry.token_renewed": "code:1000",
    "inquiry.unknown_config": "code:9003",
    "inquiry.db_down": "code:9002",
    "confirm.not_a_record": "code:9004",
    "confirm.paid": "outcome:",
    "confirm.not_verified": "outcome:not_verified",
    "confirm.unmatched": "outcome:unmatched",
    "reconcile": "code:1000",
    "reconcile.unknown_config": "code:9003",
    "reconcile.paced": "code:1000",
    "reconcile.negative_rate": "code:9004",
    "confirm.db_down": "code:9002",
    "reconcile.db_down": "code:9002",
    "check_database": "code:1000",
    "check_database.db_down": "code:9002",
    "listener.open": "int:1",
    "listener.next": "int:1",
    "listener.heard": "outcome:unmatched",
    "listener.next.timeout": "int:0",
    "listener.open.db_down": "int:0",
    "cancel.pending": "code:1000",
    "cancel.none": "code:1000",
    "cancel.db_down": "code:9002",
}
# Outcomes that end in a varying number are compared by their prefix.
PREFIX_ONLY = {path for path, outcome in EXPECTED.items() if outcome.endswith(":")}


def closed_port() -> int:
    with closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def without_preload() -> dict[str, str]:
    """The test's environment without the sanitizer runtime the suite itself may run under."""
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def build_driver(directory: Path) -> Path:
    for tool in ("g++", "pkg-config"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed: the leak check needs it to build the sanitized driver")
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libcurl", "libpq", "libcrypto", "libcjson"],
        env=without_preload(), capture_output=True, text=True, check=True,
    ).stdout.split()
    sources = [ROOT / "tests" / "leak_check.cpp", *sorted((ROOT / "src" / "lib").glob("*.cpp")),
               *sorted((ROOT / "src" / "util").glob("*.cpp"))]
    program = directory / "leak_check"
    command = ["g++", "-std=c++17", "-g", "-O1", "-fsanitize=address,undefined", "-fno-omit-frame-pointer",
               "-Iinclude", "-Isrc/lib", "-Isrc/util", *map(str, sources), "-o", str(program), *flags]
    built = subprocess.run(command, cwd=ROOT, env=without_preload(), capture_output=True, text=True,
                           timeout=COMPILE_TIMEOUT, check=False)
    assert built.returncode == 0, f"{shlex.join(command)}\n{built.stderr}"
    return program


def sanitizer_environment(*overlays: dict[str, str]) -> dict[str, str]:
    """The driver's environment: nothing preloaded, leak detection on."""
    environment = without_preload()
    for overlay in overlays:
        environment.update(overlay)
    environment["ASAN_OPTIONS"] = "detect_leaks=1"
    environment["UBSAN_OPTIONS"] = "print_stacktrace=1"
    return environment


def outcomes_by_path(stdout: str) -> dict[str, list[str]]:
    found: dict[str, list[str]] = defaultdict(list)
    for line in stdout.splitlines():
        path, outcome = line.split(" ", 1)
        found[path].append(outcome)
    return dict(found)


def token_requests(sandbox: Any, api_key: str) -> int:
    posts = [request for request in sandbox.requests_to("token") if request.method == "POST"]
    return sum(1 for request in posts if request.json().get("applicationKey") == api_key)


def requests_with(sandbox: Any, endpoint: str, header: str, value: str) -> int:
    return sum(1 for request in sandbox.requests_to(endpoint) if request.header(header) == value)


def paid_invoice(sandbox: Any, config_id: int, bank_account_id: int) -> dict[str, str]:
    """The bank's record of a paid invoice QR, made and paid before the driver runs."""
    invoice = scb.invoice_qr(700, 1, config_id, "INV700", "30.00", bank_account_id)
    paid: dict[str, str] = sandbox.pay(invoice["qr_payload"])
    return paid


@pytest.mark.slow
@pytest.mark.parametrize("reuse", ["0", "1"], ids=["own-connections", "kept-connections"])
def test_no_operation_leaks_on_any_path(tmp_path, pg, erp, scb_sandbox, reuse):
    program = build_driver(tmp_path)
    fresh = [erp.add_config(api_key=f"FRESH{i}", api_secret=f"S{i}") for i in range(REPEATS)]
    stale = [erp.add_config(api_key=f"STALE{i}", api_secret=f"S{i}", access_token=REJECTED_TOKEN,
                            expires_in_seconds=3600) for i in range(REPEATS)]
    stale_inquiry = [erp.add_config(api_key=f"STALEINQ{i}", api_secret=f"S{i}", access_token=REJECTED_TOKEN,
                                    expires_in_seconds=3600) for i in range(REPEATS)]
    refused = erp.add_config(api_key="REFUSED", api_secret="SECRET-IN-ERP")
    scb_sandbox.register_application("REFUSED", "SECRET-AT-BANK")
    invoice_config = erp.add_config(api_key="INVOICE", api_secret="S")
    invoice_account = erp.add_bank_account(invoice_config, BILLER_ID)
    scb_sandbox.register_application("KEY1", "SECRET1")
    arguments = {
        "repeats": REPEATS,
        "api_key": "KEY1",
        "api_secret": "SECRET1",
        "token": bank_token(scb_sandbox),
        "biller_id": BILLER_ID,
        "closed_port": closed_port(),
        "fresh_accounts": ",".join(str(erp.add_bank_account(config, BILLER_ID)) for config in fresh),
        "stale_accounts": ",".join(str(erp.add_bank_account(config, BILLER_ID)) for config in stale),
        "refused_account": erp.add_bank_account(refused, BILLER_ID),
        "invoice_account": invoice_account,
        "invoice_config": invoice_config,
        "inquiry_config": erp.add_config(api_key="INQUIRY", api_secret="S"),
        "production_config": erp.add_config(api_key="PRODUCTION", api_secret="S", environment="production"),
        "stale_configs": ",".join(map(str, stale_inquiry)),
        "transaction_id": "SBX0000000001",
        "paid_record": json.dumps(paid_invoice(scb_sandbox, invoice_config, invoice_account)),
        "client_cert": scb_sandbox.client_cert_file,
        "client_key": scb_sandbox.client_key_file,
    }
    run = subprocess.run(
        [str(program), *(f"{name}={value}" for name, value in arguments.items())],
        env=sanitizer_environment(pg.environ(), scb_sandbox.environ(), {"SCB_REUSE_CONNECTIONS": reuse}),
        capture_output=True, text=True, errors="replace", timeout=RUN_TIMEOUT, check=False,
    )
    report = run.stderr[-20000:]
    assert "LeakSanitizer" not in run.stderr, report
    assert "ERROR: AddressSanitizer" not in run.stderr, report
    assert "runtime error" not in run.stderr, report
    assert run.returncode == 0, report

    outcomes = outcomes_by_path(run.stdout)
    assert sorted(outcomes) == sorted(EXPECTED)
    unexpected = {
        path: outcomes[path] for path, expected in EXPECTED.items()
        if len(outcomes[path]) != REPEATS or not all(
            outcome.startswith(expected) if path in PREFIX_ONLY else outcome == expected
            for outcome in outcomes[path])
    }
    assert unexpected == {}
    assert outcomes["invoice_qr.reused"] == outcomes["invoice_qr.new"]
    assert outcomes["confirm.paid"] == ["outcome:confirmed"] + ["outcome:already_confirmed"] * (REPEATS - 1)
    assert len(set(outcomes["invoice_qr.new"])) == REPEATS

    # Fetched once and cached after; a rejected token renewed once per configuration.
    for i in range(REPEATS):
        assert token_requests(scb_sandbox, f"FRESH{i}") == 1
        assert token_requests(scb_sandbox, f"STALE{i}") == 1
        assert token_requests(scb_sandbox, f"STALEINQ{i}") == 1
        assert erp.token_row(stale[i])[0] not in (None, REJECTED_TOKEN)
    assert requests_with(scb_sandbox, "qr", "Authorization", f"Bearer {REJECTED_TOKEN}") == REPEATS
    assert requests_with(scb_sandbox, "inquiry", "Authorization", f"Bearer {REJECTED_TOKEN}") == REPEATS
    # A reused invoice QR comes from the database, not from the bank (one more made the paid record).
    assert requests_with(scb_sandbox, "qr", "resourceOwnerId", "INVOICE") == 2 * REPEATS + 1
    # Production configurations send the inquiry as a POST.
    assert sum(1 for request in scb_sandbox.requests_to("inquiry") if request.method == "POST") == REPEATS
