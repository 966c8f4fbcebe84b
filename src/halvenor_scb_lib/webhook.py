"""The bank's payment confirmations, received over HTTP: a WSGI application (PEP 3333).

Mount :data:`application` at the URL the bank POSTs its payment confirmation
records to, in any WSGI server (``gunicorn halvenor_scb_lib.webhook:application``)
or under the ERP's own web layer. Each record goes to
:func:`halvenor_scb_lib.confirm_payment`, which confirms the invoice's intent
only when the bank's inquiry shows the payment, and the bank gets its
acknowledgement as JSON: ``{"resCode", "resDesc", "transactionId"}``, with
``confirmId`` (the intent id) when the invoice is confirmed.

======= ====== =====================================================================
resCode HTTP   meaning
======= ====== =====================================================================
"00"    200    taken: confirmed, already confirmed, or recorded in the log for
               follow-up (a second payment, another amount, no known intent);
               the bank must not send it again
"10"    200    not verified: the bank's inquiry does not show the payment; send it again later
"20"    200    cannot be checked now (the database, the token or the bank failed); send it again later
"40"    405    the method is not POST
"41"    415    the content type is not JSON (application/json, UTF-8)
"42"    413    the body is over 64 KiB
"43"    400    the body is not a payment confirmation record (resDesc says why)
======= ====== =====================================================================

The process reaches the database and the bank as every call of the library
does (``PG*``, ``SCB_*_HOST``, ``CURL_CA_BUNDLE``). :func:`make_server` serves
the application with :mod:`wsgiref`, for development and the demo.

:func:`make_application` gives the same application with a hook,
``on_outcome(document, record)``, called in the same process after the
acknowledgement of every record that was checked has been sent.
"""

from __future__ import annotations

import json
import logging
import socketserver
from collections.abc import Callable, Iterable, Iterator, Mapping
from http import HTTPStatus
from typing import Any, NamedTuple
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server as _make_wsgi_server

import halvenor_scb_lib as scb

__all__ = ["MAX_BODY", "OutcomeHook", "application", "make_application", "make_server"]

log = logging.getLogger("halvenor_scb_lib.webhook")

MAX_BODY = 64 * 1024
"""Bytes of the largest body taken; a confirmation record is about one kilobyte."""

TAKEN = "00"
NOT_VERIFIED = "10"
CANNOT_CHECK_NOW = "20"
NOT_POST = "40"
NOT_JSON = "41"
TOO_LARGE = "42"
NOT_A_RECORD = "43"

# The core's description of a 9004 for a body that is not a record, as opposed to a stored configuration it
# cannot use, which also answers 9004 and is worth sending again.
NOT_A_RECORD_PREFIX = "Invalid payment confirmation record: "

TAKEN_DESCRIPTIONS = {
    "confirmed": "Payment confirmed",
    "already_confirmed": "Payment already confirmed",
    "duplicate_payment": "Second payment for an invoice already paid; recorded for follow-up",
    "amount_mismatch": "Amount differs from the invoice's; recorded for follow-up",
    "unmatched": "No open invoice for this payment; recorded for follow-up",
}
CONFIRMED = ("confirmed", "already_confirmed")

StartResponse = Callable[..., Any]
WsgiApplication = Callable[[Mapping[str, Any], StartResponse], Iterable[bytes]]

OutcomeHook = Callable[[Mapping[str, Any], dict[str, Any]], object]
"""``on_outcome(document, record)``: the check's document as :func:`halvenor_scb_lib.confirm_payment` answered it,
and the bank's record as a dict."""


class Reply(NamedTuple):
    status: HTTPStatus
    acknowledgement: dict[str, str]
    headers: tuple[tuple[str, str], ...] = ()
    checked: tuple[Mapping[str, Any], bytes] | None = None
    """The check's document and the record's body, for a record that was checked."""


class Refused(Exception):
    """A request the webhook does not take, answered with this reply without reading further."""

    def __init__(self, reply: Reply) -> None:
        super().__init__(reply.acknowledgement["resDesc"])
        self.reply = reply


