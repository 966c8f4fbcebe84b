"""Faults of the bank and of the database, injected through the sandbox and the test cluster.

Every operation must end in its documented answer or exception, never crash, and never
leave a database connection open. A case names the operation and the endpoint whose
request meets the fault: operations that fetch a token first meet it at the token
endpoint or at their main one.
"""

from __future__ import annotations

import ctypes
import gc
import itertools
import json
import os
import socket
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from bank_helpers import bank_token, envelope
from halvenor_scb_lib import _binding
from halvenor_scb_lib.devdb import ThrowawayPostgres

BILLER = "010556012345678"
DATE = "2024-01-31"
CASES = [
    ("qr_full", "qr"),
    ("qr_by_bank", "qr"),
    ("qr_by_bank", "token"),
    ("invoice_qr", "qr"),
    ("invoice_qr", "token"),
    ("inquiry", "inquiry"),
    ("inquiry", "token"),
    ("refresh_token", "token"),
]
MAIN_CASES = [case for case in CASES if case[1] != "token" or case[0] == "refresh_token"]
DATABASE_OPERATIONS = ["qr_by_bank", "invoice_qr", "inquiry", "refresh_token"]
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

QR_UNREACHABLE = envelope(9102, "Network error: Failed to connect to SCB QR endpoint.")
NO_ANSWER = {
    ("qr_full", "qr"): QR_UNREACHABLE,
    ("qr_by_bank", "qr"): QR_UNREACHABLE,
    ("qr_by_bank", "token"): envelope(9301, "Failed to parse access token from response"),
    ("invoice_qr", "qr"): QR_UNREACHABLE,
    ("invoice_qr", "token"): envelope(9302, "No access token in response"),
    ("inquiry", "inquiry"): envelope(9102, "Network error: Failed to connect to payment inquiry endpoint"),
    ("inquiry", "token"): envelope(9301, "Failed to parse access token"),
    ("refresh_token", "token"): envelope(9101, "Network error: Failed to connect to SCB token endpoint."),
}
# What a token-fetching operation makes of a token answer it cannot use, whatever is wrong with it.
NO_TOKEN = {
    "qr_by_bank": envelope(9301, "Failed to parse access token from response"),
    "invoice_qr": envelope(9302, "No access token in response"),
    "inquiry": envelope(9301, "Failed to parse access token"),
}
CONNECT_FAILED = envelope(9002, "Failed to connect to database. Check credentials and network connectivity.")


def case_id(case: tuple[str, str]) -> str:
    return f"{case[0]}-at-{case[1]}"


class Operations:
    """Each operation on ERP rows of its own, so that no call finds a token another one cached."""

    def __init__(self, erp: Any, sandbox: Any) -> None:
        self.erp = erp
        self.sandbox = sandbox
        self.config_ids: dict[str, int] = {}
        self._invoices = itertools.count(1001)

    def prepare(self, operation: str) -> Callable[[], Any]:
        config_id = self.erp.add_config()
        self.config_ids[operation] = config_id
        bank_id = str(self.erp.add_bank_account(config_id, biller_id=BILLER))
        invoice_id = next(self._invoices)
        if operation == "qr_full":
            url = f"https://{self.sandbox.address}/partners/sandbox/v1/payment/qrcode/create"
            token = bank_token(self.sandbox)
            return lambda: _binding.scb_api_create_qr_full("KEY1", token, url, BILLER, 10.0, "INV1", "CUST1")
        calls: dict[str, Callable[[], Any]] = {
            "qr_by_bank": lambda: _binding.scb_api_create_qr_by_bank(bank_id, 10.0, "INV1", "CUST1"),
            "invoice_qr": lambda: _binding.create_qr_for_invoice(invoice_id, 1, config_id, "INV1", 10.0, bank_id),
            "inquiry": lambda: _binding.scb_api_payment_inquiry(str(config_id), transaction_ref="T1",
                                                                transaction_date=DATE),
            "refresh_token": lambda: _binding.scb_api_refresh_token(str(config_id)),
        }
        return calls[operation]


