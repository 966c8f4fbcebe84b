"""QR creation with a token and credentials the caller supplies, against the bank sandbox."""

from __future__ import annotations

import json
import re
import socket
from contextlib import closing

import pytest

from bank_helpers import bank_token
from cabi import lib, take_bytes
from halvenor_scb_lib import scb_api_create_qr_full
from halvenor_scb_lib.sandbox import DEFAULT_APPLICATIONS

KEY, SECRET = next(iter(DEFAULT_APPLICATIONS.items()))
BILLER = "010556012345678"
UUID_V4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
BODY = '{{"qrType":"PP","ppType":"BILLERID","ppId":"{}","amount":"{}","ref1":"{}","ref2":"{}","ref3":"{}"}}'


def qr_url(sandbox):
    return f"https://{sandbox.address}/partners/sandbox/v1/payment/qrcode/create"


def create(url, amount=1, ref1="A", ref2="B", *ref3, token="TOKEN"):
    return scb_api_create_qr_full(KEY, token, url, BILLER, amount, ref1, ref2, *ref3)


def raw_create(url):
    """The response document exactly as the C function hands it over."""
    pointer = lib.scb_create_qr_full(KEY.encode(), b"TOKEN", url.encode(), BILLER.encode(), b"A", b"B", b"SCB", 1.0)
    assert pointer
    return take_bytes(pointer)


def test_bank_creates_the_code_from_a_request_with_exact_header_lines(scb_sandbox, capfd):
    token = bank_token(scb_sandbox, KEY, SECRET)
    scb_sandbox.requests.clear()
    answer = create(qr_url(scb_sandbox), 100.5, "INV0001", "CUST42", token=token)
    assert answer["status"] == {"code": 1000, "description": "Success"}
    (qr,) = scb_sandbox.qr_codes
    assert qr["payload"] == answer["data"]["qrRawData"]
    assert (qr["amount"], qr["ref1"], qr["ref2"], qr["ref3"]) == ("100.50", "INV0001", "CUST42", "SCB")
    (request,) = scb_sandbox.requests
    headers = [(name, value) for name, value in request.headers if name not in ("Host", "Accept", "Content-Length")]
    assert headers[:3] == [("Content-Type", "application/json"), ("Authorization", f"Bearer {token}"),
                           ("resourceOwnerId", KEY)]
    assert len(headers) == 4 and headers[3][0] == "requestUId" and UUID_V4.fullmatch(headers[3][1])
    err = capfd.readouterr().err
    assert "INFO: QR code created successfully\n" in err
    assert f"DEBUG: [SCB API] QR create - URL: {qr_url(scb_sandbox)}, Body: {request.body.decode()}\n" in err
    assert token not in err


def test_every_request_gets_a_new_request_id(scb_sandbox):
    scb_sandbox.script("qr", body={"status": {"code": 1000}}, times=4)
    for _ in range(4):
        create(qr_url(scb_sandbox))
    ids = {request.header("requestUId") for request in scb_sandbox.requests}
    assert len(ids) == 4 and all(UUID_V4.fullmatch(value) for value in ids)


@pytest.mark.parametrize(
    ("amount", "text"),
    [(100.5, "100.50"), (0, "0.00"), (1234567.89, "1234567.89"), (16777217, "16777217.00"), (-5, "-5.00")],
)
def test_body_is_the_template_byte_for_byte(scb_sandbox, amount, text):
    scb_sandbox.script("qr", body={"status": {"code": 1000}}, times=2)
    create(qr_url(scb_sandbox), amount, "INV/1 ก", "C-2", "R3")
    create(qr_url(scb_sandbox), amount, "X", "Y")
    assert [request.body.decode() for request in scb_sandbox.requests] == [
        BODY.format(BILLER, text, "INV/1 ก", "C-2", "R3"), BODY.format(BILLER, text, "X", "Y", "SCB")]


