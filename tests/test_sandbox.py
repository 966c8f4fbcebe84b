"""The bank sandbox, exercised over real HTTPS with certificate verification on."""

from __future__ import annotations

import base64
import binascii
import datetime
import http.client
import itertools
import json
import os
import re
import shlex
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import zlib
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import urlencode

import pytest
import segno

import halvenor_scb_lib.sandbox
import halvenor_scb_lib.sandbox.certs
from halvenor_scb_lib.sandbox import (
    DEFAULT_APPLICATIONS,
    BankOptions,
    CallbackAttempt,
    CallbackDelivery,
    InvalidPayment,
    Sandbox,
    confirmation_record,
)

pytest_plugins = ["pytester", "halvenor_scb_lib.sandbox.pytest_plugin"]

APP_KEY, APP_SECRET = next(iter(DEFAULT_APPLICATIONS.items()))
PREFIXES = {"production": "/partners/v1", "sandbox": "/partners/sandbox/v1"}
TOKEN, QR, INQUIRY = "/oauth/token", "/payment/qrcode/create", "/payment/billpayment/inquiry"
BILLER = "010556012345678"
THAILAND = datetime.timezone(datetime.timedelta(hours=7))
TODAY = datetime.datetime.now(THAILAND).date().isoformat()  # for requests whose date is not what they test
CONNECTIONS = "/_sandbox/connections"


@dataclass
class Reply:
    status: int
    headers: list[tuple[str, str]]
    body: bytes

    def json(self):
        return json.loads(self.body)

    def header(self, name):
        return next((v for k, v in self.headers if k.lower() == name.lower()), None)


def connect(sandbox, context=None, timeout=5.0):
    host, port = sandbox.address.rsplit(":", 1)
    context = context or ssl.create_default_context(cafile=sandbox.ca_file)
    return http.client.HTTPSConnection(host, int(port), context=context, timeout=timeout)


def send(connection, method, target, *, body=None, headers=None):
    if isinstance(body, (dict, list)):
        body = json.dumps(body)
    connection.request(method, target, body=body, headers=headers or {})
    response = connection.getresponse()
    return Reply(response.status, response.getheaders(), response.read())


def call(sandbox, method, target, *, body=None, headers=None, context=None):
    connection = connect(sandbox, context)
    try:
        return send(connection, method, target, body=body, headers=headers)
    finally:
        connection.close()


def bank_headers(authorization=None):
    headers = {"Content-Type": "application/json", "resourceOwnerId": APP_KEY, "requestUId": "3f1c2d6e-42"}
    if authorization is not None:
        headers["Authorization"] = authorization
    return headers


def request_token(sandbox, environment="sandbox", key=APP_KEY, secret=APP_SECRET):
    credentials = {"applicationKey": key, "applicationSecret": secret}
    return call(sandbox, "POST", PREFIXES[environment] + TOKEN, body=credentials, headers=bank_headers())


def send_token_request(connection, headers=None):
    """A token request over a connection the caller keeps, which http.client reopens if the sandbox closed it."""
    credentials = {"applicationKey": APP_KEY, "applicationSecret": APP_SECRET}
    headers = {**bank_headers(), **(headers or {})}
    return send(connection, "POST", PREFIXES["sandbox"] + TOKEN, body=credentials, headers=headers)


def token(sandbox, environment="sandbox"):
    return request_token(sandbox, environment).json()["data"]["accessToken"]


def qr_fields(**overrides):
    """A valid QR request; an override of ... leaves that field out."""
    fields = {"qrType": "PP", "ppType": "BILLERID", "ppId": BILLER, "amount": "100.50", "ref1": "INV0001"}
    fields.update({"ref2": "CUST42", **overrides})
    return {name: value for name, value in fields.items() if value is not ...}


def create_qr(sandbox, bearer, environment="sandbox", **overrides):
    headers = bank_headers(f"Bearer {bearer}")
    return call(sandbox, "POST", PREFIXES[environment] + QR, body=qr_fields(**overrides), headers=headers)


def inquire(sandbox, bearer, params, method="GET", environment="sandbox", body=None):
    target = f"{PREFIXES[environment]}{INQUIRY}?{urlencode(params)}"
    headers = bank_headers(f"Bearer {bearer}")
    del headers["Content-Type"]
    headers["Accept-Language"] = "EN"
    return call(sandbox, method, target, body=body, headers=headers)


def assert_failure(reply, status, code, field=None):
    assert reply.status == status
    assert reply.header("Content-Type") == "application/json"
    body = reply.json()
    assert (body["status"]["code"], body["data"]) == (code, None)
    assert (field or "") in body["status"]["description"]


@pytest.mark.parametrize("environment", ["production", "sandbox"])
def test_token_is_issued_on_both_path_sets(scb_sandbox, environment):
    scb_sandbox.token_lifetime = 600
    reply = request_token(scb_sandbox, environment)
    assert reply.status == 200
    body = reply.json()
    assert body["status"] == {"code": 1000, "description": "Success"}
    data = body["data"]
    assert data["tokenType"] == "Bearer" and data["expiresIn"] == 600
    assert abs(data["expiresAt"] - (time.time() + 600)) < 3
    assert scb_sandbox.issued_tokens == [data["accessToken"]]
    (recorded,) = scb_sandbox.requests_to("token")
    assert recorded.environment == environment
    assert recorded.json() == {"applicationKey": APP_KEY, "applicationSecret": APP_SECRET}


@pytest.mark.parametrize(
    ("credentials", "status", "code"),
    [
        ({"applicationKey": APP_KEY, "applicationSecret": "wrong"}, 401, 9500),
        ({"applicationKey": "unknown", "applicationSecret": APP_SECRET}, 401, 9500),
        ({"applicationKey": APP_KEY}, 400, 1101),
        ({"applicationSecret": APP_SECRET}, 400, 1101),
        ({"applicationKey": APP_KEY, "applicationSecret": None}, 400, 1101),
        ({"applicationKey": APP_KEY, "applicationSecret": 7}, 400, 1102),
        ({"applicationKey": "", "applicationSecret": APP_SECRET}, 400, 1103),
    ],
)
def test_token_refused_for_bad_credentials(scb_sandbox, credentials, status, code):
    reply = call(scb_sandbox, "POST", PREFIXES["sandbox"] + TOKEN, body=credentials, headers=bank_headers())
    assert_failure(reply, status, code)
    assert scb_sandbox.issued_tokens == []


def test_registered_application_gets_a_token(scb_sandbox):
    assert request_token(scb_sandbox, key="erp-key", secret="erp-secret").status == 401
    scb_sandbox.register_application("erp-key", "erp-secret")
    assert request_token(scb_sandbox, key="erp-key", secret="erp-secret").status == 200


def _no_header(sandbox):
    return None


def _unknown_token(sandbox):
    return "Bearer not-a-token"


def _wrong_scheme(sandbox):
    return f"Basic {token(sandbox)}"


def _no_token(sandbox):
    return "Bearer"


def _expired_tokens(sandbox):
    bearer = token(sandbox)
    sandbox.expire_tokens()
    return f"Bearer {bearer}"


def _revoked_token(sandbox):
    bearer = token(sandbox)
    sandbox.revoke_token(bearer)
    return f"Bearer {bearer}"


def _elapsed_lifetime(sandbox):
    sandbox.token_lifetime = 1
    bearer = token(sandbox)
    time.sleep(1.1)
    return f"Bearer {bearer}"


def _other_path_set(sandbox):
    return f"Bearer {token(sandbox, 'production')}"


MISSING_CREDENTIALS = (_no_header, _wrong_scheme, _no_token)


@pytest.mark.parametrize(("option", "code"), [(None, 9300), (9500, 9500)], ids=["default", "option-9500"])
@pytest.mark.parametrize("endpoint", ["qr", "inquiry"])
@pytest.mark.parametrize(
    "authorization",
    [*MISSING_CREDENTIALS, _unknown_token, _expired_tokens, _revoked_token, _elapsed_lifetime, _other_path_set],
)
def test_unusable_token_is_refused_with_401_and_the_chosen_code(scb_sandbox, endpoint, authorization, option, code):
    """An unknown, expired or revoked token gets the documented 9300 (or the option's 9500); no Bearer token at all
    is missing credentials, 9100, whatever the option."""
    if option is not None:
        scb_sandbox.configure(rejected_token_code=option)
    headers = bank_headers(authorization(scb_sandbox))
    if endpoint == "qr":
        reply = call(scb_sandbox, "POST", PREFIXES["sandbox"] + QR, body=qr_fields(), headers=headers)
    else:
        query = urlencode({"eventCode": "00300104", "partnerTransactionId": "X1", "transactionDate": TODAY})
        reply = call(scb_sandbox, "GET", f"{PREFIXES['sandbox']}{INQUIRY}?{query}", headers=headers)
    assert_failure(reply, 401, 9100 if authorization in MISSING_CREDENTIALS else code, "access token")
    assert scb_sandbox.qr_codes == []