@pytest.fixture(autouse=True)
def no_connection_left(pg: ThrowawayPostgres) -> Iterator[None]:
    yield
    assert pg.wait_for_client_connections(0) == 0


@pytest.fixture
def operations(erp: Any, scb_sandbox: Any) -> Operations:
    return Operations(erp, scb_sandbox)


def assert_stopped_at(sandbox: Any, endpoint: str) -> None:
    """The faulted request went out once and nothing followed it."""
    assert [request.endpoint for request in sandbox.requests][-1:] == [endpoint]
    assert len(sandbox.requests_to(endpoint)) == 1


def assert_nothing_stored(erp: Any, operation: str) -> None:
    if operation == "invoice_qr":
        assert erp.intents() == []


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_connection_reset_mid_body(operations, erp, scb_sandbox, capfd, case):
    operation, endpoint = case
    call = operations.prepare(operation)
    scb_sandbox.fault(endpoint, reset_mid_body=True)
    assert call() == NO_ANSWER[case]
    assert_stopped_at(scb_sandbox, endpoint)
    assert_nothing_stored(erp, operation)
    assert "ERROR: CURL error: Failure when receiving data from the peer" in capfd.readouterr().err


def wait_for_requests(sandbox: Any, counts: dict[str, int], timeout: float = 15.0) -> None:
    deadline = time.monotonic() + timeout
    while any(len(sandbox.requests_to(endpoint)) < count for endpoint, count in counts.items()):
        assert time.monotonic() < deadline, f"requests never arrived: {counts}"
        time.sleep(0.01)


@pytest.mark.slow
def test_bank_never_answering_ends_at_the_30_second_limit(operations, erp, scb_sandbox):
    """All cases at once, each on its own thread (the calls release the interpreter lock), in one 30-second wait.

    The cases that hang at the QR or inquiry endpoint start first and fetch their tokens
    unhindered; once their hanging requests have arrived, the token endpoint hangs too and
    the remaining cases start.
    """
    calls = {case: operations.prepare(case[0]) for case in CASES}
    results: dict[tuple[str, str], tuple[Any, float]] = {}

    def run(case: tuple[str, str]) -> None:
        started = time.monotonic()
        answer = calls[case]()
        results[case] = answer, time.monotonic() - started

    def start(cases: list[tuple[str, str]]) -> list[threading.Thread]:
        threads = [threading.Thread(target=run, args=(case,)) for case in cases]
        for thread in threads:
            thread.start()
        return threads

    scb_sandbox.fault("qr", hang=True)
    scb_sandbox.fault("inquiry", hang=True)
    late = [case for case in CASES if case[1] == "token"]
    threads = start([case for case in CASES if case not in late])
    wait_for_requests(scb_sandbox, {"qr": 3, "inquiry": 1})
    scb_sandbox.fault("token", hang=True)
    threads += start(late)
    for thread in threads:
        thread.join(60)
    assert sorted(results) == sorted(CASES)
    for case, (answer, elapsed) in results.items():
        assert answer == NO_ANSWER[case], case
        assert 29.5 <= elapsed < 36, (case, elapsed)
    assert len(scb_sandbox.requests_to("token")) == 3 + len(late)
    assert erp.intents() == []


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def resident_after_release() -> int:
    """Resident memory once freed blocks have been handed back to the system."""
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return resident_bytes()


FIFTY_MB = 50 * 1024 * 1024
BIG_DATA = {
    "qr": lambda filler: {"qrRawData": "000201", "qrImage": filler, "transactionId": "SBX1"},
    "inquiry": lambda filler: [{"transactionId": "SBX1", "note": filler}],
    "token": lambda filler: {"accessToken": "T", "expiresIn": 1800, "note": filler},
}


