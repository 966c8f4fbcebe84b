"""Bill-payment inquiry against the bank sandbox: request forms, token reuse and the one retry."""

from __future__ import annotations

import datetime
import glob
import json
import math
import os
import re
import socket
import threading
import time
import uuid
from urllib.parse import quote

import pytest

from bank_helpers import bank_token, endpoints, envelope
from halvenor_scb_lib import _binding
from halvenor_scb_lib.sandbox.emvco import bill_payment_payload

LINE = re.compile(r"\[CORVANE\] \[[^]]+\] (INFO|ERROR|DEBUG): (.*)")
PATHS = {"production": "/partners/v1", "sandbox": "/partners/sandbox/v1"}
BILLER = "123456789012345"
DATE = "2024-01-31"
OWN_HEADERS = ("Content-Type", "Authorization", "resourceOwnerId", "requestUId", "Accept-Language")


def log_lines(capfd: pytest.CaptureFixture[str], level: str) -> list[str]:
    matches = [LINE.fullmatch(line) for line in capfd.readouterr().err.splitlines()]
    return [m.group(2) for m in matches if m and m.group(1) == level]


def expected_query(*pairs: tuple[str, str]) -> str:
    return "&".join(f"{name}={quote(value, safe='')}" for name, value in pairs)


def dead_port() -> str:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return str(probe.getsockname()[1])


@pytest.fixture
def inquire(pg):
    """The Python method, followed by the check that it left no database connection open."""
    def call(config_id, **kwargs):
        result = _binding.scb_api_payment_inquiry(str(config_id), **kwargs)
        assert pg.wait_for_client_connections(0) == 0
        return result
    return call


@pytest.fixture
def cached(erp, scb_sandbox):
    """A configuration whose row holds a valid bank token, so the first request uses it."""
    config_id = erp.add_config()
    token = bank_token(scb_sandbox)
    erp.pg.execute("UPDATE scb_api_config SET access_token = %s,"
                   " token_expires_at = (now() AT TIME ZONE 'UTC') + interval '1000 seconds'", (token,))
    return config_id


