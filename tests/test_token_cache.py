"""The access token kept in the configuration row, as QR creation for a bank account and the
inquiry use it, renewed by one caller at a time across processes."""

import json
import re
import subprocess
import sys
import textwrap
import time

import pytest

from halvenor_scb_lib import _binding

QR_SUCCESS = {"status": {"code": 1000, "description": "Success"}, "data": {"transactionId": "T1"}}


@pytest.fixture
def account(erp):
    config_id = erp.add_config()
    return config_id, erp.add_bank_account(config_id)


@pytest.fixture(autouse=True)
def no_connection_left(pg):
    yield
    assert pg.wait_for_client_connections(0) == 0


def create_qr(bank_id):
    return _binding.scb_api_create_qr_by_bank(str(bank_id), 25.0, "INV7", "CUST3")


def seed_token(erp, config_id, token, seconds_left):
    erp.pg.execute(
        "UPDATE scb_api_config SET access_token = %s,"
        " token_expires_at = (now() AT TIME ZONE 'UTC') + %s::float8 * interval '1 second' WHERE id = %s",
        (token, seconds_left, config_id),
    )


def bearer_of_last_qr(sandbox):
    return sandbox.requests_to("qr")[-1].header("Authorization")


USING = r"INFO: Using cached access token \(valid for {} more seconds\)"
EXPIRING = r"INFO: Cached token expired or expiring soon \({} seconds\), refreshing"


@pytest.mark.parametrize(
    "has_token, seconds_left, reused, line",
    [
        (True, 1000, True, USING.format("(999|1000)")),
        (True, 300.5, True, USING.format(300)),
        (True, 300, False, EXPIRING.format(300)),
        (True, -120, False, EXPIRING.format(-120)),
        (True, None, False, EXPIRING.format(0)),
        (False, 1000, False, None),
    ],
)
def test_cached_token_is_reused_only_with_more_than_300_seconds_left(
    erp, account, capfd, has_token, seconds_left, reused, line
):
    config_id, bank_id = account
    cached = _binding.scb_api_refresh_token(str(config_id))["data"]["accessToken"]
    seed_token(erp, config_id, cached if has_token else None, seconds_left)
    capfd.readouterr()
    assert create_qr(bank_id)["status"]["code"] == 1000
    err = capfd.readouterr().err
    if line:
        assert re.search(line, err)
    else:
        assert "expiring soon" not in err and "Using cached" not in err
    stored, left = erp.token_row(config_id)
    if reused:
        assert erp.sandbox.issued_tokens == [cached] and stored == cached
        assert bearer_of_last_qr(erp.sandbox) == f"Bearer {cached}"
    else:
        renewed = erp.sandbox.issued_tokens[-1]
        assert renewed != cached and stored == renewed and abs(left - 1800) < 5
        assert bearer_of_last_qr(erp.sandbox) == f"Bearer {renewed}"
        assert "DEBUG: [SCB API] Refreshing access token" in err
        assert "INFO: Access token cached in database (expires in 1800 seconds)" in err
    assert not [token for token in erp.sandbox.issued_tokens if token in err]


@pytest.mark.parametrize(
    "answer, lifetime",
    [
        ({"status": {"code": 1000}, "data": {"accessToken": "tok-A", "expiresIn": 1234}}, 1234),
        ({"accessToken": "tok-A"}, 1800),
        ({"data": {"accessToken": "tok-A", "expiresIn": 10**12}}, 2**31 - 1),
        ({"accessToken": "tok-A", "expiresIn": -5}, -5),
    ],
)
def test_stored_expiry_is_now_plus_the_stated_lifetime(erp, account, capfd, answer, lifetime):
    config_id, bank_id = account
    erp.sandbox.script("token", body=answer)
    erp.sandbox.script("qr", body=QR_SUCCESS)
    assert create_qr(bank_id) == QR_SUCCESS
    stored, left = erp.token_row(config_id)
    assert stored == "tok-A" and abs(left - lifetime) < 5
    assert f"INFO: Access token cached in database (expires in {lifetime} seconds)" in capfd.readouterr().err