@pytest.mark.parametrize("case", MAIN_CASES, ids=case_id)
def test_50_mb_answer_is_handed_back_whole_and_released(operations, erp, scb_sandbox, case):
    operation, endpoint = case
    call = operations.prepare(operation)
    document = {"status": {"code": 1000, "description": "Success"}, "data": BIG_DATA[endpoint]("x" * FIFTY_MB)}
    body = json.dumps(document, separators=(",", ":")).encode()
    # The test keeps the body alive, so the sandbox dropping its script frees nothing we count.
    scb_sandbox.script(endpoint, body=body, headers=[("Content-Type", "application/json")])
    before = resident_after_release()
    answer = call()
    if operation == "invoice_qr":
        (intent_id,) = [row[0] for row in erp.pg.execute("SELECT id FROM scb_payment_intent")]
        assert answer == {"intent_id": intent_id, "reference": "INV1", "amount": 10.0, "qr_payload": "000201",
                          "qr_image_base64": "x" * FIFTY_MB, "transaction_id": "SBX1"}
        assert erp.pg.execute("SELECT length(qr_image_base64) FROM scb_payment_intent") == [(FIFTY_MB,)]
    else:
        assert answer == document
    del answer
    grown = resident_after_release() - before
    if not UNDER_SANITIZER:  # its quarantine holds on to freed memory
        assert grown < FIFTY_MB // 2, f"{grown} bytes still resident after the call"


NOT_JSON = b"<html><body>Service temporarily unavailable</body></html>"
NUL_FIRST = b"\x00\x01\x02\xff\xfe\xfd binary \x80\x81\x00 more"
# Invalid UTF-8 from the first byte, readable words between, a NUL, then every byte value.
MIXED = b"\x89PNG\r\n\x1a\n\xc3( broken \xe2\x82 tail \xf0\x9f\x98\x00" + bytes(range(256))
BODIES = {"not-json": NOT_JSON, "nul-first": NUL_FIRST, "mixed": MIXED}
# A 200 answer of the QR, inquiry and token endpoints is handed back as the bank sent it
# (up to its first NUL byte), so decoding it in Python fails.
DECODE_ERRORS = {"not-json": json.JSONDecodeError, "nul-first": json.JSONDecodeError, "mixed": UnicodeDecodeError}
FAILURE_LABELS = {"qr": "QR creation", "inquiry": "Payment inquiry"}


def readable_part(body: bytes) -> str:
    """What of a body can be quoted: its first 300 bytes up to any NUL, without the bytes that are not UTF-8."""
    return body.split(b"\0", 1)[0][:300].decode("utf-8", errors="ignore")


def assert_failure_quotes_body(answer: Any, status: int, endpoint: str, body: bytes) -> None:
    """A 9103 envelope quoting what can be quoted of the body; bytes that are not UTF-8 are dropped or replaced."""
    assert set(answer) == {"status", "data"} and answer["data"] is None
    assert answer["status"]["code"] == 9103
    head = f"{FAILURE_LABELS[endpoint]} failed with status {status}. Response: "
    description = answer["status"]["description"]
    assert description.startswith(head)
    assert description[len(head):].replace("\ufffd", "") == readable_part(body)


