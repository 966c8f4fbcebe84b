"""The payment confirmation webhook: the bank's acknowledgement of every outcome, of forged records, of
requests that are no record and of failures. Served, with the sandbox's callbacks, it runs in the demo's test."""

from __future__ import annotations

import http.client
import io
import json
import threading
import time
from collections.abc import Iterator
from typing import Any, NamedTuple
from wsgiref.util import setup_testing_defaults

import pytest

import halvenor_scb_lib as scb
from bank_helpers import UNUSABLE_ANSWERS, for_no_invoice, of_another_amount, replayed, second_payment
from halvenor_scb_lib import webhook

MAX = webhook.MAX_BODY


class CountingStream(io.BytesIO):
    """A request body that counts the bytes read from it."""

    def __init__(self, body: bytes) -> None:
        super().__init__(body)
        self.taken = 0

    def read(self, size: int | None = -1) -> bytes:
        chunk = super().read(size)
        self.taken += len(chunk)
        return chunk


class Answered(NamedTuple):
    status: int
    headers: dict[str, str]
    acknowledgement: dict[str, str]
    bytes_read: int


def post(body: dict[str, Any] | bytes, *, method: str = "POST", content_type: str = "application/json",
         length: str | None = "of the body", terminated: bool = False, keep: list[Any] | None = None) -> Answered:
    """The webhook's answer to a request, called as a WSGI server calls it (the body closed once read); `keep`
    receives the body the application returned."""
    sent = json.dumps(body).encode() if isinstance(body, dict) else body
    stream = CountingStream(sent)
    environ: dict[str, Any] = {"REQUEST_METHOD": method, "CONTENT_TYPE": content_type, "wsgi.input": stream}
    if length is not None:
        environ["CONTENT_LENGTH"] = str(len(sent)) if length == "of the body" else length
    if terminated:
        environ["wsgi.input_terminated"] = True
    setup_testing_defaults(environ)
    started: list[Any] = []
    returned = webhook.application(environ, lambda status, headers: started.extend((status, headers)))
    answer = b"".join(returned)
    if keep is not None:
        keep.append(returned)
    if hasattr(returned, "close"):
        returned.close()
    status, headers = started[0], dict(started[1])
    assert (headers["Content-Type"], headers["Content-Length"]) == ("application/json", str(len(answer)))
    return Answered(int(status.split()[0]), headers, json.loads(answer), stream.taken)


def forged(**changes: str) -> Any:
    def record(shop: Any) -> dict[str, str]:
        shop.invoice(1002)
        return {**shop.paid(1001), **changes}
    return record


RETRY_LATER = "Payment not shown by the bank's inquiry; send it again later"


@pytest.mark.parametrize("make_record, outcome, code, description", [
    (lambda shop: shop.paid(1001), "confirmed", "00", "Payment confirmed"),
    (replayed, "already_confirmed", "00", "Payment already confirmed"),
    (second_payment, "duplicate_payment", "00", "Second payment for an invoice already paid; recorded for follow-up"),
    (of_another_amount, "amount_mismatch", "00", "Amount differs from the invoice's; recorded for follow-up"),
    (for_no_invoice, "unmatched", "00", "No open invoice for this payment; recorded for follow-up"),
    (forged(transactionId="FORGED0000000000001"), "not_verified", "10", RETRY_LATER),
    (forged(amount="2505.00"), "not_verified", "10", RETRY_LATER),
    (forged(billPaymentRef1="INV1002"), "not_verified", "10", RETRY_LATER),
], ids=["confirmed", "replay", "second-payment", "other-amount", "no-invoice", "forged-transaction",
        "forged-amount", "paid-for-another-invoice"])
def test_each_outcome_gets_its_acknowledgement_and_only_a_verified_payment_confirms(shop, make_record, outcome,
                                                                                       code, description):
    record = make_record(shop)
    before = shop.erp.intents()

    answered = post(record)

    after = shop.erp.intents()
    confirm_id = {"confirmId": str(after[0]["id"])} if outcome in ("confirmed", "already_confirmed") else {}
    assert (answered.status, answered.acknowledgement) == (
        200, {"resCode": code, "resDesc": description, "transactionId": record["transactionId"], **confirm_id})
    if outcome == "confirmed":
        assert (after[0]["status"], after[0]["transaction_id"]) == ("confirmed", record["transactionId"])
        after[0] = before[0]
    assert after == before


NOT_A_RECORD = "Invalid payment confirmation record: "