@pytest.mark.parametrize(
    ("overrides", "field", "code"),
    [
        ({"qrType": "QR30"}, "qrType", 1102),
        ({"qrType": ...}, "qrType", 1101),
        ({"qrType": ""}, "qrType", 1103),
        ({"qrType": None}, "qrType", 1101),
        ({"ppType": "MSISDN"}, "ppType", 1102),
        ({"ppId": "01055601234567"}, "ppId", 1102),
        ({"ppId": "0105560123456789"}, "ppId", 1102),
        ({"ppId": "01055601234567A"}, "ppId", 1102),
        ({"ppId": 10556012345678}, "ppId", 1102),
        ({"ppId": ...}, "ppId", 1101),
        ({"ppId": ""}, "ppId", 1103),
        ({"amount": "100.505"}, "amount", 1102),
        ({"amount": "100."}, "amount", 1102),
        ({"amount": "0100"}, "amount", 1102),
        ({"amount": 100.50}, "amount", 1102),
        ({"amount": "1,000.00"}, "amount", 1102),
        ({"amount": "0.00"}, "amount", 1102),
        ({"amount": "-1.00"}, "amount", 1102),
        ({"amount": "12345678901.00"}, "amount", 1102),
        ({"amount": ...}, "amount", 1101),
        ({"ref1": ...}, "ref1", 1101),
        ({"ref1": ""}, "ref1", 1103),
        ({"ref1": "inv0001"}, "ref1", 1102),
        ({"ref1": "INV-0001"}, "ref1", 1102),
        ({"ref1": "A" * 21}, "ref1", 1102),
        ({"ref2": "CUST 42"}, "ref2", 1102),
        ({"ref3": "x"}, "ref3", 1102),
        ({"ref3": "B" * 21}, "ref3", 1102),
    ],
)
def test_qr_request_is_validated(scb_sandbox, overrides, field, code):
    reply = create_qr(scb_sandbox, token(scb_sandbox), **overrides)
    assert_failure(reply, 400, code, field)
    assert scb_sandbox.qr_codes == []


@pytest.mark.parametrize(
    ("body", "headers", "status", "code"),
    [
        (b"ppId=010556012345678", {}, 400, 1102),
        (b"[]", {}, 400, 1102),
        (b'"ppId"', {}, 400, 1102),
        (b"", {}, 400, 1102),
        (json.dumps(qr_fields()), {"resourceOwnerId": ""}, 400, 9100),
        (json.dumps(qr_fields()), {"requestUId": ""}, 400, 9100),
        (json.dumps(qr_fields()), {"Content-Type": "text/plain"}, 415, 9900),
    ],
)
def test_unreadable_qr_requests_get_the_banks_generic_codes(scb_sandbox, body, headers, status, code):
    """A body that is not a JSON object has no documented code: the sandbox answers 1102, an invalid value."""
    sent = {**bank_headers(f"Bearer {token(scb_sandbox)}"), **headers}
    assert_failure(call(scb_sandbox, "POST", PREFIXES["sandbox"] + QR, body=body, headers=sent), status, code)


def decode_tlv(text):
    fields = []
    while text:
        tag, length = text[:2], int(text[2:4])
        assert len(text) >= 4 + length, f"tag {tag} runs past the end"
        fields.append((tag, text[4 : 4 + length]))
        text = text[4 + length :]
    return fields


def with_crc(payload):
    body = payload + "6304"
    return f"{body}{binascii.crc_hqx(body.encode(), 0xFFFF):04X}"


@pytest.mark.parametrize(
    ("refs", "merchant_tags", "additional"),
    [
        ({"ref2": "CUST42"}, ["00", "01", "02", "03"], None),
        ({"ref2": "CUST42", "ref3": "NOTE7"}, ["00", "01", "02", "03"], [("07", "NOTE7")]),
        ({"ref2": ""}, ["00", "01", "02"], None),
        ({"ref2": ...}, ["00", "01", "02"], None),
    ],
)
@pytest.mark.parametrize("amount", ["1234.05", "100", "100.5", "1234567890.12"])
def test_qr_payload_is_a_thai_bill_payment(scb_sandbox, refs, merchant_tags, additional, amount):
    reply = create_qr(scb_sandbox, token(scb_sandbox), amount=amount, **refs)
    assert reply.status == 200
    body = reply.json()
    assert body["status"]["code"] == 1000
    assert list(body["data"]) == ["qrRawData", "qrImage"]
    payload = body["data"]["qrRawData"]
    fields = decode_tlv(payload)
    tags = [tag for tag, _ in fields]
    assert tags == ["00", "01", "30", "52", "53", "54", "58", "59", "60"] + (["62"] if additional else []) + ["63"]
    values = dict(fields)
    expected = {"00": "01", "01": "12", "52": "5999", "53": "764", "54": amount, "58": "TH",
                "59": "SANDBOX BILLER", "60": "BANGKOK"}
    assert {tag: values[tag] for tag in expected} == expected
    merchant = decode_tlv(values["30"])
    assert [tag for tag, _ in merchant] == merchant_tags
    expected_merchant = {"00": "A000000677010112", "01": BILLER, "02": "INV0001", "03": refs["ref2"]}
    assert all(expected_merchant[tag] == value for tag, value in merchant)
    assert ("62" in values and decode_tlv(values["62"])) == (additional or False)
    assert payload == with_crc(payload[:-8])


@pytest.mark.parametrize(
    ("options", "merchant_name", "category", "name"),
    [
        ({"merchant_category": "4900"}, None, "4900", "SANDBOX BILLER"),
        ({"merchant_name": "HALVENOR TRADING CO LTD"}, None, "5999", "HALVENOR TRADING CO LTD"),
        ({"merchant_name": "DEFAULT NAME"}, "ERP SHOP 7", "5999", "ERP SHOP 7"),
    ],
)
def test_merchant_category_and_name_are_options(scb_sandbox, options, merchant_name, category, name):
    scb_sandbox.configure(**options)
    scb_sandbox.register_application(APP_KEY, APP_SECRET, merchant_name)
    try:
        values = dict(decode_tlv(create_qr(scb_sandbox, token(scb_sandbox)).json()["data"]["qrRawData"]))
    finally:
        scb_sandbox.register_application(APP_KEY, APP_SECRET)
    assert (values["52"], values["59"], values["60"]) == (category, name, "BANGKOK")


@pytest.mark.parametrize(
    "options",
    [{"merchant_category": "599"}, {"merchant_category": "A999"}, {"merchant_name": ""},
     {"merchant_name": "N" * 26}, {"merchant_name": "ร้านค้า"}, {"rejected_token_code": 4010},
     {"callback_retries": -1}, {"callback_retry_delay": -0.5}, {"callback_retry_delay": float("nan")},
     {"rejected_token_code": 9100}, {"qr_image_format": "jpeg"}, {"unpaid_inquiry": "404"}, {"rate_limit": 0},
     {"rate_limit": 2.5}, {"rate_limit": True}],
)
def test_options_the_bank_could_not_send_are_refused(scb_sandbox, options):
    with pytest.raises(ValueError):
        scb_sandbox.configure(**options)
    with pytest.raises(ValueError):
        Sandbox(options=BankOptions(**options))
    assert scb_sandbox.options == BankOptions()


def test_qr_answers_carry_a_transaction_id_only_as_an_option(scb_sandbox):
    bearer = token(scb_sandbox)
    plain = create_qr(scb_sandbox, bearer, ref1="A1").json()["data"]
    scb_sandbox.configure(qr_transaction_ids=True)
    first = create_qr(scb_sandbox, bearer, ref1="A1").json()["data"]
    second = create_qr(scb_sandbox, bearer, ref1="A1").json()["data"]
    assert "transactionId" not in plain and first["transactionId"] != second["transactionId"]
    remembered = scb_sandbox.qr_codes
    assert [qr.get("transactionId") for qr in remembered] == [None, first["transactionId"], second["transactionId"]]
    assert (remembered[1]["ppId"], remembered[1]["ref1"], remembered[1]["amount"]) == (BILLER, "A1", "100.50")
    assert [qr["payload"] for qr in remembered] == [plain["qrRawData"], first["qrRawData"], second["qrRawData"]]