@pytest.mark.parametrize("case", CASES, ids=case_id)
@pytest.mark.parametrize("status, body_name", [
    (200, "not-json"), (200, "nul-first"), (200, "mixed"), (502, "nul-first"), (502, "mixed"),
])
def test_garbage_and_non_json_bodies(operations, erp, scb_sandbox, case, status, body_name):
    operation, endpoint = case
    body = BODIES[body_name]
    call = operations.prepare(operation)
    scb_sandbox.script(endpoint, status=status, body=body, headers=[("Content-Type", "application/octet-stream")])
    if endpoint == "token" and operation != "refresh_token":
        # The invoice flow cannot parse a 200 token answer like these; otherwise no token is found in it.
        assert call() == (envelope(9302, "Invalid token response")
                          if (operation, status) == ("invoice_qr", 200) else NO_TOKEN[operation])
    elif operation == "refresh_token" and status != 200:
        # A refused token request is reported without the body.
        assert call() == envelope(9302, f"Token refresh failed with HTTP status {status}. Check API credentials.")
    elif operation == "invoice_qr" and status == 200:
        # The invoice flow parses the QR answer before it stores anything.
        assert call() == envelope(9103, "Invalid QR response")
    elif status == 200:
        # Handed back as the bank sent it, which Python then fails to decode.
        with pytest.raises(DECODE_ERRORS[body_name]):
            call()
    else:
        # A failure without the bank's own status document: the 9103 envelope, decodable like every envelope.
        assert_failure_quotes_body(call(), status, endpoint, body)
    assert_stopped_at(scb_sandbox, endpoint)
    assert_nothing_stored(erp, operation)


TOKEN_VALUES = {"null": None, "number": 12345}


@pytest.mark.parametrize("operation", ["qr_by_bank", "invoice_qr", "inquiry", "refresh_token"])
@pytest.mark.parametrize("token", TOKEN_VALUES)
def test_token_answer_without_a_text_token(operations, erp, scb_sandbox, operation, token):
    call = operations.prepare(operation)
    answer = {"status": {"code": 1000, "description": "Success"},
              "data": {"accessToken": TOKEN_VALUES[token], "tokenType": "Bearer", "expiresIn": 1800}}
    scb_sandbox.script("token", body=answer)
    # Asking for a token hands back the bank's answer as it came; the others find no token in it.
    assert call() == (answer if operation == "refresh_token" else NO_TOKEN[operation])
    assert_stopped_at(scb_sandbox, "token")
    assert erp.token_row(operations.config_ids[operation]) == (None, None)
    assert_nothing_stored(erp, operation)


@pytest.mark.parametrize("operation, rejected_at, result", [
    ("qr_by_bank", "qr", envelope(9301, "Failed to parse access token from retry response")),
    ("inquiry", "inquiry", envelope(9301, "Failed to parse new token")),
])
@pytest.mark.parametrize("token", TOKEN_VALUES)
def test_renewed_token_answer_without_a_text_token(operations, erp, scb_sandbox, operation, rejected_at, result,
                                                   token):
    call = operations.prepare(operation)
    config_id = operations.config_ids[operation]
    erp.pg.execute("UPDATE scb_api_config SET access_token = %s,"
                   " token_expires_at = (now() AT TIME ZONE 'UTC') + interval '1000 seconds' WHERE id = %s",
                   (bank_token(scb_sandbox), config_id))
    scb_sandbox.script(rejected_at, status=401,
                       body={"status": {"code": 9500, "description": "Invalid or expired access token"}, "data": None})
    scb_sandbox.script("token", body={"status": {"code": 1000, "description": "Success"},
                                      "data": {"accessToken": TOKEN_VALUES[token], "expiresIn": 1800}})
    assert call() == result
    assert [request.endpoint for request in scb_sandbox.requests] == [rejected_at, "token"]
    if operation == "qr_by_bank":  # the rejected token was dropped before the renewal
        assert erp.token_row(config_id) == (None, None)


def backends_of(pg: ThrowawayPostgres) -> list[int]:
    return [pid for (pid,) in pg.execute(
        "SELECT pid FROM pg_stat_activity WHERE datname = %s AND backend_type = 'client backend'"
        " AND pid <> pg_backend_pid()", (pg.dbname,))]


def terminate_backends(pg: ThrowawayPostgres, terminated: list[int]) -> None:
    """Terminate the module's session and wait until the server has let it go."""
    for pid in backends_of(pg):
        pg.execute("SELECT pg_terminate_backend(%s)", (pid,))
        terminated.append(pid)
    assert pg.wait_for_client_connections(0) == 0