@pytest.mark.parametrize("request_changes, status, code, description", [
    ({"method": "GET"}, 405, "40", "Method GET not allowed: POST the record"),
    ({"method": "PUT"}, 405, "40", "Method PUT not allowed: POST the record"),
    ({"content_type": "text/plain"}, 415, "41", "Content-Type must be application/json (UTF-8)"),
    ({"content_type": ""}, 415, "41", "Content-Type must be application/json (UTF-8)"),
    ({"content_type": "application/json; charset=iso-8859-1"}, 415, "41",
     "Content-Type must be application/json (UTF-8)"),
    ({"length": str(MAX + 1)}, 413, "42", f"Body over {MAX} bytes"),
    ({"length": "-1"}, 400, "43", "Content-Length '-1' is not a number of bytes"),
    ({"length": "12ab"}, 400, "43", "Content-Length '12ab' is not a number of bytes"),
], ids=["get", "put", "text", "no-type", "latin-1", "too-long", "negative-length", "bad-length"])
def test_a_request_that_is_no_posted_json_is_refused_unread(shop, request_changes, status, code, description):
    paid = shop.paid(1001)

    answered = post(paid, **request_changes)

    assert (answered.status, answered.acknowledgement, answered.bytes_read) == (
        status, {"resCode": code, "resDesc": description, "transactionId": ""}, 0)
    assert answered.headers.get("Allow") == ("POST" if status == 405 else None)
    assert shop.intent(1001)["status"] == "pending" and shop.sandbox.requests == []


@pytest.mark.parametrize("body, transaction_id, why", [
    (b"{not json", "", "not JSON"),
    (b"", "", "not JSON"),
    (b"[]", "", "not a JSON object"),
    ({"transactionId": "SBX1", "amount": "abc"}, "SBX1", "payeeProxyId missing or not a text"),
    ("amount", "of the record", "amount missing or not a number of satang"),
    ("transactionDateandTime", "of the record", "transactionDateandTime missing or not a text"),
])
def test_a_body_that_is_not_a_record_gets_400_saying_why(shop, body, transaction_id, why):
    paid = shop.paid(1001)
    if isinstance(body, str):
        body = {name: value for name, value in paid.items() if name != body}
        transaction_id = paid["transactionId"]

    answered = post(body)

    assert (answered.status, answered.acknowledgement) == (
        400, {"resCode": "43", "resDesc": NOT_A_RECORD + why, "transactionId": transaction_id})
    assert shop.intent(1001)["status"] == "pending" and shop.sandbox.requests == []


@pytest.mark.parametrize("size, length, terminated, status, bytes_read", [
    (MAX, "of the body", False, 200, MAX),
    (MAX, None, True, 200, MAX),
    (MAX + 1, None, True, 413, MAX + 1),
    (4 * MAX, None, True, 413, MAX + 1),
    (MAX, "100", False, 400, 100),
    (MAX, None, False, 400, 0),
], ids=["limit", "limit-chunked", "over-chunked", "far-over-chunked", "shorter-length", "no-length"])
def test_no_more_of_the_body_is_read_than_its_length_and_the_limit(shop, size, length, terminated, status,
                                                                   bytes_read):
    # A record padded with blanks, which JSON allows, to the size of the test.
    body = json.dumps(shop.paid(1001)).encode().ljust(size, b" ")

    answered = post(body, length=length, terminated=terminated)

    assert (answered.status, answered.bytes_read) == (status, bytes_read)
    assert shop.intent(1001)["status"] == ("confirmed" if status == 200 else "pending")


@pytest.mark.parametrize("failure, code", [
    ("database", 9002), ("bank", 9102), ("token", 9301), *((name, 9103) for name in UNUSABLE_ANSWERS),
    ("bank-9004", 9004),
])
def test_a_payment_that_cannot_be_checked_now_is_asked_for_again(shop, monkeypatch, failure, code):
    paid = shop.paid(1001)
    if failure == "bank-9004":
        # A 9004 from the bank is about its side (a configuration it cannot use), not about the record.
        shop.sandbox.script("inquiry", status=400,
                            body={"status": {"code": 9004, "description": "Invalid configuration"}})
    else:
        shop.cannot_check(failure, monkeypatch)

    answered = post(paid)

    assert (answered.status, answered.acknowledgement) == (200, {
        "resCode": "20", "resDesc": f"Payment cannot be checked now (error {code}); send it again later",
        "transactionId": paid["transactionId"]})
    assert shop.intent(1001)["status"] == "pending"


@pytest.mark.parametrize("content_type", [
    "application/json", "Application/JSON; charset=UTF-8", "APPLICATION/JSON;charset=utf8",
    'application/json; Charset="Utf-8"',
])
def test_the_media_type_is_read_without_regard_to_case(shop, content_type):
    paid = shop.paid(1001)

    answered = post(paid, content_type=content_type)

    assert (answered.status, answered.acknowledgement["resCode"]) == (200, "00")
    assert shop.intent(1001)["status"] == "confirmed"


def served_post(server: Any, body: bytes) -> tuple[int, dict[str, str]]:
    connection = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    try:
        connection.request("POST", "/", body=body, headers={"Content-Type": "application/json"})
        response = connection.getresponse()
        return response.status, json.loads(response.read())
    finally:
        connection.close()


@pytest.fixture
def served() -> Iterator[Any]:
    server = webhook.make_server()
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join()