def when_request(sandbox, endpoint: str, action) -> threading.Thread:
    """Runs action once the sandbox has received a request to endpoint; a latency fault on that request
    holds its answer back meanwhile, so the action lands between two steps of the module."""
    sandbox.fault(endpoint, latency=0.4, times=1)
    seen = len(sandbox.requests_to(endpoint))

    def wait_and_act():
        deadline = time.monotonic() + 10
        while len(sandbox.requests_to(endpoint)) == seen and time.monotonic() < deadline:
            time.sleep(0.005)
        action()
    thread = threading.Thread(target=wait_and_act, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize("environment, method, host_path", [
    ("sandbox", "GET", "sandbox"),
    ("production", "POST", "production"),
    ("", "POST", "sandbox"),
    ("Sandbox", "POST", "sandbox"),
    ("staging", "POST", "sandbox"),
])
def test_request_form_follows_environment(erp, scb_sandbox, inquire, environment, method, host_path):
    config_id = erp.add_config(environment=environment)
    result = inquire(config_id, biller_id=BILLER, reference1="INV1", transaction_date=DATE)
    assert result == {"status": {"code": 1000, "description": "Success"}, "data": []}
    token_request, inquiry = scb_sandbox.requests
    assert token_request.path == PATHS[host_path] + "/oauth/token"
    assert (inquiry.method, inquiry.path, inquiry.body) == (
        method, PATHS[host_path] + "/payment/billpayment/inquiry", b"")
    assert inquiry.query == expected_query(("eventCode", "00300100"), ("billerId", BILLER), ("reference1", "INV1"),
                                           ("transactionDate", DATE))
    own = [(name, value) for name, value in inquiry.headers if name in OWN_HEADERS]
    assert own == ([("Content-Type", "application/json")] if method == "POST" else []) + [
        ("Authorization", f"Bearer {scb_sandbox.issued_tokens[-1]}"), ("resourceOwnerId", "KEY1"),
        ("requestUId", inquiry.header("requestUId")), ("Accept-Language", "EN")]
    request_id = inquiry.header("requestUId")
    assert str(uuid.UUID(request_id)) == request_id and uuid.UUID(request_id).version == 4


@pytest.mark.parametrize("environment", ["sandbox", "production"])
@pytest.mark.parametrize("arguments, pairs", [
    ({"transaction_ref": "TX 1", "biller_id": BILLER, "reference1": "R1", "reference2": "R2", "amount": "5.00"},
     [("eventCode", "00300104"), ("partnerTransactionId", "TX 1"), ("transactionDate", DATE)]),
    ({"transaction_ref": "", "biller_id": BILLER, "reference1": "R1", "reference2": "", "amount": ""},
     [("eventCode", "00300100"), ("billerId", BILLER), ("reference1", "R1"), ("transactionDate", DATE)]),
    ({"biller_id": BILLER, "reference1": "INV 001 ไทย", "reference2": "a&b=c", "amount": "1,000.5"},
     [("eventCode", "00300100"), ("billerId", BILLER), ("reference1", "INV 001 ไทย"), ("reference2", "a&b=c"),
      ("amount", "1,000.5"), ("transactionDate", DATE)]),
    ({"transaction_ref": "T1", "transaction_date": "31/01/2024 ก"},
     [("eventCode", "00300104"), ("partnerTransactionId", "T1"), ("transactionDate", "31/01/2024 ก")]),
])
def test_query_pairs_in_order_and_percent_encoded(erp, scb_sandbox, inquire, environment, arguments, pairs):
    config_id = erp.add_config(environment=environment)
    inquire(config_id, **{"transaction_date": DATE, **arguments})
    (inquiry,) = scb_sandbox.requests_to("inquiry")
    assert inquiry.query == expected_query(*pairs)


THAILAND = datetime.timezone(datetime.timedelta(hours=7))


def test_default_date_is_todays_date_in_thailand(erp, scb_sandbox, inquire, far_time_zone):
    config_id = erp.add_config()
    before = datetime.datetime.now(THAILAND).date().isoformat()
    inquire(config_id, transaction_ref="T1")
    after = datetime.datetime.now(THAILAND).date().isoformat()
    (inquiry,) = scb_sandbox.requests_to("inquiry")
    assert inquiry.query.rsplit("&transactionDate=", 1)[1] in {before, after}


FAKETIME = next(
    iter(glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1")), None)
FAKED_CLOCK_CHILD = """
import datetime, json
from halvenor_scb_lib import _binding
print(datetime.datetime.now(datetime.timezone.utc).isoformat())
print(json.dumps(_binding.scb_api_payment_inquiry("{config_id}", transaction_ref="PTX2330")))
"""


def next_2330_utc() -> datetime.datetime:
    now = datetime.datetime.now(datetime.timezone.utc)
    today = now.replace(hour=23, minute=30, second=0, microsecond=0)
    return today if today > now else today + datetime.timedelta(days=1)


@pytest.mark.skipif(FAKETIME is None, reason="libfaketime not installed (Debian package faketime)")
def test_default_date_at_2330_utc_is_the_next_day_in_thailand(erp, scb_sandbox, run_python):
    config_id = erp.add_config()
    late_evening = next_2330_utc()
    payment = scb_sandbox.pay(bill_payment_payload(BILLER, "INV2330", "", "10.00"),
                              paid_at=late_evening + datetime.timedelta(minutes=1), partner_transaction_id="PTX2330")
    # A relative offset: the sandbox's certificates are valid only from shortly before the real now.
    offset = math.ceil((late_evening - datetime.datetime.now(datetime.timezone.utc)).total_seconds())
    # Under the sanitizer build LD_PRELOAD holds its runtime, which has to stay the first library loaded.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), FAKETIME]))
    # ASan reads the clock while holding its allocator's lock when it hands memory back to the system;
    # libfaketime's first clock call allocates, which would wait for that lock forever.
    sanitizer = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "allocator_release_to_os_interval_ms=-1"]))
    done = run_python(FAKED_CLOCK_CHILD.format(config_id=config_id),
                      env={"LD_PRELOAD": preload, "ASAN_OPTIONS": sanitizer, "FAKETIME": f"+{offset}",
                           "FAKETIME_DONT_FAKE_MONOTONIC": "1"})
    assert done.returncode == 0, done.stderr
    child_clock, answer = done.stdout.splitlines()
    faked = datetime.datetime.fromisoformat(child_clock)
    assert late_evening <= faked < late_evening + datetime.timedelta(minutes=30)
    (inquiry,) = scb_sandbox.requests_to("inquiry")
    next_day = (late_evening.date() + datetime.timedelta(days=1)).isoformat()
    assert inquiry.query.rsplit("&transactionDate=", 1)[1] == next_day == payment["transactionDateandTime"][:10]
    assert json.loads(answer)["data"] == [payment]


