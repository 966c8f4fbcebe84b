"""The HTTPS transport through its C interface, against the bank sandbox."""

from __future__ import annotations

import ctypes
import json
import re
import socket
from contextlib import closing

import pytest

from cabi import lib, take_text

QR = "/partners/sandbox/v1/payment/qrcode/create"
INQUIRY = "/partners/sandbox/v1/payment/billpayment/inquiry"
CURL_OWN = {"host", "accept", "content-length", "user-agent"}  # what libcurl adds by itself


def texts(values):
    return (ctypes.c_char_p * max(len(values), 1))(*[None if v is None else v.encode() for v in values])


def taken(record):
    """(status, body) of a record, released here; None for a null result."""
    if not record:
        return None
    try:
        raw = ctypes.string_at(record.contents.body, record.contents.body_size + 1)
        assert raw.endswith(b"\0")
        return record.contents.status_code, raw[:-1]
    finally:
        lib.http_response_free(record)


def post(url, body, headers=(), count=None):
    count = len(headers) if count is None else count
    return taken(lib.http_post_json(url.encode(), body.encode(), texts(headers), count))


def get_with_params(url, keys, values, count=None, headers=()):
    count = len(keys) if count is None else count
    return taken(lib.http_get_with_params(url.encode(), texts(keys), texts(values), count, texts(headers),
                                          len(headers)))


def get(url, headers=()):
    return taken(lib.http_get(url.encode(), texts(headers), len(headers)))


def own_headers(request):
    return [(name, value) for name, value in request.headers if name.lower() not in CURL_OWN]


def at(sandbox, path=QR):
    return f"https://{sandbox.address}{path}"


@pytest.mark.parametrize(
    ("lines", "count", "expected"),
    [
        ([], 0, []),
        (["X-First: 1", "x-second: two words"], 2, [("X-First", "1"), ("x-second", "two words")]),
        (["X-First: 1", "X-Unused: 2"], 1, [("X-First", "1")]),
        (["X-Ignored: 1"], -1, []),
    ],
)
def test_post_sends_content_type_first_then_caller_lines_in_order(scb_sandbox, lines, count, expected):
    body = '{"ref1":"ก\\"x","n":1}'
    scb_sandbox.script("qr", status=201, body={"ok": True})
    assert post(at(scb_sandbox), body, lines, count) == (201, b'{"ok":true}')
    (request,) = scb_sandbox.requests
    assert (request.method, request.target, request.body) == ("POST", QR, body.encode())
    assert own_headers(request) == [("Content-Type", "application/json"), *expected]


@pytest.mark.parametrize("value", ["a\rX-Injected: yes", "a\nX-Injected: yes", "a\x7fb", "a\x01b", "a\x1bb"],
                         ids=["bare-cr", "lf", "del", "soh", "escape"])
@pytest.mark.parametrize("send", [lambda sandbox, line: post(at(sandbox), "{}", [line]),
                                  lambda sandbox, line: get(at(sandbox, INQUIRY), [line])], ids=["post", "get"])
def test_a_header_line_holding_a_control_character_sends_nothing(scb_sandbox, capfd, send, value):
    assert send(scb_sandbox, f"X-Test: {value}") is None

    assert scb_sandbox.requests == []
    assert "Refused a header line holding a control character" in capfd.readouterr().err


def test_gets_send_only_the_caller_lines_and_the_plain_get_traces_nothing(scb_sandbox, capfd):
    scb_sandbox.script("inquiry", body="plain", times=2)
    assert get(at(scb_sandbox, INQUIRY), ["Accept-Language: EN", "X-Two: 2"]) == (200, b"plain")
    assert capfd.readouterr().err == ""
    assert get_with_params(at(scb_sandbox, INQUIRY), [], [], headers=["X-Only: 1"]) == (200, b"plain")
    first, second = scb_sandbox.requests
    assert (first.method, first.target, own_headers(first)) == (
        "GET", INQUIRY, [("Accept-Language", "EN"), ("X-Two", "2")])
    assert (second.method, second.target, own_headers(second)) == ("GET", INQUIRY, [("X-Only", "1")])