def make_application(on_outcome: OutcomeHook | None = None) -> WsgiApplication:
    """The webhook as a WSGI application; with ``on_outcome``, that hook is called for every record that was
    checked (whatever its outcome, ``not_verified`` included; never for a refusal or a failure answered "20").

    The hook runs after the acknowledgement is sent: from the ``close()`` of the returned body, which WSGI
    servers call once the response is out, so a slow hook never delays the bank. An exception in it is logged
    with its traceback on the logger ``halvenor_scb_lib.webhook`` and changes nothing.
    """

    def webhook_application(environ: Mapping[str, Any], start_response: StartResponse) -> Iterable[bytes]:
        """Take one POSTed payment confirmation record and answer the bank's acknowledgement."""
        reply = reply_to_request(environ)
        body = json.dumps(reply.acknowledgement, ensure_ascii=False).encode()
        start_response(f"{reply.status.value} {reply.status.phrase}", [
            ("Content-Type", "application/json"), ("Content-Length", str(len(body))), *reply.headers])
        if on_outcome is None or reply.checked is None:
            return [body]
        return _ThenHook(body, on_outcome, *reply.checked)

    return webhook_application


application = make_application()
"""The webhook without a hook: mount this one when nothing else must happen in the process."""


def reply_to_request(environ: Mapping[str, Any]) -> Reply:
    try:
        reply = reply_to_record(request_body(environ))
    except Refused as refusal:
        reply = refusal.reply
    except Exception:  # whatever went wrong, the bank is told to send the record again
        log.exception("Payment confirmation could not be handled")
        reply = Reply(HTTPStatus.OK, acknowledgement(
            CANNOT_CHECK_NOW, "Payment cannot be checked now; send it again later"))
    if reply.acknowledgement["resCode"] != TAKEN:
        log.warning("Payment confirmation not taken (HTTP %d): %s", reply.status, reply.acknowledgement)
    return reply


class _ThenHook:
    """The acknowledgement's body, then the hook when the server closes it after sending."""

    def __init__(self, body: bytes, hook: OutcomeHook, document: Mapping[str, Any], record: bytes) -> None:
        self.body, self.hook, self.document, self.record = body, hook, document, record

    def __iter__(self) -> Iterator[bytes]:
        yield self.body

    def close(self) -> None:
        try:
            self.hook(self.document, json.loads(self.record))
        except Exception:  # the bank has its answer already; the hook's failure is the ERP's to see
            log.exception("Payment outcome hook failed for transaction %s", self.document.get("transaction_id"))


def acknowledgement(code: str, description: str, transaction_id: str = "") -> dict[str, str]:
    return {"resCode": code, "resDesc": description, "transactionId": transaction_id}


def refused(status: HTTPStatus, code: str, description: str, *headers: tuple[str, str]) -> Refused:
    return Refused(Reply(status, acknowledgement(code, description), headers))


def request_body(environ: Mapping[str, Any]) -> bytes:
    """The body of a POST of JSON within the size limit; Refused for anything else."""
    method = environ.get("REQUEST_METHOD", "")
    if method != "POST":
        raise refused(HTTPStatus.METHOD_NOT_ALLOWED, NOT_POST, f"Method {method} not allowed: POST the record",
                      ("Allow", "POST"))
    if not is_json(environ.get("CONTENT_TYPE", "")):
        raise refused(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, NOT_JSON, "Content-Type must be application/json (UTF-8)")
    return read_limited(environ["wsgi.input"], content_length(environ), bool(environ.get("wsgi.input_terminated")))


def is_json(content_type: str) -> bool:
    media_type, *parameters = content_type.split(";")
    if media_type.strip().lower() != "application/json":
        return False
    for parameter in parameters:
        name, _, value = parameter.partition("=")
        if name.strip().lower() == "charset" and value.strip().strip('"').lower() not in ("utf-8", "utf8"):
            return False
    return True


