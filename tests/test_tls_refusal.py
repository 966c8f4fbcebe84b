"""A bank whose certificate does not verify gets no request at all, and every operation reports the
network failure it documents; so does a bank that asks for a client certificate the module does not
present, and a client certificate that cannot be read or used. A client certificate the environment
names is presented by every bank request.

Two ways to fail verification: the bank's certificate comes from a CA the module was not told to
trust (CURL_CA_BUNDLE names another throwaway CA), or it is trusted but names another host (a bank
on 127.0.0.2 whose certificate names only 127.0.0.1 and localhost).
"""

from __future__ import annotations

import ctypes
import http.client
import json
import os
import socket
import ssl
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from bank_helpers import envelope
from cabi import lib, take_text
import halvenor_scb_lib as scb
from halvenor_scb_lib.sandbox import Sandbox
from halvenor_scb_lib.sandbox.certs import CLIENT_NAME, write_certificates

BILLER = "123456789012345"
CACHED_TOKEN = "cached-token-the-bank-never-sees"
CERTIFICATE_REFUSED = "ERROR: CURL error: SSL peer certificate or SSH remote key was not OK"
CLIENT_FILES = ("SCB_CLIENT_CERT", "SCB_CLIENT_KEY", "SCB_CLIENT_KEY_PASSWORD")
# What each refusing bank makes the module write, and what must never appear (a file's contents, a password).
REFUSALS = {
    "unknown-ca": CERTIFICATE_REFUSED,
    "wrong-host-name": CERTIFICATE_REFUSED,
    "no-client-certificate": "ERROR: CURL error: ",
    "wrong-key-password": "ERROR: The client certificate of SCB_CLIENT_CERT and SCB_CLIENT_KEY (with "
                          "SCB_CLIENT_KEY_PASSWORD) could not be used",
    "certificate-names-a-key": "ERROR: Cannot read a PEM certificate from the file named by SCB_CLIENT_CERT",
    "key-is-a-directory": "ERROR: Cannot read a PEM private key from the file named by SCB_CLIENT_KEY",
    "key-not-set": "ERROR: SCB_CLIENT_KEY is not set: the client certificate of SCB_CLIENT_CERT needs its key",
}

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


@pytest.fixture(params=REFUSALS)
def refusing_bank(request, erp, scb_sandbox, misnamed_bank, foreign_ca_file, monkeypatch,
                  tmp_path) -> tuple[Sandbox, str]:
    """The bank the environment points at, set up so that its certificate fails verification, that it asks
    for a client certificate the module cannot present, or with a client certificate that cannot be read;
    with the line the module writes about it."""
    if request.param == "unknown-ca":
        monkeypatch.setenv("CURL_CA_BUNDLE", foreign_ca_file)
        return scb_sandbox, REFUSALS[request.param]
    if request.param == "wrong-host-name":
        misnamed_bank.reset()
        for name, value in misnamed_bank.environ().items():
            monkeypatch.setenv(name, value)
        return misnamed_bank, REFUSALS[request.param]
    scb_sandbox.configure(require_client_certificate=request.param in ("no-client-certificate", "wrong-key-password"))
    named = {
        "no-client-certificate": {},
        "wrong-key-password": {**scb_sandbox.client_environ(encrypted_key=True), "SCB_CLIENT_KEY_PASSWORD": "wrong"},
        "certificate-names-a-key": {"SCB_CLIENT_CERT": scb_sandbox.client_key_file,
                                    "SCB_CLIENT_KEY": scb_sandbox.client_key_file},
        "key-is-a-directory": {**scb_sandbox.client_environ(), "SCB_CLIENT_KEY": str(tmp_path)},
        "key-not-set": {"SCB_CLIENT_CERT": scb_sandbox.client_cert_file, "SCB_CLIENT_KEY": ""},
    }[request.param]
    for name, value in named.items():
        monkeypatch.setenv(name, value)
    return scb_sandbox, REFUSALS[request.param]


def secrets_of(sandbox: Sandbox) -> list[str]:
    """Lines of the client key files and the key's password, none of which may reach a log line."""
    keys = [Path(path).read_text().splitlines()[1] for path in (sandbox.client_key_file,
                                                               sandbox.client_encrypted_key_file)]
    return [*keys, sandbox.client_key_password, "wrong"]


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
    bank, refusal = refusing_bank
    capfd.readouterr()
    assert operation(account) == expected
    assert bank.requests == []
    err = capfd.readouterr().err
    assert refusal in err
    assert not [secret for secret in secrets_of(bank) if secret in err]
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


def c_token_request(account: dict[str, int]) -> Any:
    body = json.dumps({"applicationKey": "KEY1", "applicationSecret": "SECRET1"}).encode()
    headers = (ctypes.c_char_p * 2)(b"resourceOwnerId: KEY1", b"requestUId: 1")
    reply = lib.http_post_json(bank_url("/oauth/token").encode(), body, headers, 2)
    try:
        return json.loads(ctypes.string_at(reply.contents.body))
    finally:
        lib.http_response_free(reply)


PRESENTING = {
    "refresh_token": lambda a: scb.refresh_token(a["config"]),
    "qr_by_bank": lambda a: scb.create_qr_by_bank_account(a["bank_account"], 10, "INV1", "CUST1"),
    "inquiry/get": lambda a: scb.payment_inquiry(a["config"], biller_id=BILLER, reference1="INV1"),
    "inquiry/post": lambda a: scb.payment_inquiry(a["production"], transaction_ref="TX1"),
    "invoice_qr": invoice_qr,
    "http_post_json": c_token_request,
}


@pytest.mark.parametrize("encrypted_key", [False, True], ids=["plain-key", "encrypted-key"])
def test_every_bank_request_presents_the_client_certificate_the_environment_names(erp, account, scb_sandbox,
                                                                                   monkeypatch, capfd, encrypted_key):
    scb_sandbox.register_application("KEY2", "SECRET1")
    scb_sandbox.configure(require_client_certificate=True)
    for name, value in scb_sandbox.client_environ(encrypted_key=encrypted_key).items():
        monkeypatch.setenv(name, value)

    answers = {name: operation(account) for name, operation in PRESENTING.items()}

    assert [name for name, answer in answers.items() if not scb.is_success(answer)] == []
    assert len(scb_sandbox.requests) == 9
    assert {request.client_certificate for request in scb_sandbox.requests} == {CLIENT_NAME}
    err = capfd.readouterr().err
    assert not [secret for secret in secrets_of(scb_sandbox) if secret in err]