@pytest.mark.parametrize(
    ("keys", "values", "count", "query"),
    [
        (["a", None, "c"], ["1 2", "x", "é"], 3, "?a=1%202&c=%C3%A9"),
        (["a", "b", "c"], [None, "x", "y"], 3, "?b=x&c=y"),
        (["k&=", "e"], ["-._~AZaz09", ""], 2, "?k&==-._~AZaz09&e="),
        (["v"], ["a/b?c&d=e+f%"], 1, "?v=a%2Fb%3Fc%26d%3De%2Bf%25"),
        (["a", "b"], ["1", "2"], 1, "?a=1"),
        (["a"], ["1"], 0, ""),
        ([None, "b"], ["1", None], 2, "?"),
    ],
    ids=["null-pair-skipped", "first-skipped", "keys-unencoded", "reserved-encoded", "count-limits", "count-0",
         "all-skipped"],
)
def test_query_is_built_and_encoded(scb_sandbox, capfd, keys, values, count, query):
    scb_sandbox.script("inquiry", body="[]")
    assert get_with_params(at(scb_sandbox, INQUIRY), keys, values, count) == (200, b"[]")
    assert scb_sandbox.requests[0].target == INQUIRY + query
    assert f"[SCB API] GET - URL: {at(scb_sandbox, INQUIRY)}{query}\n" in capfd.readouterr().err


@pytest.mark.parametrize(
    ("value", "sent"),
    [("v" * 2044, True), ("v" * 2045, False), ("é" * 340, True), ("é" * 341, False)],
    # "?k=" plus the encoded value: 2,047, 2,048, 2,043 and 2,049 characters.
    ids=["2047-ascii", "2048-ascii", "2043-encoded", "2049-encoded"],
)
def test_query_over_2047_characters_is_refused_before_sending(scb_sandbox, capfd, value, sent):
    scb_sandbox.script("inquiry", body="ok")
    result = get_with_params(at(scb_sandbox, INQUIRY), ["k"], [value])
    if sent:
        assert result == (200, b"ok")
    else:
        assert result is None and scb_sandbox.requests == []
        assert "ERROR: Failed to build URL with parameters\n" in capfd.readouterr().err


@pytest.mark.parametrize(
    ("status", "body"),
    [(404, b'{"status":{"code":4040}}'), (500, b"<html>boom</html>"), (200, b""), (204, b""),
     (200, bytes(range(256)) * 40)],
)
def test_any_completed_exchange_gives_a_record(scb_sandbox, status, body):
    scb_sandbox.script("qr", status=status, body=body)
    scb_sandbox.script("inquiry", status=status, body=body)
    assert post(at(scb_sandbox), "{}") == (status, body)
    assert get_with_params(at(scb_sandbox, INQUIRY), ["a"], ["1"]) == (status, body)


@pytest.mark.parametrize("pad", ["", "x", "xx"])
def test_large_bodies_go_whole_and_only_the_log_lines_are_cut(scb_sandbox, capfdbinary, pad):
    body = (pad + "ก" * 400_000).encode()
    request = '{"ref1":"' + pad + "ก" * 300_000 + '"}'
    scb_sandbox.script("qr", body=body)
    assert post(at(scb_sandbox), request) == (200, body)
    assert scb_sandbox.requests[0].body == request.encode()
    lines = capfdbinary.readouterr().err.split(b"\n")
    for start in (b"[SCB API] POST - URL: ", b"[SCB API] POST response - Status: 200, Body: "):
        (message,) = [line.split(b"DEBUG: ", 1)[1] for line in lines if start in line]
        assert 8189 <= len(message) <= 8191  # 8,191 bytes, or the character boundary before
        message.decode("utf-8")


def closed_port():
    with closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_no_server_gives_null_and_a_curl_error_line(capfd):
    dead = f"https://127.0.0.1:{closed_port()}{QR}"
    assert post(dead, "{}") is None and get(dead) is None and get_with_params(dead, ["a"], ["1"]) is None
    assert capfd.readouterr().err.count("ERROR: CURL error: ") == 3
    lib.http_response_free(None)


def test_null_url_gives_null_and_no_null_text_in_the_log(capfd):
    assert taken(lib.http_post_json(None, b"{}", None, 0)) is None
    assert taken(lib.http_get(None, None, 0)) is None
    assert taken(lib.http_get_with_params(None, texts(["a"]), texts(["1"]), 1, None, 0)) is None
    refused = json.loads(take_text(lib.scb_refresh_token(b"KEY", b"SECRET", None)))
    assert refused["status"]["code"] == 9101
    err = capfd.readouterr().err
    assert err.count("ERROR: Refused a URL whose scheme is not https") == 4 and "(null)" not in err