@pytest.mark.parametrize("arguments", [
    {},
    {"biller_id": BILLER},
    {"reference1": "R1", "reference2": "R2", "amount": "5.00"},
    {"transaction_ref": "", "biller_id": BILLER, "reference1": ""},
])
def test_missing_parameters_after_stale_token_is_renewed(erp, scb_sandbox, inquire, capfd, arguments):
    config_id = erp.add_config(access_token="STALE", expires_in_seconds=100)
    capfd.readouterr()
    assert inquire(config_id, **arguments) == envelope(
        9004, "Invalid parameters: either transaction_ref or (biller_id + reference1) required")
    assert endpoints(scb_sandbox) == ["token"]
    token, seconds_left = erp.token_row(config_id)
    assert token == scb_sandbox.issued_tokens[-1] and 1790 < seconds_left <= 1800
    assert log_lines(capfd, "ERROR") == []


@pytest.mark.parametrize("stored_token, seconds_left, reused", [
    (True, 330, True),
    (True, 300, False),
    (True, None, False),
    ("", 1000, False),
    (None, 1000, False),
])
def test_cached_token_reused_only_above_300_seconds(erp, scb_sandbox, inquire, capfd, stored_token, seconds_left,
                                                    reused):
    config_id = erp.add_config()
    token = bank_token(scb_sandbox) if stored_token is True else stored_token
    erp.pg.execute("UPDATE scb_api_config SET access_token = %s,"
                   " token_expires_at = (now() AT TIME ZONE 'UTC') + %s::float8 * interval '1 second'",
                   (token, seconds_left))
    capfd.readouterr()
    inquire(config_id, transaction_ref="T1")
    infos = log_lines(capfd, "INFO")
    (inquiry,) = scb_sandbox.requests_to("inquiry")
    if reused:
        assert endpoints(scb_sandbox) == ["inquiry"]
        assert inquiry.header("Authorization") == f"Bearer {token}"
        assert any(re.fullmatch(r"Using cached access token \(valid for 3[23]\d more seconds\)", line)
                   for line in infos)
        return
    assert endpoints(scb_sandbox) == ["token", "inquiry"]
    assert inquiry.header("Authorization") == f"Bearer {scb_sandbox.issued_tokens[-1]}"
    assert erp.token_row(config_id)[0] == scb_sandbox.issued_tokens[-1]
    assert not any(line.startswith("Using cached access token") for line in infos)


@pytest.mark.parametrize("status, body", [
    (401, {"status": {"code": 9500, "description": "Invalid or expired access token"}, "data": None}),
    (401, "Unauthorized"),
    (200, '{"status":{"code":9500,"description":"Invalid token"},"data":null}'),
    (200, '{"status":{"code": \n9500,"description":"Invalid token"}}'),
    (500, '{"status":{"code":9500}}'),
    (200, '{"status":{"code":9300,"description":"Invalid or expired access token"},"data":null}'),
    (403, '{"status":{"code" : 9300}}'),
])
def test_rejected_token_renewed_once_with_key_and_secret_read_again(cached, erp, scb_sandbox, inquire, capfd, status,
                                                                   body):
    first_token = erp.token_row(cached)[0]
    scb_sandbox.script("inquiry", status=status, body=body)
    open_during_first_inquiry = []

    def rotate_credentials():
        open_during_first_inquiry.append(erp.pg.wait_for_client_connections(0))
        scb_sandbox.register_application("KEY2", "SECRET2")
        erp.pg.execute("UPDATE scb_api_config SET api_key = 'KEY2', api_secret = 'SECRET2',"
                       " environment = 'production'")
    thread = when_request(scb_sandbox, "inquiry", rotate_credentials)
    capfd.readouterr()
    result = inquire(cached, transaction_ref="T1", transaction_date=DATE)
    thread.join()
    assert result == {"status": {"code": 1000, "description": "Success"}, "data": []}
    assert open_during_first_inquiry == [0]
    first, token_request, retry = scb_sandbox.requests
    assert endpoints(scb_sandbox) == ["inquiry", "token", "inquiry"]
    # The environment is not read again: the token still comes from the first environment's host.
    assert token_request.path == PATHS["sandbox"] + "/oauth/token"
    assert token_request.json() == {"applicationKey": "KEY2", "applicationSecret": "SECRET2"}
    new_token = scb_sandbox.issued_tokens[-1]
    assert first.header("Authorization") == f"Bearer {first_token}"
    assert retry.header("Authorization") == f"Bearer {new_token}"
    assert (retry.method, retry.target) == (first.method, first.target)
    assert retry.header("resourceOwnerId") == first.header("resourceOwnerId") == "KEY1"
    assert retry.header("requestUId") != first.header("requestUId")
    assert erp.token_row(cached)[0] == new_token
    lines = capfd.readouterr().err
    assert lines.count("INFO: Database connection successful") == lines.count("INFO: Database connection closed") == 2
    for debug in ("[SCB API] Payment inquiry got 401/9500 error, refreshing token and retrying",
                  "[SCB API] Refreshing token after 401 error", "[SCB API] Token refreshed, retrying payment inquiry"):
        assert f"DEBUG: {debug}\n" in lines


