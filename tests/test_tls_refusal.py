"""A bank whose certificate does not verify gets no request at all, and every operation reports the
network failure it documents.

Two ways to fail verification: the bank's certificate comes from a CA the module was not told to
trust (CURL_CA_BUNDLE names another throwaway CA), or it is trusted but names another host (a bank
on 127.0.0.2 whose certificate names only 127.0.0.1 and localhost).
"""

from __future__ import annotations

import http.client
import json
import os
import socket
import ssl
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from bank_helpers import envelope
from cabi import lib, take_text
import halvenor_scb_lib as scb
from halvenor_scb_lib.sandbox import Sandbox
from halvenor_scb_lib.sandbox.certs import write_certificates

BILLER = "123456789012345"
CACHED_TOKEN = "cached-token-the-bank-never-sees"
CERTIFICATE_REFUSED = "ERROR: CURL error: SSL peer certificate or SSH remote key was not OK"

QR_UNREACHABLE = envelope(9102, "Network error: Failed to connect to SCB QR endpoint.")
TOKEN_UNREACHABLE = envelope(9101, "Network error: Failed to connect to SCB token endpoint.")
INQUIRY_UNREACHABLE = envelope(9102, "Network error: Failed to connect to payment inquiry endpoint")


@pytest.fixture(scope="module")
def misnamed_bank() -> Iterator[Sandbox]:
    with Sandbox(host="127.0.0.2") as bank:
        yield bank


@pytest.fixture(scope="module")
def foreign_ca_file(tmp_path_factory: pytest.TempPathFactory) -> str:
    return write_certificates(str(tmp_path_factory.mktemp("foreign-ca"))).ca_file


@pytest.fixture(params=["unknown-ca", "wrong-host-name"])
def refusing_bank(request, erp, scb_sandbox, misnamed_bank, foreign_ca_file, monkeypatch) -> Sandbox:
    """The bank the environment points at, set up so that its certificate fails verification."""
    if request.param == "unknown-ca":
        monkeypatch.setenv("CURL_CA_BUNDLE", foreign_ca_file)
        return scb_sandbox
    misnamed_bank.reset()
    for name, value in misnamed_bank.environ().items():
        monkeypatch.setenv(name, value)
    return misnamed_bank


@pytest.fixture
def account(erp) -> dict[str, int]:
    config_id = erp.add_config()
    production_id = erp.add_config(api_key="KEY2", environment="production", name="Production")
    return {"config": config_id, "production": production_id, "bank_account": erp.add_bank_account(config_id)}


def cache_token(erp: Any, config_id: int) -> None:
    erp.pg.execute("UPDATE scb_api_config SET access_token = %s,"
                   " token_expires_at = (now() AT TIME ZONE 'UTC') + interval '1000 seconds' WHERE id = %s",
                   (CACHED_TOKEN, config_id))


def bank_url(path: str) -> str:
    return f"https://{os.environ['SCB_SANDBOX_HOST']}/partners/sandbox/v1{path}"


def create_qr(account: dict[str, int]) -> Any:
    return scb.create_qr(api_key="KEY1", access_token="T", qr_create_url=bank_url("/payment/qrcode/create"),
                         biller_id=BILLER, amount=10, ref1="INV1", ref2="CUST1")


def c_refresh_token(account: dict[str, int]) -> Any:
    return json.loads(take_text(lib.scb_refresh_token(b"KEY1", b"SECRET1", bank_url("/oauth/token").encode())))


def invoice_qr(account: dict[str, int]) -> Any:
    return scb.invoice_qr(7, 1, account["config"], "INV7", 10, account["bank_account"])


# operation, configuration whose token is cached first (None: no cached token), expected answer
OPERATIONS: dict[str, tuple[Callable[[dict[str, int]], Any], str | None, dict[str, Any]]] = {
    "create_qr": (create_qr, None, QR_UNREACHABLE),
    "scb_refresh_token": (c_refresh_token, None, TOKEN_UNREACHABLE),
    "refresh_token": (lambda a: scb.refresh_token(a["config"]), None, TOKEN_UNREACHABLE),
    "qr_by_bank/fetching-token": (
        lambda a: scb.create_qr_by_bank_account(a["bank_account"], 10, "INV1", "CUST1"), None,
        envelope(9301, "Failed to parse access token from response")),
    "qr_by_bank/cached-token": (
        lambda a: scb.create_qr_by_bank_account(a["bank_account"], 10, "INV1", "CUST1"), "config", QR_UNREACHABLE),
    "inquiry/fetching-token": (
        lambda a: scb.payment_inquiry(a["config"], transaction_ref="TX1"), None,
        envelope(9301, "Failed to parse access token")),
    "inquiry/cached-token/get": (
        lambda a: scb.payment_inquiry(a["config"], biller_id=BILLER, reference1="INV1"), "config",
        INQUIRY_UNREACHABLE),
    "inquiry/cached-token/post": (
        lambda a: scb.payment_inquiry(a["production"], transaction_ref="TX1"), "production", INQUIRY_UNREACHABLE),
    "invoice_qr": (invoice_qr, None, envelope(9302, "No access token in response")),
}


@pytest.mark.parametrize("operation, cached, expected", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_unverified_bank_gets_no_request_and_the_operation_reports_a_network_failure(
    erp, account, refusing_bank, capfd, operation, cached, expected
):
    if cached is not None:
        cache_token(erp, account[cached])
    tokens_before = [erp.token_row(config_id)[0] for config_id in (account["config"], account["production"])]
    capfd.readouterr()
    assert operation(account) == expected
    assert refusing_bank.requests == []
    assert CERTIFICATE_REFUSED in capfd.readouterr().err
    # A failed connection is not a rejected token: the cached one stays, and nothing is stored.
    assert [erp.token_row(config_id)[0] for config_id in (account["config"], account["production"])] == tokens_before
    assert erp.intents() == []


def test_misnamed_bank_answers_a_client_that_trusts_its_ca_under_a_name_its_certificate_holds(misnamed_bank):
    """The refusal above is the host name alone: the same bank, CA and address pass under the name localhost."""
    misnamed_bank.reset()
    host, port = misnamed_bank.address.rsplit(":", 1)
    assert host == "127.0.0.2"
    context = ssl.create_default_context(cafile=misnamed_bank.ca_file)
    connection = http.client.HTTPSConnection(host, int(port), context=context, timeout=5)
    connection.sock = context.wrap_socket(socket.create_connection((host, int(port)), timeout=5),
                                          server_hostname="localhost")
    try:
        connection.request("POST", "/partners/sandbox/v1/oauth/token", body="{}",
                           headers={"Content-Type": "application/json"})
        assert connection.getresponse().status == 400
    finally:
        connection.close()
    assert [request.endpoint for request in misnamed_bank.requests] == ["token"]