@pytest.mark.parametrize(
    "status, body, token",
    [
        (200, '{"data":{"inner":{"accessToken":\n\t\r "tok-B","expiresIn":600}}}', "tok-B"),
        (200, '{"accessToken" : "' + "t" * 255 + '"}', "t" * 255),
        (200, '{"expiresIn":1800}', None),
        (200, '{"accessToken":null,"expiresIn":1800}', None),
        (200, '{"accessToken":"' + "t" * 256 + '"}', None),
        (200, '{"accessToken":""}', None),
        (500, '{"accessToken":"tok-C"}', None),
    ],
)
def test_token_is_taken_from_any_depth_and_rejected_when_unusable(erp, account, capfd, status, body, token):
    config_id, bank_id = account
    erp.sandbox.script("token", status=status, body=body.encode())
    erp.sandbox.script("qr", body=QR_SUCCESS)
    result = create_qr(bank_id)
    err = capfd.readouterr().err
    if token is None:
        assert result == {
            "status": {"code": 9301, "description": "Failed to parse access token from response"}, "data": None
        }
        assert "ERROR: Failed to extract access token\n" in err
        assert erp.sandbox.requests_to("qr") == [] and erp.token_row(config_id) == (None, None)
    else:
        assert result == QR_SUCCESS
        assert bearer_of_last_qr(erp.sandbox) == f"Bearer {token}" and erp.token_row(config_id)[0] == token
        assert token not in err


@pytest.mark.parametrize(
    "first_answer, renewed",
    [
        ('{"status":{"code":9500,"description":"Invalid token"},"data":null}', True),
        ('{"status":{"code": 9500,"description":"Invalid token"},"data":null}', True),
        ('{"status": {"code":\n\t9500}}', True),
        ('{"status":{"code":9300,"description":"Invalid or expired access token"},"data":null}', True),
        ('{"status": {"code" :\r\n 9300}}', True),
        ('{"status":{"code":95001,"description":"Other"},"data":null}', False),
        ('{"status":{"code": 95001,"description":"Other"},"data":null}', False),
        ('{"status":{"code":93001,"description":"Other"},"data":null}', False),
        ('{"status":{"code":19300,"description":"Other"},"data":null}', False),
        ('{"status":{"code":9100,"description":"Missing access token"},"data":null}', False),
    ],
)
def test_rejection_is_code_9300_or_9500_whatever_the_white_space(erp, account, first_answer, renewed):
    _, bank_id = account
    erp.sandbox.script("qr", status=401, body=first_answer.encode())
    result = create_qr(bank_id)
    if renewed:
        assert result["status"]["code"] == 1000
        assert (len(erp.sandbox.requests_to("token")), len(erp.sandbox.requests_to("qr"))) == (2, 2)
    else:
        assert result == json.loads(first_answer)
        assert (len(erp.sandbox.requests_to("token")), len(erp.sandbox.requests_to("qr"))) == (1, 1)


RENEWAL_LOCK = "pg_advisory_xact_lock(1397965396, $1)"
STATEMENT = re.compile(r"LOG:  (?:statement|execute <unnamed>): (.*)")
CONFIG_BY_BANK = "SELECT   b.scb_biller_id,   b.company_id,"
TOKEN_LOOKUP = "SELECT access_token, token_expires_at AT TIME ZONE 'UTC' AS expires_utc,"
TOKEN_STORE = "UPDATE scb_api_config SET access_token = $1,"


def statements_of(call, pg, monkeypatch, session_setup=False):
    """The statements the module's own session sent during call(), in order (session set-up aside, unless asked for)."""
    monkeypatch.setenv("PGOPTIONS", "-c log_statement=all")
    log = pg.root / "server.log"
    start = log.stat().st_size
    call()
    time.sleep(0.2)  # the server writes its log a moment after answering
    with open(log, encoding="utf-8", errors="replace") as lines:
        lines.seek(start)
        sent = [match.group(1) for match in map(STATEMENT.search, lines) if match]
    return [text for text in sent if session_setup or not text.startswith("SET TimeZone")]