@pytest.mark.parametrize("code", [9500, 9300, 9100])
def test_token_the_bank_refuses_with_401_is_renewed_whatever_the_code(cached, erp, scb_sandbox, inquire, code):
    if code == 9100:
        scb_sandbox.script("inquiry", status=401, body={"status": {"code": code, "description": "Unauthorized"}})
    else:
        scb_sandbox.configure(rejected_token_code=code)
        scb_sandbox.revoke_token(erp.token_row(cached)[0])
    assert inquire(cached, transaction_ref="T1", transaction_date=DATE) == {
        "status": {"code": 1000, "description": "Success"}, "data": []}
    assert endpoints(scb_sandbox) == ["inquiry", "token", "inquiry"]
    assert erp.token_row(cached)[0] == scb_sandbox.issued_tokens[-1]


@pytest.mark.parametrize("body", [
    '{"status":{"code":95001,"description":"x"}}',
    '{"status":{"code":19500,"description":"x"}}',
    '{"status":{"code":"9500","description":"x"}}',
    '{"status":{"code":1000,"description":"code 9500"}}',
    '{"status":{"code":93001,"description":"x"}}',
    '{"status":{"code":"9300","description":"x"}}',
])
def test_no_retry_without_rejection_code(cached, scb_sandbox, inquire, body):
    scb_sandbox.script("inquiry", body=body)
    assert inquire(cached, transaction_ref="T1") == json.loads(body)
    assert endpoints(scb_sandbox) == ["inquiry"]


@pytest.mark.parametrize("unpaid, status, answer", [
    ("empty", 200, {"status": {"code": 1000, "description": "Success"}, "data": []}),
    ("not_found", 404, {"status": {"code": 1104, "description": "Record not found"}, "data": None}),
])
def test_an_inquiry_that_finds_no_payment_hands_the_banks_answer_back_as_it_came(cached, scb_sandbox, inquire, capfd,
                                                                                unpaid, status, answer):
    scb_sandbox.configure(unpaid_inquiry=unpaid)
    capfd.readouterr()
    assert inquire(cached, biller_id=BILLER, reference1="INV404", transaction_date=DATE) == answer
    assert endpoints(scb_sandbox) == ["inquiry"]
    errors = log_lines(capfd, "ERROR")
    assert errors == ([] if status == 200 else [
        f"Payment inquiry failed with status 404. Response: {json.dumps(answer, separators=(',', ':'))}"])


@pytest.mark.parametrize("status, body, expected", [
    (401, '{"status":{"code":9500,"description":"Invalid"}}', {"status": {"code": 9500, "description": "Invalid"}}),
    (200, '{"status":{"code":9500,"description":"Invalid"}}', {"status": {"code": 9500, "description": "Invalid"}}),
    (401, "Unauthorized", envelope(9103, "Payment inquiry failed with status 401. Response: Unauthorized")),
])
def test_no_second_retry(cached, scb_sandbox, inquire, status, body, expected):
    scb_sandbox.script("inquiry", status=status, body=body, times=2)
    assert inquire(cached, transaction_ref="T1") == expected
    assert endpoints(scb_sandbox) == ["inquiry", "token", "inquiry"]


