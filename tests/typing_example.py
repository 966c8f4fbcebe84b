"""How ERP code uses the library with a type checker; checked with mypy --strict by the test suite."""

from __future__ import annotations

import datetime
from decimal import Decimal

import halvenor_scb_lib as scb
from halvenor_scb_lib.types import TOKEN_REJECTED_CODE, TOKEN_REJECTED_CODES, InvoiceQr, Payment, QrData, Status


def qr_payload_for_account(bank_account_id: int, amount: Decimal) -> str | None:
    answer = scb.create_qr_by_bank_account(bank_account_id, amount, "INV0001", "CUST42")
    status: Status = answer["status"]
    if status["code"] != scb.SUCCESS_CODE:
        return None
    data: QrData | None = answer["data"]
    return None if data is None else data.get("qrRawData")


def invoice_payload(invoice_id: int, amount: str) -> str:
    answer = scb.invoice_qr(invoice_id, 1, "3", "INV1001", amount, "7", ref3="ERP1")
    if "intent_id" not in answer:
        raise RuntimeError(answer["status"]["description"])
    intent: InvoiceQr = answer
    return intent.get("qr_payload", "")


def payments_today(config_id: int, biller_id: str, reference: str) -> list[Payment]:
    answer = scb.payment_inquiry(
        config_id, biller_id=biller_id, reference1=reference, amount=250, transaction_date=datetime.date.today()
    )
    return (answer["data"] or []) if scb.is_success(answer) else []


def paid_references(config_id: int, partner_transaction_id: str) -> list[tuple[str, str, str]]:
    answer = scb.payment_inquiry(config_id, transaction_ref=partner_transaction_id)
    payments: list[Payment] = answer["data"] or []
    return [(p["billPaymentRef1"], p["amount"], p["transactionDateandTime"][:10]) for p in payments]


def token_lifetime(config_id: str) -> int:
    answer = scb.refresh_token(config_id)
    data = answer["data"]
    return 0 if data is None else data.get("expiresIn", 0)


def raw_methods() -> tuple[str, dict[str, object]]:
    placeholder: str = scb.scb_api_create_qr("7", 100.5, "INV1")
    inquiry = scb.scb_api_payment_inquiry("1", transaction_ref="TX1")
    return placeholder, inquiry


def database_mends() -> list[str]:
    check = scb.check_database()["data"]
    return [] if check is None or check["ok"] else [problem["mend"] for problem in check["problems"]]


def confirmed_by_reconciling(config_id: int) -> list[int | None]:
    answer = scb.reconcile_intents(config_id, days=2, max_rate=5)
    return [check["invoice_id"] for check in answer["data"] or [] if check["outcome"] == "confirmed"]


def token_rejected(code: int) -> bool:
    return code in TOKEN_REJECTED_CODES or code == TOKEN_REJECTED_CODE


def error_kind(code: int) -> str:
    try:
        return scb.ErrorCode(code).name
    except ValueError:
        return "bank"


VERSION: str = scb.__version__


def paid_invoices(timeout: float) -> list[int]:
    events = scb.payment_events(timeout)
    return [event["invoice_id"] for event in events if event["outcome"] == "confirmed" and event["invoice_id"]]


def cancelled_intents(invoice_id: int) -> list[int]:
    data = scb.cancel_invoice_qr(invoice_id, 1)["data"]
    return [] if data is None else data["cancelled"]