@pytest.mark.parametrize("case, result, token_cached", [
    # The token could not be cached, which is not fatal: the QR is created all the same.
    (("qr_by_bank", "token"), 1000, False),
    (("qr_by_bank", "qr"), 1000, True),
    # The bank created a QR that cannot be stored as the invoice's intent.
    (("invoice_qr", "token"), envelope(9002, "Failed to store intent"), False),
    (("invoice_qr", "qr"), envelope(9002, "Failed to store intent"), False),
    (("inquiry", "token"), 1000, False),
    # The inquiry closes its session before asking the bank, so there is nothing to terminate.
    (("inquiry", "inquiry"), 1000, True),
    (("refresh_token", "token"), 1000, False),
], ids=lambda value: case_id(value) if isinstance(value, tuple) else None)
def test_database_session_terminated_while_waiting_for_the_bank(operations, erp, scb_sandbox, capfd, case, result,
                                                                token_cached):
    operation, endpoint = case
    call = operations.prepare(operation)
    terminated: list[int] = []
    scb_sandbox.on_request(endpoint, lambda request: terminate_backends(erp.pg, terminated), times=1)
    answer = call()
    if isinstance(result, dict):
        assert answer == result
        assert len(scb_sandbox.qr_codes) == 1
    else:
        assert answer["status"] == {"code": 1000, "description": "Success"}
    assert len(terminated) == (0 if case == ("inquiry", "inquiry") else 1)
    token, _ = erp.token_row(operations.config_ids[operation])
    assert (token is not None) == token_cached
    assert_nothing_stored(erp, operation)
    if case == ("qr_by_bank", "token"):
        assert "ERROR: Failed to cache token in database (non-fatal)" in capfd.readouterr().err


def dead_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


@pytest.fixture(scope="module")
def stopped_server() -> dict[str, str]:
    """The libpq variables of a cluster that ran and was stopped."""
    with ThrowawayPostgres() as server:
        server.create_erp_schema()
        variables = server.environ()
    assert not server.running
    return variables


@pytest.mark.parametrize("operation", DATABASE_OPERATIONS)
@pytest.mark.parametrize("down", ["nothing-listening", "server-stopped"])
def test_database_down(operations, scb_sandbox, monkeypatch, stopped_server, operation, down):
    call = operations.prepare(operation)
    if down == "nothing-listening":
        monkeypatch.setenv("PGHOST", "127.0.0.1")
        monkeypatch.setenv("PGPORT", str(dead_port()))
    else:
        for name, value in stopped_server.items():
            monkeypatch.setenv(name, value)
    if operation == "invoice_qr":
        with pytest.raises(RuntimeError, match="^Failed to connect to database$"):
            call()
    else:
        assert call() == CONNECT_FAILED
    assert scb_sandbox.requests == []


@pytest.mark.parametrize("status, body", [
    (401, "Unauthorized"),
    (200, {"status": {"code": 9500, "description": "Invalid or expired access token"}, "data": None}),
])
def test_configuration_deleted_before_the_inquiry_reads_it_again(operations, erp, scb_sandbox, status, body):
    call = operations.prepare("inquiry")
    config_id = operations.config_ids["inquiry"]
    deleted: list[int] = []

    def delete_configuration(request: Any) -> None:
        erp.pg.execute("DELETE FROM res_partner_bank WHERE scb_api_config_id = %s", (config_id,))
        deleted.extend(row[0] for row in erp.pg.execute(
            "DELETE FROM scb_api_config WHERE id = %s RETURNING id", (config_id,)))

    scb_sandbox.on_request("inquiry", delete_configuration, times=1)
    scb_sandbox.script("inquiry", status=status, body=body)
    assert call() == envelope(9003, "Failed to get config for token refresh")
    assert deleted == [config_id]
    assert [request.endpoint for request in scb_sandbox.requests] == ["token", "inquiry"]