@pytest.mark.parametrize("failure, result, error_line", [
    ("reconnect", envelope(9002, "Failed to reconnect to database"),
     "Failed to reconnect to database for token refresh"),
    ("inactive", envelope(9003, "Failed to get config for token refresh"), None),
    ("token refused", envelope(9301, "Failed to parse new token"), None),
    ("no answer", envelope(9102, "Network error on retry"), "Failed to get response from payment inquiry retry"),
])
def test_retry_failures(cached, erp, scb_sandbox, inquire, capfd, monkeypatch, failure, result, error_line):
    scb_sandbox.script("inquiry", status=401, body="Unauthorized")
    if failure == "reconnect":
        thread = when_request(scb_sandbox, "inquiry", lambda: monkeypatch.setenv("PGPORT", dead_port()))
    elif failure == "inactive":
        thread = when_request(scb_sandbox, "inquiry", lambda: erp.pg.execute("UPDATE scb_api_config SET active = false"))
    elif failure == "token refused":
        scb_sandbox.script("token", status=401, body={"status": {"code": 9500, "description": "No"}, "data": None})
        thread = None
    else:
        thread = when_request(scb_sandbox, "token", lambda: scb_sandbox.fault("inquiry", drop=True))
    capfd.readouterr()
    assert inquire(cached, transaction_ref="T1") == result
    if thread is not None:
        thread.join()
    errors = log_lines(capfd, "ERROR")
    if error_line is not None:
        assert error_line in errors
    assert endpoints(scb_sandbox) == {"reconnect": ["inquiry"], "inactive": ["inquiry"]}.get(
        failure, ["inquiry", "token"] + ["inquiry"] * (failure == "no answer"))


@pytest.mark.parametrize("status, body, passed_through", [
    (500, '{"status":{"code":5000,"description":"Down"},"data":null}', True),
    (400, '{"error": "status missing"}', False),
    (502, "<html><body>Bad gateway</body></html>", False),
    # The quoted body is cut at 300 bytes, never inside a character.
    (503, "x" + "é" * 400, False),
])
def test_failure_status_passes_bank_document_or_gives_9103(cached, scb_sandbox, inquire, capfd, status, body,
                                                           passed_through):
    scb_sandbox.script("inquiry", status=status, body=body)
    capfd.readouterr()
    result = inquire(cached, transaction_ref="T1")
    message = f"Payment inquiry failed with status {status}. Response: {body.encode()[:300].decode(errors='ignore')}"
    assert log_lines(capfd, "ERROR") == [message]
    assert result == (json.loads(body) if passed_through else envelope(9103, message))


def test_over_long_url_sends_nothing(erp, scb_sandbox, inquire, capfd):
    config_id = erp.add_config(environment="staging")
    base = f"https://{scb_sandbox.address}/partners/sandbox/v1/payment/billpayment/inquiry"
    fixed = len(base) + len("?" + expected_query(("eventCode", "00300104"), ("partnerTransactionId", ""),
                                                  ("transactionDate", DATE)))
    inquire(config_id, transaction_ref="X" * (2047 - fixed), transaction_date=DATE)
    (inquiry,) = scb_sandbox.requests_to("inquiry")
    assert len(base) + 1 + len(inquiry.query) == 2047
    scb_sandbox.requests.clear()
    capfd.readouterr()
    for config, reference in ((config_id, "X" * (2048 - fixed)), (erp.add_config(), "X" * 5000)):
        assert inquire(config, transaction_ref=reference, transaction_date=DATE) == envelope(
            9102, "Network error: Failed to connect to payment inquiry endpoint")
        assert "Failed to get response from payment inquiry endpoint" in log_lines(capfd, "ERROR")
    assert scb_sandbox.requests_to("inquiry") == []


@pytest.mark.parametrize("config, result", [
    ("inactive", envelope(9003, "SCB configuration not found or inactive")),
    ("abc", envelope(9003, "SCB configuration not found or inactive")),
    ("wrong secret", envelope(9301, "Failed to parse access token")),
    ("no database", envelope(9002, "Failed to connect to database. Check credentials and network connectivity.")),
])
def test_configuration_and_first_token_failures(erp, scb_sandbox, inquire, monkeypatch, config, result):
    config_id = erp.add_config(active=config != "inactive")
    if config == "abc":
        config_id = "abc"
    elif config == "wrong secret":
        erp.pg.execute("UPDATE scb_api_config SET api_secret = 'WRONG'")
    elif config == "no database":
        monkeypatch.setenv("PGPORT", dead_port())
    assert inquire(config_id, transaction_ref="T1") == result
    assert scb_sandbox.requests_to("inquiry") == []
