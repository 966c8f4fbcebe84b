"""Small helpers shared by the tests that run against the bank sandbox."""

from __future__ import annotations

import http.client
import json
import ssl
import threading
import time
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import halvenor_scb_lib as scb
from halvenor_scb_lib.sandbox import confirmation_record

SHOP_BILLER = "010556012345678"
INVOICE_AMOUNT = "250.50"


def envelope(code: int, description: str) -> dict[str, Any]:
    """The error envelope as Python sees it once decoded."""
    return {"status": {"code": code, "description": description}, "data": None}


def endpoints(sandbox: Any) -> list[str]:
    """The endpoint of every request the sandbox has received, in order."""
    return [request.endpoint for request in sandbox.requests]


def bank_token(sandbox: Any, key: str = "KEY1", secret: str = "SECRET1") -> str:
    """A token the bank really issued, fetched past the module; the sandbox's request log is cleared after."""
    host, port = sandbox.address.rsplit(":", 1)
    context = ssl.create_default_context(cafile=sandbox.ca_file)
    connection = http.client.HTTPSConnection(host, int(port), context=context, timeout=5)
    try:
        connection.request("POST", "/partners/sandbox/v1/oauth/token",
                           body=json.dumps({"applicationKey": key, "applicationSecret": secret}),
                           headers={"Content-Type": "application/json", "resourceOwnerId": key,
                                    "requestUId": str(uuid.uuid4())})
        token: str = json.loads(connection.getresponse().read())["data"]["accessToken"]
    finally:
        connection.close()
    sandbox.requests.clear()
    return token


@contextmanager
def ticking() -> Iterator[list[float]]:
    """A thread noting the time every 5 ms while the block runs: its ticks show whether the interpreter was free."""
    ticks: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        yield ticks
    finally:
        stop.set()
        ticker.join()


class Notifications:
    """A listener on the channel scb_payment of its own (psycopg), to count what the module sends."""

    def __init__(self, pg: Any) -> None:
        self.connection = pg.connect()
        self.connection.execute("LISTEN scb_payment")

    def heard(self, wait: float = 0.5) -> list[dict[str, Any]]:
        """The notifications that arrived, and those arriving within `wait` seconds, in order."""
        return [json.loads(notify.payload) for notify in self.connection.notifies(timeout=wait)]

    def close(self) -> None:
        self.connection.close()


def notified(answer: dict[str, Any], record: dict[str, str], biller_id: str = SHOP_BILLER) -> dict[str, Any]:
    """The notification of a check that answered `answer` for the bank's `record`."""
    return {**answer, "biller_id": biller_id, "reference1": record["billPaymentRef1"],
            "reference2": record["billPaymentRef2"], "paid_at": record["transactionDateandTime"]}


class Shop:
    """One configuration and bank account, with invoice QRs made through the module."""

    def __init__(self, erp: Any) -> None:
        self.erp = erp
        self.sandbox = erp.sandbox
        self.config_id = erp.add_config()
        self.bank_account_id = erp.add_bank_account(self.config_id, biller_id=SHOP_BILLER)

    def invoice(self, invoice_id: int, amount: str = INVOICE_AMOUNT) -> dict[str, Any]:
        answer = scb.invoice_qr(invoice_id, 1, self.config_id, f"INV{invoice_id}", amount, self.bank_account_id)
        assert "intent_id" in answer, answer
        return dict(answer)

    def paid(self, invoice_id: int, **payment: Any) -> dict[str, str]:
        """The invoice's QR paid at the bank; its payment confirmation, as the bank sends it."""
        paid = confirmation_record(self.sandbox.pay(self.invoice(invoice_id)["qr_payload"], **payment))
        self.sandbox.requests.clear()
        return paid

    def intent(self, invoice_id: int) -> dict[str, Any]:
        (row,) = self.erp.intents(invoice_id)
        return row

    def cannot_check(self, failure: str, monkeypatch: Any) -> None:
        """Takes away what a payment check needs: the "database", the "bank", a "token", or an inquiry
        answer that is no bank answer (one of UNUSABLE_ANSWERS)."""
        if failure == "database":
            monkeypatch.setenv("PGPORT", "9")
        elif failure == "bank":
            self.sandbox.fault("inquiry", drop=True)
        elif failure in UNUSABLE_ANSWERS:
            status, body = UNUSABLE_ANSWERS[failure]
            self.sandbox.script("inquiry", status=status, body=body)
        else:
            self.erp.pg.execute("UPDATE scb_api_config SET access_token = NULL")
            self.sandbox.fault("token", drop=True)


# Inquiry answers no payment check can read, with the error envelope they give.
UNREADABLE = envelope(9103, "Unreadable payment inquiry answer")
NOT_A_BANK_ANSWER = envelope(9103, "Payment inquiry answer is not a bank answer")
UNUSABLE_ANSWERS: dict[str, tuple[int, Any]] = {
    "garbage": (200, "<html>maintenance</html>"),
    "no-status": (200, {"data": []}),
    "status-text": (503, {"status": "maintenance"}),
    "code-text": (200, {"status": {"code": "1000", "description": "Success"}, "data": []}),
    "code-fraction": (200, {"status": {"code": 1000.5, "description": "Success"}, "data": []}),
    "no-list": (200, {"status": {"code": 1000, "description": "Success"}, "data": {"transactionId": "X"}}),
    "list": (200, []),
}
UNUSABLE_ENVELOPES = {name: UNREADABLE if name == "garbage" else NOT_A_BANK_ANSWER for name in UNUSABLE_ANSWERS}


# Records of each outcome of a check, for invoice 1001 of a Shop.
def replayed(shop: Shop) -> dict[str, str]:
    paid = shop.paid(1001)
    assert scb.confirm_payment(paid)["outcome"] == "confirmed"
    return paid


def second_payment(shop: Shop) -> dict[str, str]:
    replayed(shop)
    paid: dict[str, str] = shop.sandbox.pay(shop.intent(1001)["qr_payload"])
    return paid


def of_another_amount(shop: Shop) -> dict[str, str]:
    paid = shop.paid(1001)
    shop.erp.pg.execute("UPDATE scb_payment_intent SET amount = 300 WHERE invoice_id = 1001")
    return paid


def for_no_invoice(shop: Shop) -> dict[str, str]:
    return {**shop.paid(1001), "billPaymentRef1": "INV9999"}