@pytest.mark.parametrize("failure", [*UNUSABLE_ANSWERS, "exception"])
def test_a_served_webhook_answers_send_again_later_to_anything_unexpected(shop, served, monkeypatch, caplog,
                                                                         failure):
    paid = shop.paid(1001)
    if failure == "exception":
        def out_of_memory(record: Any) -> Any:
            raise RuntimeError("Out of memory")  # the library's one exception: an internal failure
        monkeypatch.setattr(scb, "confirm_payment", out_of_memory)
    else:
        shop.cannot_check(failure, monkeypatch)

    status, acknowledgement = served_post(served, json.dumps(paid).encode())

    assert status == 200 and acknowledgement["resCode"] == "20"
    assert shop.intent(1001)["status"] == "pending"
    if failure == "exception":
        assert acknowledgement == {"resCode": "20", "transactionId": "",
                                   "resDesc": "Payment cannot be checked now; send it again later"}
        (logged,) = [r for r in caplog.records if r.message == "Payment confirmation could not be handled"]
        assert logged.exc_info is not None and logged.levelname == "ERROR"


class Hooked(NamedTuple):
    answered: Answered
    calls: list[tuple[Any, ...]]


def hooked_post(body: dict[str, Any] | bytes, hook: Any = None, **request: Any) -> Hooked:
    """The answer of make_application(hook) and the hook's calls, each with whether the answer had been read
    whole by then; the body is closed after it was read, as a WSGI server does once the answer is sent."""
    calls: list[tuple[Any, ...]] = []
    sent: list[Any] = []
    application = webhook.make_application(
        hook or (lambda document, record: calls.append((document, record, bool(sent)))))
    original, webhook.application = webhook.application, application
    try:
        answered = post(body, **request, keep=sent)
    finally:
        webhook.application = original
    return Hooked(answered, calls)


CHECKED = {"confirmed": lambda shop: shop.paid(1001), "second-payment": second_payment,
           "no-invoice": for_no_invoice, "forged": forged(transactionId="FORGED0000000000001")}


@pytest.mark.parametrize("make_record", CHECKED.values(), ids=CHECKED)
def test_the_hook_gets_each_checked_outcome_once_the_answer_is_read(shop, monkeypatch, make_record):
    record = make_record(shop)
    answers: list[Any] = []
    checked = scb.confirm_payment
    monkeypatch.setattr(scb, "confirm_payment", lambda body: answers.append(checked(body)) or answers[-1])

    hooked = hooked_post(record)

    assert hooked.answered.acknowledgement["resCode"] in ("00", "10")
    assert hooked.calls == [(answers[0], record, True)]


@pytest.mark.parametrize("request_changes, failure", [
    ({"method": "GET"}, None), ({"content_type": "text/plain"}, None), ({}, "bank"), ({}, "database"),
])
def test_no_hook_for_a_refusal_or_a_payment_that_cannot_be_checked(shop, monkeypatch, request_changes, failure):
    paid = shop.paid(1001)
    if failure:
        shop.cannot_check(failure, monkeypatch)

    hooked = hooked_post(paid, **request_changes)

    assert hooked.answered.acknowledgement["resCode"] in ("40", "41", "20") and hooked.calls == []


def test_a_failing_hook_is_logged_and_changes_nothing(shop, caplog):
    paid = shop.paid(1001)

    def fail(document: Any, record: Any) -> None:
        raise LookupError("no such invoice in the ERP")

    hooked = hooked_post(paid, fail)

    assert (hooked.answered.status, hooked.answered.acknowledgement["resCode"]) == (200, "00")
    assert shop.intent(1001)["status"] == "confirmed"
    (logged,) = [r for r in caplog.records if r.message.startswith("Payment outcome hook failed")]
    assert paid["transactionId"] in logged.message and logged.exc_info[0] is LookupError


def test_a_served_hook_runs_after_the_bank_has_its_answer(shop):
    paid = shop.paid(1001)
    answer_read = threading.Event()
    seen: list[tuple[bool, str]] = []
    server = webhook.make_server(wsgi_application=webhook.make_application(
        lambda document, record: seen.append((answer_read.wait(10), document["outcome"]))))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        status, acknowledgement = served_post(server, json.dumps(paid).encode())
        answer_read.set()
        deadline = time.monotonic() + 10
        while not seen and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        server.shutdown()
        server.server_close()
        thread.join()

    assert (status, acknowledgement["resCode"]) == (200, "00")
    assert seen == [(True, "confirmed")]


def test_a_payment_for_a_cancelled_qr_is_unmatched_heard_and_taken(shop, notifications):
    invoice = shop.invoice(1001)
    assert scb.cancel_invoice_qr(1001, 1)["data"]["cancelled"] == [invoice["intent_id"]]
    replaced = scb.invoice_qr(1001, 1, shop.config_id, "INV1001B", "300.00", shop.bank_account_id)
    late = shop.sandbox.pay(invoice["qr_payload"])

    answered = post(late)

    assert (answered.status, answered.acknowledgement) == (200, {
        "resCode": "00", "resDesc": "No open invoice for this payment; recorded for follow-up",
        "transactionId": late["transactionId"]})
    (heard,) = notifications.heard()
    assert (heard["outcome"], heard["intent_id"], heard["reference1"], heard["paid_amount"]) == (
        "unmatched", None, "INV1001", float(late["amount"]))
    assert [(row["id"], row["status"]) for row in shop.erp.intents()] == [
        (invoice["intent_id"], "cancelled"), (replaced["intent_id"], "pending")]