def png_pixels(png):
    """Rows of booleans (True = dark) from a 1-bit greyscale PNG, as segno writes them."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, offset = {}, 8
    while offset < len(png):
        (length,) = struct.unpack(">I", png[offset : offset + 4])
        kind, data = png[offset + 4 : offset + 8], png[offset + 8 : offset + 8 + length]
        chunks[kind] = chunks.get(kind, b"") + data
        offset += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (1, 0)
    raw, stride, rows, previous = zlib.decompress(chunks[b"IDAT"]), (width + 7) // 8, [], bytes((width + 7) // 8)
    for y in range(height):
        line = raw[y * (stride + 1) : (y + 1) * (stride + 1)]
        assert line[0] in (0, 2), "unexpected PNG filter"
        data = bytes((b + p) & 0xFF for b, p in zip(line[1:], previous, strict=True)) if line[0] == 2 else line[1:]
        rows.append([not (data[x // 8] >> (7 - x % 8)) & 1 for x in range(width)])
        previous = data
    return rows


def gif_pixels(gif):
    """Rows of booleans (True = black) of a GIF89a with a global colour table and one image covering the screen."""
    assert gif[:6] == b"GIF89a"
    width, height, flags = struct.unpack("<HHB", gif[6:11])
    assert flags & 0x80, "no global colour table"
    offset = 13 + 3 * (2 << (flags & 7))
    palette = gif[13:offset]
    assert gif[offset : offset + 1] == b"," and struct.unpack("<HHHHB", gif[offset + 1 : offset + 10]) == (
        0, 0, width, height, 0)
    min_code_size, offset, data = gif[offset + 10], offset + 11, b""
    while gif[offset]:
        data += gif[offset + 1 : offset + 1 + gif[offset]]
        offset += 1 + gif[offset]
    assert gif[offset + 1 :] == b";"
    black = [palette[3 * index : 3 * index + 3] == b"\0\0\0" for index in lzw_decoded(data, min_code_size)]
    assert len(black) == width * height
    return [black[y * width : (y + 1) * width] for y in range(height)]


def lzw_decoded(data, min_code_size):
    """The colour indices of GIF LZW data, decoded as the GIF89a format defines it."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    position, width, table, previous, indices = 0, min_code_size + 1, [], None, []
    while True:
        code = sum(((data[(position + bit) // 8] >> ((position + bit) % 8)) & 1) << bit for bit in range(width))
        position += width
        if code == clear:
            table, width, previous = [[index] for index in range(clear)] + [[], []], min_code_size + 1, None
            continue
        if code == end:
            return indices
        entry = table[code] if code < len(table) else previous + previous[:1]
        if previous is not None and len(table) < 4096:
            table.append(previous + entry[:1])
        indices += entry
        previous = entry
        if len(table) == 1 << width and width < 12:
            width += 1


def symbol_modules(pixels):
    top = next(y for y, row in enumerate(pixels) if any(row))
    left = pixels[top].index(True)
    scale = (pixels[top][left:] + [False]).index(False) // 7
    size = (len(pixels[0]) - 2 * left) // scale
    return [
        [pixels[top + r * scale + scale // 2][left + c * scale + scale // 2] for c in range(size)] for r in range(size)
    ]


@pytest.mark.parametrize("image_format, prefix, pixels", [(None, "R0lGOD", gif_pixels), ("png", "iVBOR", png_pixels)],
                         ids=["gif-by-default", "png-option"])
def test_qr_image_shows_the_payload(scb_sandbox, image_format, prefix, pixels):
    if image_format is not None:
        scb_sandbox.configure(qr_image_format=image_format)
    data = create_qr(scb_sandbox, token(scb_sandbox), ref3="NOTE7").json()["data"]
    assert data["qrImage"].startswith(prefix)
    modules = symbol_modules(pixels(base64.b64decode(data["qrImage"], validate=True)))
    encodings = [
        segno.make_qr(data["qrRawData"], error=level, boost_error=False, mask=mask)
        for level in "LMQH"
        for mask in range(8)
    ]
    matrices = [[[bool(m) for m in row] for row in qr.matrix] for qr in encodings]
    assert modules in matrices


PARTNER_ID = "PTX0001"
RECORD_FIELDS = [
    "eventCode", "transactionType", "reverseFlag", "payeeProxyId", "payeeProxyType", "payeeAccountNumber", "payeeName",
    "payerProxyId", "payerProxyType", "payerAccountNumber", "payerName", "sendingBankCode", "receivingBankCode",
    "amount", "transactionId", "fastEasySlipNumber", "transactionDateandTime", "billPaymentRef1", "billPaymentRef2",
    "billPaymentRef3", "currencyCode", "channelCode", "equivalentAmount", "equivalentCurrencyCode", "exchangeRate",
    "partnerTransactionId",
]


def thailand_today():
    return datetime.datetime.now(THAILAND).date().isoformat()


def day_of(payment):
    return payment["transactionDateandTime"][:10]


def _by_transaction(payment):
    return {"eventCode": "00300104", "partnerTransactionId": PARTNER_ID, "transactionDate": day_of(payment)}


def _by_reference(payment):
    return {"eventCode": "00300100", "billerId": BILLER, "reference1": "INV0001", "transactionDate": day_of(payment)}


def _by_all_references(payment):
    return {**_by_reference(payment), "reference2": "CUST42", "amount": "100.50"}


def static_payload(ref1="INV0001", account_tag="30", aid="A000000677010112", currency="764"):
    """A payload without an amount (point of initiation 11), as printed on a bill."""
    merchant = f"0016{aid}0115{BILLER}02{len(ref1):02d}{ref1}"
    return with_crc(f"000201010211{account_tag}{len(merchant):02d}{merchant}5303{currency}5802TH")


@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("query", [_by_transaction, _by_reference, _by_all_references])
@pytest.mark.parametrize("environment", ["production", "sandbox"])
def test_paid_qr_is_found_by_inquiry(scb_sandbox, query, method, environment):
    bearer = token(scb_sandbox, environment)
    qr = create_qr(scb_sandbox, bearer, environment).json()["data"]
    create_qr(scb_sandbox, bearer, environment, ref1="INV0002")
    today = thailand_today()
    unpaid = inquire(scb_sandbox, bearer, query({"transactionDateandTime": today}), method, environment)
    assert unpaid.status == 200 and unpaid.json()["data"] == []
    payment = scb_sandbox.pay(qr["qrRawData"], partner_transaction_id=PARTNER_ID)
    reply = inquire(scb_sandbox, bearer, query(payment), method, environment)
    assert reply.status == 200
    assert reply.json() == {"status": {"code": 1000, "description": "Success"}, "data": [payment]}
    assert day_of(payment) in {today, thailand_today()}
    assert scb_sandbox.requests_to("inquiry")[-1].body == b""


@pytest.mark.parametrize(("partner_id", "event"), [(None, "00300100"), ("PTX7", "00300104")])
def test_payment_record_has_the_fields_of_the_banks_confirmation(scb_sandbox, partner_id, event):
    scb_sandbox.register_application(APP_KEY, APP_SECRET, "ERP SHOP 7")
    try:
        qr = create_qr(scb_sandbox, token(scb_sandbox), ref3="NOTE7").json()["data"]["qrRawData"]
    finally:
        scb_sandbox.register_application(APP_KEY, APP_SECRET)
    first, second = (scb_sandbox.pay(qr, partner_transaction_id=partner_id) for _ in range(2))
    assert list(first) == RECORD_FIELDS and scb_sandbox.payments == [first, second]
    assert {name: first[name] for name in (
        "eventCode", "reverseFlag", "payeeProxyId", "payeeProxyType", "payeeName", "amount", "billPaymentRef1",
        "billPaymentRef2", "billPaymentRef3", "currencyCode", "equivalentAmount", "equivalentCurrencyCode",
        "partnerTransactionId")} == {
        "eventCode": event, "reverseFlag": "N", "payeeProxyId": BILLER, "payeeProxyType": "BILLERID",
        "payeeName": "ERP SHOP 7", "amount": "100.50", "billPaymentRef1": "INV0001", "billPaymentRef2": "CUST42",
        "billPaymentRef3": "NOTE7", "currencyCode": "764", "equivalentAmount": "100.50",
        "equivalentCurrencyCode": "764", "partnerTransactionId": partner_id or ""}
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+07:00", first["transactionDateandTime"])
    assert first["transactionId"] != second["transactionId"]
    assert first["fastEasySlipNumber"] != second["fastEasySlipNumber"]
    assert all(isinstance(value, str) for value in first.values())


def test_inquiry_by_transaction_finds_only_payments_with_that_partner_transaction_id(scb_sandbox):
    bearer = token(scb_sandbox)
    qr = create_qr(scb_sandbox, bearer).json()["data"]["qrRawData"]
    plain, with_id, other = (scb_sandbox.pay(qr, partner_transaction_id=p) for p in (None, PARTNER_ID, "PTX0002"))
    assert inquire(scb_sandbox, bearer, _by_transaction(plain)).json()["data"] == [with_id]
    assert inquire(scb_sandbox, bearer, _by_reference(plain)).json()["data"] == [plain, with_id, other]


@pytest.mark.parametrize(
    "change",
    [
        {"transactionDate": "2001-02-03"},
        {"partnerTransactionId": "PTX0000"},
        {"billerId": "099999999999999"},
        {"reference1": "INV0002"},
        {"reference2": "OTHER"},
        {"amount": "100.51"},
    ],
)
@pytest.mark.parametrize(("unpaid", "status", "nothing_found"), [
    (None, 200, {"status": {"code": 1000, "description": "Success"}, "data": []}),
    ("not_found", 404, {"status": {"code": 1104, "description": "Record not found"}, "data": None}),
], ids=["empty-by-default", "not-found-option"])
def test_inquiry_matches_only_its_payment(scb_sandbox, change, unpaid, status, nothing_found):
    if unpaid is not None:
        scb_sandbox.configure(unpaid_inquiry=unpaid)
    bearer = token(scb_sandbox)
    qr = create_qr(scb_sandbox, bearer).json()["data"]
    payment = scb_sandbox.pay(qr["qrRawData"], partner_transaction_id=PARTNER_ID)
    query = _by_transaction if "partnerTransactionId" in change else _by_all_references
    assert inquire(scb_sandbox, bearer, query(payment)).json()["data"] == [payment]
    reply = inquire(scb_sandbox, bearer, {**query(payment), **change})
    assert (reply.status, reply.json()) == (status, nothing_found)


def test_payment_dates_are_thailands_whatever_the_machines_time_zone(scb_sandbox, far_time_zone):
    bearer = token(scb_sandbox)
    qr = create_qr(scb_sandbox, bearer).json()["data"]["qrRawData"]
    before = datetime.datetime.now(THAILAND)
    now = scb_sandbox.pay(qr)
    after = datetime.datetime.now(THAILAND)
    stamp = datetime.datetime.fromisoformat(now["transactionDateandTime"])
    # The text keeps milliseconds, so the stamp may lie up to one below the clock.
    assert before - datetime.timedelta(milliseconds=1) <= stamp <= after
    assert day_of(now) in {before.date().isoformat(), after.date().isoformat()}
    evening_in_london = scb_sandbox.pay(qr, paid_at="2024-02-29T20:00:00+00:00")
    end_of_day_in_bangkok = scb_sandbox.pay(qr, paid_at=datetime.datetime(2024, 3, 1, 23, 59, 59, 999000, THAILAND))
    assert evening_in_london["transactionDateandTime"] == "2024-03-01T03:00:00.000+07:00"
    found = [inquire(scb_sandbox, bearer, _by_reference({"transactionDateandTime": day})).json()["data"]
             for day in ("2024-02-29", "2024-03-01", "2024-03-02")]
    assert found == [[], [evening_in_london, end_of_day_in_bangkok], []]


def test_payload_without_an_amount_is_paid_the_amount_typed_in(scb_sandbox):
    bearer = token(scb_sandbox)
    payment = scb_sandbox.pay(static_payload(), amount="99", partner_transaction_id=PARTNER_ID)
    assert (payment["amount"], payment["billPaymentRef1"], payment["billPaymentRef2"]) == ("99.00", "INV0001", "")
    found = inquire(scb_sandbox, bearer, {**_by_reference(payment), "amount": "99.0"}).json()["data"]
    assert found == [payment]


def _tampered(qr):
    return qr.replace("INV0001", "INV0002")


@pytest.mark.parametrize(
    ("payload", "arguments", "message"),
    [
        (_tampered, {}, "checksum"),
        (lambda qr: qr[:-8], {}, "checksum"),
        (lambda qr: 42, {}, "checksum"),
        (lambda qr: static_payload(account_tag="29"), {"amount": "1"}, "bill payment"),
        (lambda qr: static_payload(aid="A000000677010111"), {"amount": "1"}, "bill payment"),
        (lambda qr: static_payload(currency="840"), {"amount": "1"}, "764"),
        (lambda qr: static_payload(), {}, "no amount"),
        (lambda qr: static_payload(), {"amount": "1,000"}, "amount"),
        (lambda qr: qr, {"amount": "99.00"}, "fixes the amount"),
        (lambda qr: qr, {"paid_at": datetime.datetime(2024, 2, 29, 12)}, "UTC offset"),
        (lambda qr: qr, {"paid_at": "2024-02-29"}, "UTC offset"),
        (lambda qr: qr, {"paid_at": "29/02/2024"}, "ISO 8601"),
        (lambda qr: qr, {"partner_transaction_id": ""}, "partnerTransactionId"),
    ],
)
def test_pay_refuses_what_a_banking_app_would_refuse(scb_sandbox, payload, arguments, message):
    qr = create_qr(scb_sandbox, token(scb_sandbox)).json()["data"]["qrRawData"]
    with pytest.raises(InvalidPayment, match=message):
        scb_sandbox.pay(payload(qr), **arguments)
    assert scb_sandbox.payments == []


@pytest.mark.parametrize(
    ("params", "field", "code"),
    [
        ({"eventCode": "", "partnerTransactionId": "PTX1", "transactionDate": TODAY}, "eventCode", 1103),
        ({"eventCode": "00300104", "partnerTransactionId": "", "transactionDate": TODAY}, "partnerTransactionId",
         1103),
        ({"eventCode": "00300100", "billerId": BILLER, "reference1": "A", "transactionDate": ""}, "transactionDate",
         1103),
        ({"partnerTransactionId": "PTX1", "transactionDate": TODAY}, "eventCode", 1101),
        ({"eventCode": "00300999", "partnerTransactionId": "PTX1", "transactionDate": TODAY}, "eventCode", 1102),
        ({"eventCode": "00300104", "transactionDate": TODAY}, "partnerTransactionId", 1101),
        ({"eventCode": "00300104", "partnerTransactionId": "PTX1"}, "transactionDate", 1101),
        ({"eventCode": "00300104", "partnerTransactionId": "PTX1", "transactionDate": "2024/01/31"}, "transactionDate",
         1102),
        ({"eventCode": "00300104", "partnerTransactionId": "PTX1", "transactionDate": "2024-02-30"}, "transactionDate",
         1102),
        ({"eventCode": "00300100", "reference1": "INV0001", "transactionDate": TODAY}, "billerId", 1101),
        ({"eventCode": "00300100", "billerId": BILLER, "transactionDate": TODAY}, "reference1", 1101),
        (
            {"eventCode": "00300100", "billerId": BILLER, "reference1": "A", "amount": "ten", "transactionDate": TODAY},
            "amount",
            1102,
        ),
        (
            {"eventCode": "00300100", "billerId": BILLER, "reference1": "A", "amount": "NaN", "transactionDate": TODAY},
            "amount",
            1102,
        ),
    ],
)
def test_inquiry_parameters_are_validated(scb_sandbox, params, field, code):
    assert_failure(inquire(scb_sandbox, token(scb_sandbox), params), 400, code, field)


def test_inquiry_by_post_must_have_an_empty_body(scb_sandbox):
    params = {"eventCode": "00300104", "partnerTransactionId": "PTX1", "transactionDate": TODAY}
    assert_failure(inquire(scb_sandbox, token(scb_sandbox), params, "POST", body=b"{}"), 400, 1102)


def test_paying_through_the_control_endpoint(scb_sandbox):
    qr = create_qr(scb_sandbox, token(scb_sandbox)).json()["data"]["qrRawData"]
    paid = {"qrRawData": qr, "paidAt": "2024-02-29T12:00:00+07:00", "partnerTransactionId": "PTX9"}
    reply = call(scb_sandbox, "POST", "/_sandbox/pay", body=paid)
    assert reply.status == 200
    record = reply.json()["data"]
    assert scb_sandbox.payments == [record]
    assert (record["amount"], record["transactionDateandTime"], record["partnerTransactionId"]) == (
        "100.50", "2024-02-29T12:00:00.000+07:00", "PTX9")
    static = call(scb_sandbox, "POST", "/_sandbox/pay", body={"qrRawData": static_payload(), "amount": "5"})
    assert static.json()["data"]["amount"] == "5.00"
    assert_failure(call(scb_sandbox, "POST", "/_sandbox/pay", body={"qrRawData": _tampered(qr)}), 400, 1102,
                   "checksum")
    assert_failure(call(scb_sandbox, "POST", "/_sandbox/pay", body={"qrRawData": qr, "paidAt": 20240229}), 400,
                   1102, "UTC offset")
    assert_failure(call(scb_sandbox, "POST", "/_sandbox/pay", body={"amount": "1.00"}), 400, 1101, "qrRawData")
    assert_failure(call(scb_sandbox, "POST", "/_sandbox/pay", body=b"{"), 400, 1102)
    assert len(scb_sandbox.payments) == 2


class CallbackReceiver:
    """An ERP's callback URL on loopback: answers with `answers` in turn, then resCode 00; holds its answers back
    while `released` is clear; keeps (time, target, content type, JSON) of what it receives."""

    def __init__(self) -> None:
        self.answers: list[tuple[int, object]] = []
        self.received: list[tuple[float, str, str | None, object]] = []
        self.released = threading.Event()
        self.released.set()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.url = f"http://127.0.0.1:{self.server.server_port}"

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                receiver.received.append((time.monotonic(), self.path, self.headers["Content-Type"], body))
                receiver.released.wait(10)
                status, answer = receiver.answers.pop(0) if receiver.answers else (200, {"resCode": "00"})
                text = answer.encode() if isinstance(answer, str) else json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Length", str(len(text)))
                self.end_headers()
                self.wfile.write(text)

            def log_message(self, *args: object) -> None:
                pass

        return Handler


@pytest.fixture
def receiver():
    receiver = CallbackReceiver()
    thread = threading.Thread(target=receiver.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield receiver
    receiver.released.set()
    receiver.server.shutdown()
    thread.join()
    receiver.server.server_close()


# The members of the bank's payment confirmation of a Thai QR (tag 30) payment.
CONFIRMATION = [
    "transactionType", "payeeProxyId", "payeeProxyType", "payeeAccountNumber", "payeeName", "payerProxyId",
    "payerProxyType", "payerAccountNumber", "payerName", "sendingBankCode", "receivingBankCode", "amount",
    "transactionId", "transactionDateandTime", "billPaymentRef1", "billPaymentRef2", "billPaymentRef3",
    "currencyCode", "channelCode",
]


def paid_with_callback(sandbox, url, **payment):
    """A QR of the default application, with `url` as its callback for the prefix SCB, paid; the payment's record."""
    sandbox.register_application(APP_KEY, APP_SECRET, callback_url=url)
    return sandbox.pay(create_qr(sandbox, token(sandbox), ref3="SCB1234").json()["data"]["qrRawData"], **payment)


@pytest.mark.parametrize("paid_through", ["method", "control endpoint"])
def test_a_payment_is_confirmed_to_the_applications_callback_url_in_the_background(scb_sandbox, receiver,
                                                                                   paid_through):
    url = receiver.url + "/erp/scb?company=7"
    scb_sandbox.register_application(APP_KEY, APP_SECRET, callback_url=url)
    qr = create_qr(scb_sandbox, token(scb_sandbox), ref3="SCB1234").json()["data"]["qrRawData"]
    receiver.released.clear()

    if paid_through == "method":
        payment = scb_sandbox.pay(qr)
    else:
        payment = call(scb_sandbox, "POST", "/_sandbox/pay", body={"qrRawData": qr}).json()["data"]

    # The payment is made while the callback waits for its answer.
    assert [delivery.outcome for delivery in scb_sandbox.callbacks] == ["pending"]
    receiver.released.set()
    assert scb_sandbox.wait_for_callbacks(10)
    confirmation = {name: payment[name] for name in CONFIRMATION}
    assert confirmation["transactionType"] == "Domestic Transfer" and confirmation["billPaymentRef3"] == "SCB1234"
    assert scb_sandbox.callbacks == [
        CallbackDelivery(url, confirmation, (CallbackAttempt(200, {"resCode": "00"}),), "acknowledged")]
    assert [received[1:] for received in receiver.received] == [
        ("/erp/scb?company=7", "application/json", confirmation)]
    assert list(receiver.received[0][3]) == CONFIRMATION


NOT_TAKEN = (200, {"resCode": "10", "resDesc": "send it again later"})


@pytest.mark.parametrize("answers, outcome", [
    ([NOT_TAKEN, (500, "<html>busy</html>"), (503, {"resCode": "00"}), (200, {"resCode": "00"})], "acknowledged"),
    ([NOT_TAKEN] * 4, "given_up"),
    (None, "given_up"),
], ids=["acknowledged-at-last", "never-acknowledged", "nobody-listens"])
def test_a_callback_not_acknowledged_is_sent_again_after_the_delay_then_given_up(scb_sandbox, receiver, answers,
                                                                                  outcome):
    # The bank sends a confirmation again 3 times, 12 seconds apart; the test waits less.
    assert (scb_sandbox.options.callback_retries, scb_sandbox.options.callback_retry_delay) == (3, 12.0)
    scb_sandbox.configure(callback_retry_delay=0.2)
    if answers is None:
        with socket.socket() as unused:
            unused.bind(("127.0.0.1", 0))
            url = f"http://127.0.0.1:{unused.getsockname()[1]}/"
    else:
        receiver.answers = list(answers)
        url = receiver.url

    payment = confirmation_record(paid_with_callback(scb_sandbox, url))

    assert scb_sandbox.wait_for_callbacks(10)
    (delivery,) = scb_sandbox.callbacks
    assert (delivery.record, delivery.outcome) == (payment, outcome)
    if answers is None:
        assert [(attempt.status, attempt.answer) for attempt in delivery.attempts] == [(None, None)] * 4
        assert all("ConnectionRefusedError" in attempt.error for attempt in delivery.attempts)
        return
    assert [(attempt.status, attempt.answer) for attempt in delivery.attempts] == answers
    times = [received[0] for received in receiver.received]
    assert [received[3] for received in receiver.received] == [payment] * 4
    assert all(later - earlier >= 0.2 for earlier, later in zip(times, times[1:]))


def test_a_dropped_callback_is_never_sent_and_faults_of_the_bank_leave_callbacks_alone(scb_sandbox, receiver):
    scb_sandbox.register_application(APP_KEY, APP_SECRET, callback_url=receiver.url)
    qr = create_qr(scb_sandbox, token(scb_sandbox), ref3="SCB1").json()["data"]["qrRawData"]
    scb_sandbox.fault("callback", drop=True, times=1)
    scb_sandbox.fault(None, drop=True)

    dropped, sent = (confirmation_record(scb_sandbox.pay(qr)) for _ in range(2))

    assert scb_sandbox.wait_for_callbacks(10)
    assert [(delivery.record, delivery.outcome, len(delivery.attempts)) for delivery in scb_sandbox.callbacks] == [
        (dropped, "dropped", 0), (sent, "acknowledged", 1)]
    assert [received[3] for received in receiver.received] == [sent]


def test_the_callback_goes_to_the_application_that_made_a_qr_for_the_biller(scb_sandbox, receiver):
    other_biller = "099999999999999"
    scb_sandbox.register_application("erp", "s3cret", callback_url=receiver.url + "/erp")
    erp_token = request_token(scb_sandbox, key="erp", secret="s3cret").json()["data"]["accessToken"]
    theirs = create_qr(scb_sandbox, erp_token, ppId=other_biller, ref3="SCB9").json()["data"]["qrRawData"]
    payments = [paid_with_callback(scb_sandbox, receiver.url + "/default"), scb_sandbox.pay(theirs)]
    assert scb_sandbox.wait_for_callbacks(10)
    scb_sandbox.register_application("erp", "s3cret")
    scb_sandbox.pay(theirs)

    assert scb_sandbox.wait_for_callbacks(10)
    assert [delivery.record for delivery in scb_sandbox.callbacks] == [confirmation_record(p) for p in payments]
    assert sorted((received[1], received[3]["payeeProxyId"]) for received in receiver.received) == [
        ("/default", BILLER), ("/erp", other_biller)]


def test_confirmations_are_routed_by_biller_id_and_reference_3_prefix(scb_sandbox, receiver):
    """Two applications make QR codes for one biller id, each with its own prefix: a payment goes to the longest
    prefix its ref3 starts with, and one whose ref3 starts with none is recorded as undeliverable."""
    scb_sandbox.register_application(APP_KEY, APP_SECRET, callback_url=receiver.url + "/shop", ref3_prefix="SCB")
    scb_sandbox.register_application("pos", "s3cret", callback_url=receiver.url + "/pos", ref3_prefix="SCBPOS")
    pos_token = request_token(scb_sandbox, key="pos", secret="s3cret").json()["data"]["accessToken"]
    qr_codes = [create_qr(scb_sandbox, bearer, ref3=ref3).json()["data"]["qrRawData"]
                for bearer, ref3 in ((token(scb_sandbox), "SCB7"), (pos_token, "SCBPOS7"), (pos_token, "POS7"),
                                     (pos_token, ""))]

    payments = [confirmation_record(scb_sandbox.pay(qr)) for qr in qr_codes]

    assert scb_sandbox.wait_for_callbacks(10)
    assert [(delivery.url, delivery.record, delivery.outcome) for delivery in scb_sandbox.callbacks] == [
        (receiver.url + "/shop", payments[0], "acknowledged"), (receiver.url + "/pos", payments[1], "acknowledged"),
        (None, payments[2], "undeliverable"), (None, payments[3], "undeliverable")]
    assert sorted(received[1] for received in receiver.received) == ["/pos", "/shop"]


@pytest.mark.parametrize("prefix", ["scb", "SCB-1", "S" * 21, 7])
def test_a_reference_3_prefix_the_bank_would_not_register_is_refused(scb_sandbox, prefix):
    with pytest.raises(ValueError, match="Reference-3 prefix"):
        scb_sandbox.register_application(APP_KEY, APP_SECRET, callback_url="https://erp.example/scb",
                                         ref3_prefix=prefix)


@pytest.mark.parametrize("url", ["ftp://127.0.0.1/", "http:///no-host", "http://127.0.0.1:port/", "127.0.0.1:80",
                                 "http://erp.example/scb", "http://10.1.2.3/scb", "http://127.example/"])
def test_a_callback_url_that_is_neither_https_nor_loopback_http_is_refused(scb_sandbox, url):
    with pytest.raises(ValueError, match="callback URL"):
        scb_sandbox.register_application(APP_KEY, APP_SECRET, callback_url=url)


@pytest.mark.parametrize("url", ["https://erp.example/scb", "https://10.1.2.3:8443/", "http://127.0.0.1:8080/scb",
                                 "http://127.0.0.2/", "http://localhost/", "http://[::1]:8080/"])
def test_a_callback_url_over_https_or_to_loopback_is_taken(scb_sandbox, url):
    scb_sandbox.register_application(APP_KEY, APP_SECRET, callback_url=url)


@pytest.mark.parametrize(
    ("body", "content_type", "sent"),
    [
        ({"status": {"code": 9999}}, "application/json", b'{"status":{"code":9999}}'),
        ([1, "two"], "application/json", b'[1,"two"]'),
        ("<html><body>Maintenance</body></html>", "text/html", b"<html><body>Maintenance</body></html>"),
        ("temporarily unavailable", "text/plain", b"temporarily unavailable"),
        (b"\x00\xffraw", "text/plain", b"\x00\xffraw"),
    ],
)
def test_scripted_answer_replaces_the_next_request(scb_sandbox, body, content_type, sent):
    scb_sandbox.script("token", status=503, body=body)
    scripted = request_token(scb_sandbox)
    assert (scripted.status, scripted.header("Content-Type"), scripted.body) == (503, content_type, sent)
    assert scripted.header("Content-Length") == str(len(sent))
    assert request_token(scb_sandbox).status == 200
    assert len(scb_sandbox.issued_tokens) == 1


def test_scripts_are_used_in_order_per_endpoint(scb_sandbox):
    scb_sandbox.script("token", status=500, body="first", times=2)
    scb_sandbox.script("qr", status=418, body="for qr")
    scb_sandbox.script(
        "token", status=502, body="second", headers=[("Content-Type", "text/x-custom"), ("Retry-After", "3")]
    )
    replies = [request_token(scb_sandbox) for _ in range(4)]
    assert [(r.status, r.body) for r in replies[:3]] == [(500, b"first"), (500, b"first"), (502, b"second")]
    assert [v for k, v in replies[2].headers if k.lower() == "content-type"] == ["text/x-custom"]
    assert replies[2].header("Retry-After") == "3"
    assert replies[3].status == 200
    assert create_qr(scb_sandbox, "unused").status == 418


def test_latency_delays_the_answer(scb_sandbox):
    scb_sandbox.fault("token", latency=0.3, times=1)
    started = time.monotonic()
    assert request_token(scb_sandbox).status == 200
    assert time.monotonic() - started >= 0.3
    started = time.monotonic()
    request_token(scb_sandbox)
    assert time.monotonic() - started < 0.3


def test_dropped_connection_gets_no_answer(scb_sandbox):
    scb_sandbox.fault("token", drop=True, times=1)
    with pytest.raises((http.client.HTTPException, OSError)):
        request_token(scb_sandbox)
    assert len(scb_sandbox.requests_to("token")) == 1
    assert request_token(scb_sandbox).status == 200


def test_html_error_page(scb_sandbox):
    status = 502
    scb_sandbox.fault(html_error=status)
    reply = request_token(scb_sandbox)
    assert (reply.status, reply.header("Content-Type")) == (status, "text/html")
    assert reply.body.startswith(b"<html>") and str(status).encode() in reply.body
    assert scb_sandbox.issued_tokens == []


def exchange_raw(sandbox, request, timeout=5.0):
    """Send raw request bytes over TLS and read until the connection ends.

    Returns the bytes received and how it ended: "reset" (a TCP reset), "closed" (end of
    stream or TLS close) or "timeout". TLS runs over memory buffers, so a reset shows as
    itself instead of the end of stream that the ssl module's sockets make of it.
    """
    host, port = sandbox.address.rsplit(":", 1)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ssl.create_default_context(cafile=sandbox.ca_file).wrap_bio(incoming, outgoing, server_hostname=host)
    received, handshaken = b"", False
    with socket.create_connection((host, int(port)), timeout=timeout) as connection:
        while True:
            try:
                if not handshaken:
                    tls.do_handshake()
                    handshaken = True
                    tls.write(request)
                chunk = tls.read(65536)
                if not chunk:
                    return received, "closed"
                received += chunk
                continue
            except ssl.SSLWantReadError:
                pass
            except ssl.SSLZeroReturnError:
                return received, "closed"
            finally:
                if outgoing.pending:
                    connection.sendall(outgoing.read())
            try:
                data = connection.recv(65536)
            except ConnectionResetError:
                return received, "reset"
            except TimeoutError:
                return received, "timeout"
            if not data:
                return received, "closed"
            incoming.write(data)


TOKEN_REQUEST = (
    f"POST {PREFIXES['sandbox']}{TOKEN} HTTP/1.1\r\nHost: bank\r\nContent-Type: application/json\r\n"
    f"resourceOwnerId: {APP_KEY}\r\nrequestUId: u-1\r\n{{connection}}Content-Length: {{length}}\r\n\r\n{{body}}"
)


def raw_token_request(sandbox, timeout=5.0, connection="Connection: close\r\n"):
    """By default the client asks to close, so that reading until the end of the stream ends after the answer."""
    body = json.dumps({"applicationKey": APP_KEY, "applicationSecret": APP_SECRET})
    request = TOKEN_REQUEST.format(connection=connection, length=len(body), body=body)
    return exchange_raw(sandbox, request.encode(), timeout)


SCRIPTED_BODY = json.dumps({"status": {"code": 1000}, "data": {"accessToken": "T" * 2000}}).encode()


@pytest.mark.parametrize("answer", ["scripted", "bank", "error page"])
def test_reset_mid_body_sends_the_head_and_half_the_body_then_resets(scb_sandbox, answer):
    if answer == "scripted":
        scb_sandbox.script("token", body=SCRIPTED_BODY)
    scb_sandbox.fault("token", reset_mid_body=True, html_error=502 if answer == "error page" else None, times=1)
    received, ending = raw_token_request(scb_sandbox)
    assert ending == "reset"
    head, _, body = received.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode().split("\r\n")
    headers = dict(line.split(": ", 1) for line in header_lines)
    assert status_line.split()[1] == ("502" if answer == "error page" else "200")
    assert len(body) == int(headers["Content-Length"]) // 2 > 0
    if answer == "scripted":
        assert body == SCRIPTED_BODY[: len(SCRIPTED_BODY) // 2]
    assert len(scb_sandbox.issued_tokens) == (answer == "bank")
    received, ending = raw_token_request(scb_sandbox)
    assert ending == "closed" and received.startswith(b"HTTP/1.1 200 ")


def request_handlers():
    return [thread for thread in threading.enumerate() if thread.name == "scb-sandbox-request"]


def test_hanging_request_gets_nothing_and_its_handler_ends_when_the_client_gives_up(scb_sandbox):
    scb_sandbox.fault("token", hang=True, times=1)
    started = time.monotonic()
    assert raw_token_request(scb_sandbox, timeout=0.5) == (b"", "timeout")
    assert time.monotonic() - started >= 0.5
    deadline = time.monotonic() + 5
    while request_handlers() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert request_handlers() == []
    assert len(scb_sandbox.requests_to("token")) == 1 and scb_sandbox.issued_tokens == []
    assert request_token(scb_sandbox).status == 200


def test_stop_is_prompt_while_a_request_hangs():
    with Sandbox() as sandbox:
        sandbox.fault(hang=True)
        outcome = []
        client = threading.Thread(target=lambda: outcome.append(raw_token_request(sandbox, timeout=20)))
        client.start()
        deadline = time.monotonic() + 5
        while not sandbox.requests and time.monotonic() < deadline:
            time.sleep(0.01)
        assert sandbox.requests
        started = time.monotonic()
        sandbox.stop()
        assert time.monotonic() - started < 1
    client.join(5)
    assert outcome == [(b"", "closed")]


@pytest.mark.parametrize(
    ("keep_alive", "client_headers", "connections"),
    [(True, {}, 1), (True, {"Connection": "close"}, 3), (False, {}, 3)],
    ids=["kept", "client-closes", "no-keep-alive"],
)
def test_requests_share_a_connection_while_both_sides_keep_it(keep_alive, client_headers, connections):
    with Sandbox(keep_alive=keep_alive) as sandbox:
        client = connect(sandbox)
        try:
            replies = [send_token_request(client, client_headers) for _ in range(3)]
        finally:
            client.close()
        assert [reply.status for reply in replies] == [200] * 3
        assert {reply.header("Connection") for reply in replies} == {None if connections == 1 else "close"}
        assert sandbox.tls_connections == connections


@pytest.mark.parametrize(
    ("intervene", "stays_open"),
    [
        (lambda sandbox: None, True),
        (lambda sandbox: sandbox.fault("token", latency=0.01), True),
        (lambda sandbox: sandbox.script("token", status=503, body="busy"), False),
        (lambda sandbox: sandbox.fault("token", html_error=502), False),
    ],
    ids=["bank", "late-bank", "scripted", "error-page"],
)
def test_only_the_banks_own_answers_leave_the_connection_open(scb_sandbox, intervene, stays_open):
    intervene(scb_sandbox)
    received, ending = raw_token_request(scb_sandbox, timeout=0.5, connection="")
    head = received.partition(b"\r\n\r\n")[0]
    assert head.startswith(b"HTTP/1.1 ")
    assert (ending, b"\r\nConnection: close" in head) == (("timeout", False) if stays_open else ("closed", True))


def test_connection_count_is_served_and_reset_leaves_connections_open(scb_sandbox):
    first, second = connect(scb_sandbox), connect(scb_sandbox)
    try:
        assert [send_token_request(first).status for _ in range(2)] == [200, 200]
        counts = [send(client, "GET", CONNECTIONS).json() for client in (first, second)]
        success = {"code": 1000, "description": "Success"}
        assert counts == [{"status": success, "data": {"tlsConnections": n}} for n in (1, 2)]
        assert (len(scb_sandbox.requests_to("token")), len(scb_sandbox.requests)) == (2, 4)
        scb_sandbox.reset()
        assert send(first, "GET", CONNECTIONS).json()["data"] == {"tlsConnections": 0}
    finally:
        first.close()
        second.close()


@pytest.mark.parametrize("requests_before", [0, 1])
def test_stop_is_prompt_while_a_client_keeps_an_idle_connection(requests_before):
    sandbox = Sandbox().start()
    client = connect(sandbox)
    try:
        client.connect()
        for _ in range(requests_before):
            assert send_token_request(client).header("Connection") is None
        started = time.monotonic()
        sandbox.stop()
        assert time.monotonic() - started < 1
    finally:
        client.close()
        sandbox.stop()


@pytest.mark.parametrize("endpoint, fault", [
    ("token", {"drop": True, "hang": True}),
    ("token", {"drop": True, "reset_mid_body": True}),
    ("token", {"hang": True, "reset_mid_body": True}),
    ("token", {"drop": True, "html_error": 502}),
    ("token", {"hang": True, "html_error": 502}),
    ("callback", {"hang": True}),
    ("callback", {"reset_mid_body": True}),
    ("callback", {"html_error": 502}),
])
def test_contradictory_faults_are_refused(scb_sandbox, endpoint, fault):
    with pytest.raises(ValueError):
        scb_sandbox.fault(endpoint, **fault)
    assert request_token(scb_sandbox).status == 200


def test_request_hook_runs_before_the_answer_and_can_change_it(scb_sandbox):
    seen = []

    def hook(request):
        seen.append((request.endpoint, len(scb_sandbox.requests)))
        scb_sandbox.script("token", status=503, body="scripted by the hook")

    scb_sandbox.on_request("token", hook, times=1)
    everywhere = []
    scb_sandbox.on_request(None, lambda request: everywhere.append(request.endpoint))
    first = request_token(scb_sandbox)
    assert (first.status, first.body) == (503, b"scripted by the hook")
    assert request_token(scb_sandbox).status == 200
    assert create_qr(scb_sandbox, "unknown").status == 401
    assert call(scb_sandbox, "GET", "/elsewhere").status == 404
    assert seen == [("token", 1)]
    assert everywhere == ["token", "token", "qr"]


def test_failing_hook_leaves_the_request_unanswered_and_is_raised_once(scb_sandbox):
    def broken(request):
        raise LookupError("no such row")

    scb_sandbox.on_request("token", broken, times=1)
    assert raw_token_request(scb_sandbox) == (b"", "closed")
    with pytest.raises(RuntimeError) as raised:
        scb_sandbox.raise_hook_errors()
    assert isinstance(raised.value.__cause__, LookupError)
    scb_sandbox.raise_hook_errors()
    assert request_token(scb_sandbox).status == 200


@pytest.mark.parametrize(
    ("fault", "token_statuses", "qr_statuses"),
    [
        ({"endpoint": "qr", "html_error": 500}, [200, 200], [500, 500]),
        ({"endpoint": None, "html_error": 500, "times": 2}, [500, 500], [401, 401]),
        ({"endpoint": "token", "html_error": 500, "times": 1}, [500, 200], [401, 401]),
    ],
)
def test_fault_scope(scb_sandbox, fault, token_statuses, qr_statuses):
    endpoint = fault.pop("endpoint")
    scb_sandbox.fault(endpoint, **fault)
    assert [request_token(scb_sandbox).status for _ in token_statuses] == token_statuses
    assert [create_qr(scb_sandbox, "unknown").status for _ in qr_statuses] == qr_statuses


def test_reset_forgets_everything_but_applications(scb_sandbox, receiver):
    scb_sandbox.register_application("kept", "secret")
    bearer = token(scb_sandbox)
    paid_with_callback(scb_sandbox, receiver.url)
    scb_sandbox.fault(html_error=503)
    scb_sandbox.script("qr", status=500)
    scb_sandbox.reset()
    assert not (scb_sandbox.requests or scb_sandbox.issued_tokens or scb_sandbox.qr_codes or scb_sandbox.payments
                or scb_sandbox.callbacks)
    assert create_qr(scb_sandbox, bearer).status == 401
    assert request_token(scb_sandbox, key="kept", secret="secret").status == 200
    # The application stays, its callback URL does not.
    scb_sandbox.pay(create_qr(scb_sandbox, token(scb_sandbox)).json()["data"]["qrRawData"])
    assert scb_sandbox.callbacks == []


def test_headers_are_recorded_in_order_and_case(scb_sandbox):
    sent = [
        ("Host", scb_sandbox.address),
        ("requestUId", "u-1"),
        ("content-TYPE", "application/json"),
        ("X-Trace", "one"),
        ("resourceOwnerId", APP_KEY),
        ("x-trace", "two"),
        ("Content-Length", "2"),
    ]
    connection = connect(scb_sandbox)
    try:
        connection.putrequest("POST", "/partners/v1/oauth/token?a=1&b=%20", skip_host=True, skip_accept_encoding=True)
        for name, value in sent:
            connection.putheader(name, value)
        connection.endheaders(b"{}")
        connection.getresponse().read()
    finally:
        connection.close()
    (recorded,) = scb_sandbox.requests
    assert recorded.headers == sent
    assert recorded.header("CONTENT-type") == "application/json" and recorded.header("x-trace") == "one"
    assert recorded.header("Authorization") is None
    assert (recorded.method, recorded.body, recorded.target) == ("POST", b"{}", "/partners/v1/oauth/token?a=1&b=%20")
    assert (recorded.path, recorded.query) == ("/partners/v1/oauth/token", "a=1&b=%20")
    assert (recorded.endpoint, recorded.environment) == ("token", "production")


def test_chunked_body_is_read(scb_sandbox):
    credentials = json.dumps({"applicationKey": APP_KEY, "applicationSecret": APP_SECRET}).encode()
    connection = connect(scb_sandbox)
    try:
        chunks = iter([credentials[:10], credentials[10:]])
        connection.request(
            "POST", PREFIXES["sandbox"] + TOKEN, body=chunks, headers=bank_headers(), encode_chunked=True
        )
        assert connection.getresponse().status == 200
    finally:
        connection.close()
    assert scb_sandbox.requests[0].body == credentials


CREDENTIALS = json.dumps({"applicationKey": APP_KEY, "applicationSecret": APP_SECRET})


@pytest.mark.parametrize(
    ("method", "target", "headers", "status", "code"),
    [
        ("GET", "/partners/v1/oauth/token", {}, 405, 9900),
        ("POST", "/partners/v2/oauth/token", {}, 404, 404),
        ("POST", CONNECTIONS, {}, 405, 9900),
        ("POST", "/partners/v1/oauth/token", {"resourceOwnerId": ""}, 400, 9100),
        ("POST", "/partners/v1/oauth/token", {"requestUId": ""}, 400, 9100),
        ("POST", "/partners/v1/oauth/token", {"Content-Type": "application/x-www-form-urlencoded"}, 415, 9900),
        *((method, path, {}, 405, 9900) for method, path in [
            ("PUT", "/partners/v1/oauth/token"), ("PATCH", "/partners/sandbox/v1/payment/qrcode/create"),
            ("DELETE", "/partners/v1/payment/billpayment/inquiry"), ("OPTIONS", "/partners/v1/oauth/token"),
            ("TRACE", CONNECTIONS)]),
        ("PUT", "/partners/v2/oauth/token", {}, 404, 404),
    ],
)
def test_refused_requests_are_recorded_and_answered_in_the_banks_status_shape(scb_sandbox, method, target, headers,
                                                                              status, code):
    assert_failure(call(scb_sandbox, method, target, body=CREDENTIALS, headers={**bank_headers(), **headers}),
                   status, code)
    assert scb_sandbox.requests[0].path == target
    assert scb_sandbox.issued_tokens == []


def test_a_head_request_gets_the_refusal_without_a_body_and_the_connection_goes_on(scb_sandbox):
    connection = connect(scb_sandbox)
    try:
        head = send(connection, "HEAD", PREFIXES["sandbox"] + TOKEN, headers=bank_headers())
        after = send_token_request(connection)
    finally:
        connection.close()
    assert (head.status, head.header("Content-Type"), head.body) == (405, "application/json", b"")
    assert after.status == 200 and scb_sandbox.tls_connections == 1


def test_a_rate_limit_refuses_requests_past_n_a_second_per_api_and_application(scb_sandbox):
    scb_sandbox.configure(rate_limit=3)
    bearer = token(scb_sandbox)
    connection = connect(scb_sandbox)

    def qr_request(owner=APP_KEY):
        headers = {**bank_headers(f"Bearer {bearer}"), "resourceOwnerId": owner}
        return send(connection, "POST", PREFIXES["sandbox"] + QR, body=qr_fields(), headers=headers)

    try:
        burst = [qr_request() for _ in range(4)]
        others = [qr_request("another-application"), send_token_request(connection)]
        time.sleep(0.4)  # a third of a second gives one request back
        later = [qr_request(), qr_request()]
    finally:
        connection.close()
    assert [reply.status for reply in burst] == [200, 200, 200, 429]
    assert_failure(burst[3], 429, 9900)
    assert [reply.status for reply in others + later] == [200, 200, 200, 429]
    assert len(scb_sandbox.qr_codes) == 5


@pytest.mark.parametrize("client", ["none", "own", "own-encrypted-key", "foreign", "own-not-asked-for"])
def test_a_required_client_certificate_is_checked_at_the_handshake(scb_sandbox, tmp_path, client):
    scb_sandbox.configure(require_client_certificate=client != "own-not-asked-for")
    context = ssl.create_default_context(cafile=scb_sandbox.ca_file)
    if client == "foreign":
        foreign = halvenor_scb_lib.sandbox.certs.write_certificates(str(tmp_path))
        context.load_cert_chain(foreign.client_cert_file, foreign.client_key_file)
    elif client == "own-encrypted-key":
        context.load_cert_chain(scb_sandbox.client_cert_file, scb_sandbox.client_encrypted_key_file,
                                password=scb_sandbox.client_key_password)
    elif client != "none":
        context.load_cert_chain(scb_sandbox.client_cert_file, scb_sandbox.client_key_file)
    credentials = {"applicationKey": APP_KEY, "applicationSecret": APP_SECRET}
    target = PREFIXES["sandbox"] + TOKEN
    if client in ("none", "foreign"):
        with pytest.raises((OSError, http.client.HTTPException)):
            call(scb_sandbox, "POST", target, body=credentials, headers=bank_headers(), context=context)
        assert scb_sandbox.requests == [] and scb_sandbox.tls_connections == 0
        return
    assert call(scb_sandbox, "POST", target, body=credentials, headers=bank_headers(), context=context).status == 200
    (request,) = scb_sandbox.requests
    assert request.client_certificate == (None if client == "own-not-asked-for" else "halvenor SCB sandbox client")
    assert scb_sandbox.client_environ(encrypted_key=True) == {
        "SCB_CLIENT_CERT": scb_sandbox.client_cert_file, "SCB_CLIENT_KEY": scb_sandbox.client_encrypted_key_file,
        "SCB_CLIENT_KEY_PASSWORD": scb_sandbox.client_key_password}


def test_certificate_verifies_strictly_and_ca_dir_lifecycle(tmp_path):
    given = tmp_path / "certs"
    with Sandbox(ca_dir=str(given)) as kept, Sandbox() as temporary:
        assert kept.ca_file == str(given / "ca.pem")
        strict = ssl.create_default_context(cafile=kept.ca_file)
        strict.verify_flags |= ssl.VERIFY_X509_STRICT
        assert call(kept, "GET", "/", context=strict).status == 404
        assert temporary.environ() == {
            "SCB_SANDBOX_HOST": temporary.address,
            "SCB_PRODUCTION_HOST": temporary.address,
            "CURL_CA_BUNDLE": temporary.ca_file,
        }
        with pytest.raises(ssl.SSLCertVerificationError):
            call(temporary, "GET", "/", context=ssl.create_default_context(cafile=kept.ca_file))
        temporary_dir = Path(temporary.ca_file).parent
    assert (given / "ca.pem").exists() and not temporary_dir.exists()
    with pytest.raises(RuntimeError):
        kept.environ()


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl command-line tool not installed")
@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_curl_verifies_the_certificate(scb_sandbox, host):
    port = scb_sandbox.address.rsplit(":", 1)[1]
    credentials = json.dumps({"applicationKey": APP_KEY, "applicationSecret": APP_SECRET})
    url = f"https://{host}:{port}{PREFIXES['production']}{TOKEN}"
    headers = ["Content-Type: application/json", f"resourceOwnerId: {APP_KEY}", "requestUId: u"]
    command = ["curl", "-sS", "--fail", "--cacert", scb_sandbox.ca_file, url, "-d", credentials]
    command += [argument for header in headers for argument in ("-H", header)]
    # The sanitizer run preloads its runtime, which the curl tool must not inherit.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    result = subprocess.run(command, capture_output=True, text=True, timeout=10, check=False, env=env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["data"]["accessToken"] == scb_sandbox.issued_tokens[0]


def read_lines(stream, count, timeout=15.0):
    lines = []
    reader = threading.Thread(
        target=lambda: lines.extend(line.rstrip("\n") for line in itertools.islice(stream, count))
    )
    reader.start()
    reader.join(timeout)
    return lines


BANK_OPTIONS = ["--qr-transaction-ids", "--rejected-token-code", "9500", "--merchant-category", "4900",
                "--merchant-name", "ERP SHOP 7", "--qr-image-format", "png", "--unpaid-inquiry", "not_found",
                "--rate-limit", "2", "--require-client-certificate"]


@pytest.mark.parametrize(
    ("stop_signal", "options", "connections"),
    [(signal.SIGTERM, [], 1), (signal.SIGINT, ["--no-keep-alive", *BANK_OPTIONS], 5)],
)
def test_command_line_prints_exports_and_stops_on_signal(receiver, stop_signal, options, connections):
    source_root = Path(halvenor_scb_lib.sandbox.__file__).parents[2]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(source_root), os.environ.get("PYTHONPATH", "")])}
    command = [sys.executable, "-m", "halvenor_scb_lib.sandbox", "--app", "erp:s3cret", "--token-lifetime", "90"]
    command += options
    if options:
        receiver.answers = [NOT_TAKEN]
        command += ["--callback-url", receiver.url + "/hook", "--ref3-prefix", "ERP", "--callback-retries", "1",
                    "--callback-retry-delay", "0"]
    client_variables = {"SCB_CLIENT_CERT", "SCB_CLIENT_KEY"} if options else set()
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env) as process:
        try:
            lines = read_lines(process.stdout, 4 + len(client_variables))
            exports = dict(shlex.split(line)[1].split("=", 1) for line in lines if line.startswith("export "))
            assert set(exports) == {"SCB_SANDBOX_HOST", "SCB_PRODUCTION_HOST", "CURL_CA_BUNDLE", *client_variables}
            assert any("erp" in line and "s3cret" in line for line in lines if line.startswith("#"))
            context = ssl.create_default_context(cafile=exports["CURL_CA_BUNDLE"])
            if options:
                context.load_cert_chain(exports["SCB_CLIENT_CERT"], exports["SCB_CLIENT_KEY"])
            connection = http.client.HTTPSConnection(*exports["SCB_SANDBOX_HOST"].rsplit(":", 1), context=context,
                                                     timeout=5)
            try:
                body = json.dumps({"applicationKey": "erp", "applicationSecret": "s3cret"})
                connection.request("POST", PREFIXES["sandbox"] + TOKEN, body=body, headers=bank_headers())
                issued = json.loads(connection.getresponse().read())["data"]
                assert issued["expiresIn"] == 90
                headers = bank_headers(f"Bearer {issued['accessToken']}")
                connection.request("POST", PREFIXES["sandbox"] + QR, body=json.dumps(qr_fields(ref3="ERP7")),
                                   headers=headers)
                qr = json.loads(connection.getresponse().read())["data"]
                values = dict(decode_tlv(qr["qrRawData"]))
                refused = []
                for _ in range(2):
                    connection.request("POST", PREFIXES["sandbox"] + QR, body=json.dumps(qr_fields()),
                                       headers=bank_headers("Bearer unknown"))
                    refused.append(json.loads(connection.getresponse().read())["status"]["code"])
                # The option's rate limit lets two QR requests through at once, and refuses the third.
                assert (values["52"], values["59"], "transactionId" in qr, qr["qrImage"][:5], refused) == (
                    ("4900", "ERP SHOP 7", True, "iVBOR", [9500, 9900]) if options
                    else ("5999", "SANDBOX BILLER", False, "R0lGO", [9300, 9300]))
                connection.request("GET", CONNECTIONS)
                assert json.loads(connection.getresponse().read())["data"] == {"tlsConnections": connections}
                query = urlencode({"eventCode": "00300104", "partnerTransactionId": "X1", "transactionDate": TODAY})
                connection.request("GET", f"{PREFIXES['sandbox']}{INQUIRY}?{query}", headers=headers)
                unpaid = connection.getresponse()
                assert (unpaid.status, json.loads(unpaid.read())["status"]["code"]) == (
                    (404, 1104) if options else (200, 1000))
                connection.request("POST", "/_sandbox/pay", body=json.dumps({"qrRawData": qr["qrRawData"]}))
                payment = confirmation_record(json.loads(connection.getresponse().read())["data"])
            finally:
                connection.close()
            # Sent twice: the first answer is not an acknowledgement.
            deadline = time.monotonic() + 10
            while options and len(receiver.received) < 2 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert [received[1:] for received in receiver.received] == (
                [("/hook", "application/json", payment)] * 2 if options else [])
            process.send_signal(stop_signal)
            assert process.wait(timeout=10) == 0, process.stderr.read()
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    assert not Path(exports["CURL_CA_BUNDLE"]).exists()


def test_plugin_resets_between_tests_and_sets_environment(pytester):
    pytester.makepyfile(
        """
        import http.client
        import os
        import ssl

        pytest_plugins = ["halvenor_scb_lib.sandbox.pytest_plugin"]

        def test_leaves_state_behind(scb_sandbox):
            scb_sandbox.token_lifetime = 5
            scb_sandbox.fault(html_error=500)
            scb_sandbox.requests.append("junk")

        def test_sees_a_clean_sandbox(scb_sandbox, scb_sandbox_server):
            assert scb_sandbox is scb_sandbox_server
            assert scb_sandbox.requests == [] and scb_sandbox.token_lifetime == 1800
            assert os.environ["SCB_SANDBOX_HOST"] == os.environ["SCB_PRODUCTION_HOST"] == scb_sandbox.address
            assert os.environ["CURL_CA_BUNDLE"] == scb_sandbox.ca_file
            host, port = scb_sandbox.address.split(":")
            context = ssl.create_default_context(cafile=os.environ["CURL_CA_BUNDLE"])
            connection = http.client.HTTPSConnection(host, int(port), context=context, timeout=5)
            connection.request("GET", "/")
            assert connection.getresponse().status == 404
            connection.close()
        """
    )
    pytester.runpytest("-p", "no:cacheprovider").assert_outcomes(passed=2)


def test_plugin_fails_the_test_whose_request_hook_raised(pytester):
    pytester.makepyfile(
        """
        import http.client
        import ssl

        pytest_plugins = ["halvenor_scb_lib.sandbox.pytest_plugin"]

        def test_hook_raises(scb_sandbox):
            def broken(request):
                raise LookupError("no such row")
            scb_sandbox.on_request(None, broken)
            host, port = scb_sandbox.address.split(":")
            context = ssl.create_default_context(cafile=scb_sandbox.ca_file)
            connection = http.client.HTTPSConnection(host, int(port), context=context, timeout=5)
            try:
                connection.request("POST", "/partners/v1/oauth/token", body="{}")
                connection.getresponse()
            except (http.client.HTTPException, OSError):
                pass
            finally:
                connection.close()

        def test_next_test_is_clean(scb_sandbox):
            scb_sandbox.raise_hook_errors()
        """
    )
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=2, errors=1)
    result.stdout.fnmatch_lines(["*LookupError: no such row*"])
