"""No secret reaches standard error, whatever path an operation takes, with debug logging on.

The secrets are the API secret of the configuration, every bearer token the bank
issued, and the password of the database role the module connects as over TCP
with password authentication required.
"""

from __future__ import annotations

import secrets
import uuid
from typing import Any

import pytest

from bank_helpers import endpoints
from cabi import lib, take_text
import halvenor_scb_lib as scb

BILLER = "123456789012345"
DATE = "2024-01-31"
# Long enough that a leak cut anywhere still shows a whole window of it.
WINDOW = 12


def secret(prefix: str) -> str:
    return prefix + secrets.token_hex(16)


def windows(text: str) -> set[str]:
    """Every stretch of WINDOW characters: a secret cut, escaped around its odd characters or
    split over two lines still leaves one of these whole."""
    return {text[start:start + WINDOW] for start in range(len(text) - WINDOW + 1)}


@pytest.fixture(scope="module")
def db_role(pg_server):
    """A login role whose password holds a blank, a quote and a backslash, as connection strings must survive."""
    name = f"erp_app_{uuid.uuid4().hex[:8]}"
    password = secret("pa ss'w\\d-")
    pg_server.create_role(name, password)
    return name, password


@pytest.fixture
def over_tcp(pg, db_role, monkeypatch):
    """The libpq environment for the role over TCP, where the cluster requires a password."""
    name, password = db_role
    monkeypatch.setenv("PGHOST", "127.0.0.1")
    monkeypatch.setenv("PGUSER", name)
    monkeypatch.setenv("PGPASSWORD", password)
    return password


def qr_by_bank(account: int) -> Any:
    return scb.create_qr_by_bank_account(account, "10.00", "INV0001", "CUST1")


def test_no_secret_reaches_standard_error_on_any_path(erp, scb_sandbox, over_tcp, monkeypatch, capfdbinary):
    api_secret = secret("api-secret-")
    wrong_password = secret("wrong-pw-")
    config = erp.add_config(api_key="KEY1", api_secret=api_secret)
    production = erp.add_config(api_key="KEY2", api_secret=api_secret, environment="production", name="Prod")
    refused = erp.add_config(api_key="KEY3", api_secret=api_secret, name="Refused")
    scb_sandbox.register_application("KEY3", "another-secret")
    account = erp.add_bank_account(config)
    refused_account = erp.add_bank_account(refused)
    capfdbinary.readouterr()

    # Token fetch and store, then the cached token.
    assert scb.refresh_token(config)["status"]["code"] == 1000
    assert qr_by_bank(account)["status"]["code"] == 1000
    assert qr_by_bank(account)["status"]["code"] == 1000
    assert endpoints(scb_sandbox) == ["token", "token", "qr", "qr"]
    cached, _ = erp.token_row(config)

    # The bank rejects the cached token: renewed and the request repeated, for QR and inquiry alike.
    scb_sandbox.revoke_token(cached)
    assert qr_by_bank(account)["status"]["code"] == 1000
    renewed, _ = erp.token_row(config)
    scb_sandbox.revoke_token(renewed)
    assert scb.payment_inquiry(config, transaction_ref="TX1", transaction_date=DATE)["status"]["code"] == 1000
    assert endpoints(scb_sandbox)[4:] == ["qr", "token", "qr", "inquiry", "token", "inquiry"]

    # Inquiry in both forms, GET for the sandbox and POST for production.
    found = scb.payment_inquiry(config, biller_id=BILLER, reference1="INV0001", transaction_date=DATE)
    assert found["status"]["code"] == 1000
    assert scb.payment_inquiry(production, transaction_ref="TX1", transaction_date=DATE)["status"]["code"] == 1000
    assert [request.method for request in scb_sandbox.requests_to("inquiry")][-2:] == ["GET", "POST"]

    # Invoice QR: new, then reused from the database.
    first = scb.invoice_qr(7, 1, config, "INV0007", "10.00", account)
    assert scb.invoice_qr(7, 1, config, "INV0007", "10.00", account) == {**first, "status": "pending",
                                                                         "channel": "invoice", "amount": 10}
    # Explicit credentials: the token as a header line, the secret in the token body.
    token = scb_sandbox.issued_tokens[-1]
    url = f"https://{scb_sandbox.address}/partners/sandbox/v1/payment/qrcode/create"
    assert scb.create_qr(api_key="KEY1", access_token=token, qr_create_url=url, biller_id=BILLER, amount=1,
                         ref1="A", ref2="B")["status"]["code"] == 1000
    token_url = f"https://{scb_sandbox.address}/partners/sandbox/v1/oauth/token"
    assert '"code":1000' in take_text(lib.scb_refresh_token(b"KEY1", api_secret.encode(), token_url.encode()))

    # The bank refuses the credentials.
    assert scb.refresh_token(refused)["status"]["code"] == 9302
    assert qr_by_bank(refused_account)["status"]["code"] == 9301

    # The bank drops the connection, at the QR and at the token endpoint.
    scb_sandbox.fault("qr", drop=True, times=1)
    assert qr_by_bank(account)["status"]["code"] == 9102
    scb_sandbox.fault("token", drop=True, times=1)
    assert scb.refresh_token(config)["status"]["code"] == 9101

    # The database refuses a wrong password, and a missing one: password authentication is really required.
    monkeypatch.setenv("PGPASSWORD", wrong_password)
    assert qr_by_bank(account)["status"]["code"] == 9002
    assert scb.payment_inquiry(config, transaction_ref="TX1")["status"]["code"] == 9002
    with pytest.raises(RuntimeError, match="Failed to connect to database"):
        scb.invoice_qr(8, 1, config, "INV0008", "10.00", account)
    monkeypatch.delenv("PGPASSWORD")
    assert scb.refresh_token(config)["status"]["code"] == 9002

    err = capfdbinary.readouterr().err.decode("utf-8", errors="replace")
    assert "DEBUG: [SCB API] Token refresh - URL: " in err and "password authentication failed" in err
    issued = scb_sandbox.issued_tokens
    assert len(issued) == 7 and token in issued
    for value in [api_secret, over_tcp, wrong_password, *issued]:
        leaked = sorted(window for window in windows(value) if window in err)
        assert leaked == [], f"a secret reached standard error: {leaked}"