@pytest.mark.parametrize("seconds_left, expected", [
    (1000, [CONFIG_BY_BANK, TOKEN_LOOKUP]),
    (100, [CONFIG_BY_BANK, TOKEN_LOOKUP, "BEGIN", "SET LOCAL lock_timeout = '35s'",
           f"SELECT {RENEWAL_LOCK}", TOKEN_LOOKUP, TOKEN_STORE, "COMMIT"]),
], ids=["usable", "stale"])
def test_only_a_stale_token_costs_the_renewal_statements(erp, account, pg, monkeypatch, seconds_left, expected):
    config_id, bank_id = account
    seed_token(erp, config_id, _binding.scb_api_refresh_token(str(config_id))["data"]["accessToken"], seconds_left)

    sent = statements_of(lambda: create_qr(bank_id), pg, monkeypatch)

    assert len(sent) == len(expected) and all(text.startswith(start) for text, start in zip(sent, expected)), sent


WORKER = textwrap.dedent("""
    import json, sys, time
    from halvenor_scb_lib import _binding
    operation, target, calls, start_at = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    time.sleep(max(0.0, start_at - time.time()))
    codes = []
    for call in range(calls):
        if operation == "qr":
            answer = _binding.scb_api_create_qr_by_bank(target, 10.0, f"W{call}", "RENEW")
        else:
            answer = _binding.scb_api_payment_inquiry(target, transaction_ref="T1")
        codes.append(answer["status"]["code"])
    print(json.dumps(codes))
""")


def run_workers(count, operation, target, calls=3):
    """count processes making calls at the same moment; each one's status codes."""
    start_at = time.time() + 3.0
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, operation, str(target), str(calls), str(start_at)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
               for _ in range(count)]
    return [json.loads(worker.communicate(timeout=120)[0]) for worker in workers]


def crossing(erp, config_id, ending):
    """A cached token that every worker finds stale at once, or one the bank has revoked."""
    token = _binding.scb_api_refresh_token(str(config_id))["data"]["accessToken"]
    if ending == "expiry":
        seed_token(erp, config_id, token, 290)
    else:
        seed_token(erp, config_id, token, 1000)
        erp.sandbox.revoke_token(token)
    erp.sandbox.requests.clear()
    # A slow token endpoint keeps the renewal in flight while the others arrive.
    erp.sandbox.fault("token", latency=0.3)


@pytest.mark.slow
@pytest.mark.parametrize("operation", ["qr", "inquiry"])
@pytest.mark.parametrize("ending", ["expiry", "revocation"])
@pytest.mark.parametrize("pooling", ["direct", "transaction"])
def test_sixteen_processes_renew_once(erp, bouncer_erp, operation, ending, pooling):
    if pooling == "transaction":
        erp = bouncer_erp("transaction")
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    crossing(erp, config_id, ending)

    codes = run_workers(16, operation, bank_id if operation == "qr" else config_id)

    assert codes == [[1000] * 3] * 16
    assert len(erp.sandbox.requests_to("token")) == 1
    assert erp.token_row(config_id)[0] == erp.sandbox.issued_tokens[-1]
    bank_requests = [r for r in erp.sandbox.requests if r.endpoint != "token"]
    stale = [r for r in bank_requests if r.header("Authorization") == f"Bearer {erp.sandbox.issued_tokens[0]}"]
    # Every request that met the revoked token was retried once with the renewed one, and no worker met it twice.
    assert len(bank_requests) == 48 + len(stale)
    assert len(stale) <= 16 if ending == "revocation" else stale == []


@pytest.mark.slow
def test_a_caller_that_waits_past_the_lock_timeout_renews_alone(erp, account, capfd):
    config_id, bank_id = account
    seed_token(erp, config_id, _binding.scb_api_refresh_token(str(config_id))["data"]["accessToken"], 100)
    erp.sandbox.requests.clear()
    with erp.pg.connect() as holder:
        holder.execute("SELECT pg_advisory_lock(1397965396, %s)", (config_id,))
        started = time.monotonic()
        assert create_qr(bank_id)["status"]["code"] == 1000
        waited = time.monotonic() - started
    # The server's 35-second lock timer may end a few milliseconds before the client's clock says so.
    assert 34.5 <= waited < 45
    assert len(erp.sandbox.requests_to("token")) == 1
    assert "ERROR: Token renewal lock not granted, renewing without it: " in capfd.readouterr().err
