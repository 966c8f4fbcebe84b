"""Texts the library does not control: what the bank sends, what a caller describes.

Each case here is a fault the fuzz targets in fuzz/ found; their reproducers
sit in the targets' seed corpora as well.
"""

from __future__ import annotations

import json

import pytest

from bank_helpers import envelope
from cabi import lib, take_bytes
from halvenor_scb_lib import _binding

BILLER = "010556012345678"


def raw_envelope(code: int, description: bytes) -> bytes:
    raw = take_bytes(lib.scb_create_error_response(code, description))
    assert raw is not None
    return raw


@pytest.mark.parametrize(
    "description",
    [
        b"caf\xe9 latin-1",              # a byte that starts nothing
        b"cut \xf0\x9f\x98",             # a character cut short at the end
        b"\xe0\xa0x",                    # cut short before another character
        b"\xed\xa0\x80 surrogate",       # a UTF-16 surrogate spelt in UTF-8
        b"\xc0\xaf overlong",            # an overlong form of "/"
        b"\xf4\x90\x80\x80 too high",    # past U+10FFFF
        b"\x80\x80\xbf stray",           # continuation bytes alone
        b"\xef\xbf\xbd already replaced \xff",
    ],
)
def test_envelope_around_broken_utf8_is_readable_and_keeps_every_whole_character(description):
    raw = raw_envelope(9103, description)
    assert json.loads(raw.decode("utf-8")) == envelope(9103, description.decode("utf-8", errors="replace"))


@pytest.mark.parametrize("description", ["", "plain", "ภาษาไทย é 😀 \U0010ffff", "\ufffd", "a\u0080\u07ff\u0800\uffff"])
def test_envelope_keeps_well_formed_text_byte_for_byte(description):
    raw = raw_envelope(9001, description.encode())
    escaped = json.dumps(description, ensure_ascii=False, separators=(",", ":")).encode()
    assert raw == b'{"status":{"code":9001,"description":' + escaped + b'},"data":null}'


def qr_url(sandbox) -> bytes:
    return f"https://{sandbox.address}/partners/sandbox/v1/payment/qrcode/create".encode()


def test_bank_failure_body_in_another_encoding_reaches_the_caller_as_an_envelope(scb_sandbox):
    body = b"<p>\xe9chec du traitement</p>" + "ก".encode() * 200
    scb_sandbox.script("qr", status=502, body=body)
    raw = take_bytes(lib.scb_create_qr_full(b"KEY", b"TOKEN", qr_url(scb_sandbox), BILLER.encode(), b"A", b"B",
                                            b"SCB", 1.0))
    # 26 bytes, then 3-byte characters: 300 bytes end one byte into a character, so the excerpt stops at 299.
    excerpt = body[:299].decode("utf-8", errors="replace")
    assert json.loads(raw.decode("utf-8")) == envelope(9103, f"QR creation failed with status 502. Response: {excerpt}")


@pytest.fixture
def bank_account(erp) -> tuple[int, str]:
    config_id = erp.add_config()
    return config_id, str(erp.add_bank_account(config_id, biller_id=BILLER))


# A line break in a token would end the Authorization header line and start
# one of the bank's choosing in every later request.
CONTROL_TOKENS = ["abc\r\nX-Injected: 1", "abc\nX", "abc\x7f", "abc\tdef", "\x01"]


@pytest.mark.parametrize("token", CONTROL_TOKENS)
def test_cached_flow_refuses_a_token_with_a_control_character(erp, bank_account, token):
    config_id, bank_id = bank_account
    body = b'{"status":{"code":1000,"description":"Success"},"data":{"accessToken":"' + token.encode() + \
        b'","expiresIn":1800}}'
    erp.sandbox.script("token", body=body)
    result = _binding.scb_api_create_qr_by_bank(bank_id, 10, "INV1", "C1")
    assert result == envelope(9301, "Failed to parse access token from response")
    assert erp.sandbox.requests_to("qr") == [] and erp.token_row(config_id)[0] is None


@pytest.mark.parametrize("token", CONTROL_TOKENS)
@pytest.mark.parametrize("answer", [lambda t: {"access_token": t}, lambda t: {"data": {"accessToken": t}}])
def test_invoice_flow_refuses_a_token_with_a_control_character(erp, bank_account, answer, token):
    config_id, bank_id = bank_account
    erp.sandbox.script("token", body=answer(token))  # the control character travels as a JSON escape
    result = _binding.create_qr_for_invoice(7, 1, config_id, "INV0007", 10.0, bank_id)
    assert result == envelope(9302, "No access token in response")
    assert erp.sandbox.requests_to("qr") == [] and erp.intents() == []


def test_rejection_code_right_after_another_code_is_seen(erp, bank_account):
    # The closing quote of the first "code" opens the second.
    _, bank_id = bank_account
    erp.sandbox.script("qr", body=b'"code"code": 9500')
    raw = take_bytes(lib.scb_create_qr_by_bank_account(bank_id.encode(), b"INV1", b"C1", b"SCB", 10.0))
    assert json.loads(raw)["status"]["code"] == 1000
    assert len(erp.sandbox.requests_to("token")) == 2 and len(erp.sandbox.requests_to("qr")) == 2


POST_PROBE = """
import ctypes, halvenor_scb_lib._binding as b
lib = ctypes.CDLL(b.__file__)
lib.http_post_json.restype = ctypes.c_void_p
lib.http_response_free.argtypes = [ctypes.c_void_p]
lib.http_response_free(lib.http_post_json({url!r}, b"{{}}", None, 0))
"""


@pytest.mark.parametrize(
    "body",
    [
        b'{"accessTok\\u0065n":"S3CRET-1"}',                   # the name spelt with an escape
        b'{"data":{"access\\u005ftoken":"S3CRET-1","x":1}}',
        b'{"accessToken":\x0e"S3CRET-1"}',                      # a control byte the JSON reader skips as a blank
        b'{"access_token"\x01:\x1f"S3CRET-1"}',
    ],
)
def test_logged_answer_never_shows_a_token_however_its_member_is_written(scb_sandbox, run_python, body):
    scb_sandbox.script("qr", body=body)
    result = run_python(POST_PROBE.format(url=qr_url(scb_sandbox)), env={"SCB_DEBUG": "1"})
    assert result.returncode == 0, result.stderr
    (line,) = [line for line in result.stderr.splitlines() if "POST response" in line]
    assert '"***"' in line and "S3CRET" not in line