def content_length(environ: Mapping[str, Any]) -> int | None:
    text = str(environ.get("CONTENT_LENGTH") or "").strip()
    if not text:
        return None
    if not (text.isascii() and text.isdigit()):
        raise refused(HTTPStatus.BAD_REQUEST, NOT_A_RECORD, f"Content-Length {text!r} is not a number of bytes")
    return int(text)


def read_limited(stream: Any, length: int | None, terminated: bool) -> bytes:
    """Up to MAX_BODY bytes of the body; Refused when it is longer.

    Without a Content-Length the body is read only from a server that ends the
    stream at its end (``wsgi.input_terminated``, a chunked request), one byte
    past the limit to tell a longer body; otherwise reading could wait forever,
    so the body counts as empty.
    """
    if length is None:
        length = MAX_BODY + 1 if terminated else 0
    elif length > MAX_BODY:
        raise too_large()
    body = read_exactly(stream, length)
    if len(body) > MAX_BODY:
        raise too_large()
    return body


def too_large() -> Refused:
    return refused(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, TOO_LARGE, f"Body over {MAX_BODY} bytes")


def read_exactly(stream: Any, length: int) -> bytes:
    """`length` bytes, or fewer when the stream ends first: a read may return less than asked for."""
    body = bytearray()
    while len(body) < length:
        chunk = stream.read(length - len(body))
        if not chunk:
            break
        body += chunk
    return bytes(body)


def reply_to_record(body: bytes) -> Reply:
    answer: Mapping[str, Any] = scb.confirm_payment(body)
    outcome = answer.get("outcome")
    if outcome is None:
        return reply_to_failure(answer, body)
    transaction_id = str(answer["transaction_id"])
    if outcome == "not_verified":
        return Reply(HTTPStatus.OK, acknowledgement(
            NOT_VERIFIED, "Payment not shown by the bank's inquiry; send it again later", transaction_id),
            checked=(answer, body))
    taken = acknowledgement(TAKEN, TAKEN_DESCRIPTIONS[outcome], transaction_id)
    if outcome in CONFIRMED:
        taken["confirmId"] = str(answer["intent_id"])
    return Reply(HTTPStatus.OK, taken, checked=(answer, body))


def reply_to_failure(envelope: Mapping[str, Any], body: bytes) -> Reply:
    """The reply to an error envelope: the library's, or the bank's own failure answer to the inquiry."""
    code, description = envelope["status"].get("code"), str(envelope["status"].get("description", ""))
    transaction_id = transaction_id_in(body)
    if code == scb.ErrorCode.INVALID_CONFIGURATION and description.startswith(NOT_A_RECORD_PREFIX):
        return Reply(HTTPStatus.BAD_REQUEST, acknowledgement(NOT_A_RECORD, description, transaction_id))
    return Reply(HTTPStatus.OK, acknowledgement(
        CANNOT_CHECK_NOW, f"Payment cannot be checked now (error {code}); send it again later", transaction_id))


def transaction_id_in(body: bytes) -> str:
    """The record's transactionId, when the body is JSON enough to hold one."""
    try:
        record = json.loads(body)
    except ValueError:  # also a body that is not UTF-8
        return ""
    found = record.get("transactionId") if isinstance(record, dict) else None
    return found if isinstance(found, str) else ""


class _ThreadingServer(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True

    def server_bind(self) -> None:
        # HTTPServer.server_bind would look up the host's FQDN, which can stall on machines without DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.socket.getsockname()[:2]
        self.setup_environ()


class _LoggingHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        log.info("%s %s", self.client_address[0], format % args)


def make_server(host: str = "127.0.0.1", port: int = 0, wsgi_application: WsgiApplication | None = None
                ) -> WSGIServer:
    """The webhook (``application``, or the one given) served by wsgiref on `host` and `port` (0: any free one), a
    thread per request; request lines go to the logger ``halvenor_scb_lib.webhook``. Call ``serve_forever()`` on
    it; for development, not production."""
    wsgi_application = wsgi_application or application
    return _make_wsgi_server(host, port, wsgi_application, server_class=_ThreadingServer,
                             handler_class=_LoggingHandler)