@pytest.mark.parametrize("reference", ['x","amount":"0.01', "back\\slash", "line\nbreak\ttab\x01", '"', '\\"}'])
def test_references_are_escaped_and_stay_one_member(scb_sandbox, reference):
    scb_sandbox.script("qr", body={"status": {"code": 1000}})
    create(qr_url(scb_sandbox), 10, reference, reference, reference)
    assert scb_sandbox.requests[0].json() == {"qrType": "PP", "ppType": "BILLERID", "ppId": BILLER, "amount": "10.00",
                                              "ref1": reference, "ref2": reference, "ref3": reference}


def test_long_body_is_sent_whole_and_the_bank_refusal_comes_back(scb_sandbox):
    answer = create(qr_url(scb_sandbox), 5, "A" * 3000, "B", token=bank_token(scb_sandbox, KEY, SECRET))
    assert scb_sandbox.requests[-1].json()["ref1"] == "A" * 3000
    assert answer["status"]["code"] == 1102 and "ref1" in answer["status"]["description"]


@pytest.mark.parametrize(
    ("status", "body"),
    [
        # 200 is passed on without looking inside, even when it reports a failure.
        (200, b'{ "status" : {"code": 9500, "description":"T\\u00e9st"},  "data":{"x":[1, 2.50]} }'),
        (200, b'{"status":{"code":1000},"data":{"qrRawData":"0002\xe0\xb8\x81"}}'),
        (400, b'{"status":{"code":1102,"description":"ppId must be exactly 15 digits"},"data":null}'),
        (401, b'{"status":{"code":9500,"description":"Invalid or expired access token"},"data":null}'),
    ],
)
def test_bank_answers_are_passed_through_unchanged(scb_sandbox, status, body):
    scb_sandbox.script("qr", status=status, body=body, times=2)
    assert raw_create(qr_url(scb_sandbox)) == body
    assert create(qr_url(scb_sandbox)) == json.loads(body)


@pytest.mark.parametrize(
    ("status", "body"),
    [
        (502, "<html><body>x" + "ก" * 200 + "</body></html>"),
        (503, "<html>" + "ก" * 98 + "tail</html>"),
        (500, ""),
        (404, "x" * 1000),
        (503, "<html>service status: down</html>"),
    ],
    ids=["cut-inside-character", "cut-on-boundary", "empty", "ascii-1000", "unquoted-status"],
)
def test_failure_without_status_becomes_9103_with_at_most_300_bytes(scb_sandbox, capfd, status, body):
    scb_sandbox.script("qr", status=status, body=body)
    answer = create(qr_url(scb_sandbox))
    shown = body.encode()[:300].decode("utf-8", errors="ignore")  # whole characters only
    description = f"QR creation failed with status {status}. Response: {shown}"
    assert answer == {"status": {"code": 9103, "description": description}, "data": None}
    assert f"ERROR: {description}\n" in capfd.readouterr().err


@pytest.mark.parametrize("outage", ["no-server", "dropped-connection"])
def test_no_response_gives_9102(scb_sandbox, capfd, outage):
    url = qr_url(scb_sandbox)
    if outage == "no-server":
        with closing(socket.socket()) as probe:
            probe.bind(("127.0.0.1", 0))
            url = url.replace(scb_sandbox.address, f"127.0.0.1:{probe.getsockname()[1]}")
    else:
        scb_sandbox.fault("qr", drop=True)
    assert create(url) == {"status": {"code": 9102, "description": "Network error: Failed to connect to SCB QR endpoint."},
                           "data": None}
    assert "ERROR: Failed to get response from QR create endpoint\n" in capfd.readouterr().err


@pytest.mark.parametrize("body", [b"", b"<html>ok</html>"])
def test_non_json_success_body_raises_the_json_decoding_error(scb_sandbox, body):
    scb_sandbox.script("qr", body=body, times=2)
    assert raw_create(qr_url(scb_sandbox)) == body
    with pytest.raises(json.JSONDecodeError):
        create(qr_url(scb_sandbox))