@pytest.mark.parametrize(
    ("curl_ca_bundle", "ssl_cert_file", "verified"),
    [
        ("sandbox", None, True),
        (None, "sandbox", True),
        # A set CURL_CA_BUNDLE decides even when it names nothing: then the
        # system bundles are searched and SSL_CERT_FILE is never consulted.
        ("missing", "sandbox", False),
        ("", "sandbox", False),
        ("system", "sandbox", False),
        (None, "missing", False),
        (None, None, False),
    ],
)
def test_ca_file_choice(scb_sandbox, monkeypatch, tmp_path, capfd, curl_ca_bundle, ssl_cert_file, verified):
    paths = {"sandbox": scb_sandbox.ca_file, "missing": str(tmp_path / "absent.pem"),
             "system": "/etc/ssl/certs/ca-certificates.crt", "": ""}
    for name, choice in (("CURL_CA_BUNDLE", curl_ca_bundle), ("SSL_CERT_FILE", ssl_cert_file)):
        if choice is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, paths[choice])
    scb_sandbox.script("qr", body="ok")
    result = post(at(scb_sandbox), "{}")
    if verified:
        assert result == (200, b"ok")
    else:
        assert result is None and scb_sandbox.requests == []
        assert "ERROR: CURL error: " in capfd.readouterr().err


def test_redirect_to_https_is_followed(scb_sandbox):
    scb_sandbox.script("qr", status=302, headers=[("Location", at(scb_sandbox, INQUIRY) + "?moved=1")])
    scb_sandbox.script("inquiry", status=202, body="final")
    assert post(at(scb_sandbox), "{}") == (202, b"final")
    assert [request.target for request in scb_sandbox.requests] == [QR, INQUIRY + "?moved=1"]


def test_redirect_to_plain_http_is_refused(scb_sandbox, capfd):
    with closing(socket.socket()) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.setblocking(False)
        target = f"http://127.0.0.1:{listener.getsockname()[1]}/steal"
        scb_sandbox.script("qr", status=307, headers=[("Location", target)])
        assert post(at(scb_sandbox), "{}", ["Authorization: Bearer SECRET-TOKEN"]) is None
        with pytest.raises(BlockingIOError):
            listener.accept()  # the credentials never went out in clear text
    assert "ERROR: CURL error: " in capfd.readouterr().err


@pytest.mark.parametrize("scheme", ["file", "http", "ftp", "none"])
def test_a_url_that_is_not_https_sends_and_reads_nothing(tmp_path, capfd, scheme):
    secret = tmp_path / "secret.txt"
    secret.write_text("LOCAL-SECRET")
    with closing(socket.socket()) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.setblocking(False)
        address = f"127.0.0.1:{listener.getsockname()[1]}"
        url = {"file": f"file://{secret}", "http": f"http://{address}{QR}", "ftp": f"ftp://{address}/x",
               "none": f"{address}{QR}"}[scheme]
        answer = json.loads(take_text(lib.scb_create_qr_full(
            b"KEY", b"TOKEN", url.encode(), b"123456789012345", b"R1", b"R2", b"SCB", 1.0)))
        with pytest.raises(BlockingIOError):
            listener.accept()  # not even a connection, so the token never went out
    assert answer == {"status": {"code": 9102, "description": "Network error: Failed to connect to SCB QR endpoint."},
                      "data": None}
    err = capfd.readouterr().err
    assert "ERROR: Refused a URL whose scheme is not https" in err and "LOCAL-SECRET" not in err


def test_debug_lines_mask_secrets_but_the_record_keeps_them(scb_sandbox, capfd):
    answer = ('{"status":{"code":1000},"data":{"accessToken":"TOKEN-abc","tokenType":"Bearer","expiresIn":1800,'
              '"refreshToken":"REFRESH-abc"}}')
    request = '{"applicationKey":"KEY-1","applicationSecret":"SECRET-xyz"}'
    scb_sandbox.script("token", body=answer)
    scb_sandbox.script("inquiry", body='{"access_token" : "TOKEN-def", "x": "TOKEN-def?", "refresh_token": "R-def"}')
    assert post(at(scb_sandbox, "/partners/sandbox/v1/oauth/token"), request) == (200, answer.encode())
    assert get_with_params(at(scb_sandbox, INQUIRY), ["a"], ["1"])[0] == 200
    assert scb_sandbox.requests[0].body == request.encode()
    err = capfd.readouterr().err
    assert '"applicationKey":"KEY-1","applicationSecret":"***"}\n' in err
    assert 'Status: 200, Body: {"status":{"code":1000},"data":{"accessToken":"***","tokenType":"Bearer"' in err
    assert 'Status: 200, Body: {"access_token" : "***", "x": "TOKEN-def?", "refresh_token": "***"}\n' in err
    assert '"expiresIn":1800,"refreshToken":"***"}}\n' in err
    assert not {"SECRET-xyz", "TOKEN-abc", "REFRESH-abc", "R-def"} & set(re.findall(r"[A-Z]+-[a-z]+", err))
