"""Bill payments as a customer's banking app makes them, and the record the bank keeps of each.

The record has the fields of the bank's payment confirmation, which is also what its
bill-payment inquiry answers with. Times are Thailand's (UTC+07:00, no daylight saving),
whatever the time zone of the machine running the sandbox.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from decimal import Decimal
from typing import Any, Union

from .emvco import BILL_PAYMENT_AID, THAI_BAHT, check_amount, read_payload, read_tlv

THAILAND = datetime.timezone(datetime.timedelta(hours=7))

# The inquiry's two forms; a payment made with a partner transaction id (the bank's
# "B scan C") is found by the first, any bill payment by its references with the second.
EVENT_BY_TRANSACTION = "00300104"
EVENT_BY_REFERENCE = "00300100"

# Who paid, from which bank and through which channel: the record names them, but the
# sandbox has no customer, so these stand in for them, recognisably.
SANDBOX_PAYER = {
    "payerProxyId": "0000000000",
    "payerProxyType": "ACCOUNT",
    "payerAccountNumber": "0000000000",
    "payerName": "SANDBOX PAYER",
}
PAYEE_ACCOUNT_NUMBER = "0000000000"
BANK_CODE = "014"
# What the bank's payment confirmation says of a Thai QR (tag 30) bill payment.
TRANSACTION_TYPE = "Domestic Transfer"
CHANNEL_CODE = "SANDBOX"

# The members of the bank's payment confirmation of a Thai QR (tag 30) payment, in the record's order.
CONFIRMATION_FIELDS = (
    "transactionType", "payeeProxyId", "payeeProxyType", "payeeAccountNumber", "payeeName", "payerProxyId",
    "payerProxyType", "payerAccountNumber", "payerName", "sendingBankCode", "receivingBankCode", "amount",
    "transactionId", "transactionDateandTime", "billPaymentRef1", "billPaymentRef2", "billPaymentRef3",
    "currencyCode", "channelCode",
)

PaymentTime = Union[datetime.datetime, str, None]
"""An aware datetime, ISO 8601 text with its UTC offset, or None for now."""


class InvalidPayment(ValueError):
    """A payment the customer's banking app would refuse: a payload that is no bill payment, or a wrong amount."""


@dataclass(frozen=True)
class Bill:
    """What a banking app reads from a Thai QR bill-payment payload."""

    biller_id: str
    ref1: str
    ref2: str
    ref3: str
    amount: str | None
    merchant_name: str


def scanned_bill(payload: Any) -> Bill:
    try:
        fields = read_payload(payload)
        merchant = read_tlv(fields.get("30", ""))
        additional = read_tlv(fields.get("62", ""))
    except ValueError as error:
        raise InvalidPayment(f"qrRawData is not a QR payload: {error}") from None
    if merchant.get("00") != BILL_PAYMENT_AID or not merchant.get("01") or not merchant.get("02"):
        raise InvalidPayment("qrRawData is no bill payment: tag 30 needs the bill-payment AID, a biller id and ref1")
    if fields.get("53") != THAI_BAHT:
        raise InvalidPayment(f"qrRawData must be in Thai baht (tag 53 {THAI_BAHT})")
    return Bill(merchant["01"], merchant["02"], merchant.get("03", ""), additional.get("07", ""), fields.get("54"),
                fields.get("59", ""))


def paid_amount(bill: Bill, amount: Any) -> Decimal:
    """The payload's amount, or the amount the customer typed in for a payload without one."""
    if amount is None:
        if bill.amount is None:
            raise InvalidPayment("the payload carries no amount: give the amount paid")
        return Decimal(bill.amount)
    try:
        typed = Decimal(check_amount(amount))
    except ValueError as error:
        raise InvalidPayment(f"amount {error}") from None
    if bill.amount is not None and typed != Decimal(bill.amount):
        raise InvalidPayment(f"the payload fixes the amount at {bill.amount}; {amount} cannot be paid")
    return typed


def payment_time(paid_at: PaymentTime) -> datetime.datetime:
    if paid_at is None:
        return datetime.datetime.now(THAILAND)
    if isinstance(paid_at, str):
        try:
            # Python before 3.11 does not read the "Z" of UTC.
            paid_at = datetime.datetime.fromisoformat(paid_at[:-1] + "+00:00" if paid_at.endswith("Z") else paid_at)
        except ValueError:
            raise InvalidPayment(f"paidAt must be ISO 8601 text, got {paid_at!r}") from None
    if not isinstance(paid_at, datetime.datetime) or paid_at.utcoffset() is None:
        raise InvalidPayment("the payment time needs its UTC offset, such as 2024-02-29T10:30:00+07:00")
    return paid_at.astimezone(THAILAND)


def payment_record(
    bill: Bill, amount: Decimal, paid_at: datetime.datetime, transaction_id: str, slip_number: str,
    partner_transaction_id: str,
) -> dict[str, str]:
    baht = f"{amount:.2f}"
    return {
        "eventCode": EVENT_BY_TRANSACTION if partner_transaction_id else EVENT_BY_REFERENCE,
        "transactionType": TRANSACTION_TYPE,
        "reverseFlag": "N",
        "payeeProxyId": bill.biller_id,
        "payeeProxyType": "BILLERID",
        "payeeAccountNumber": PAYEE_ACCOUNT_NUMBER,
        "payeeName": bill.merchant_name,
        **SANDBOX_PAYER,
        "sendingBankCode": BANK_CODE,
        "receivingBankCode": BANK_CODE,
        "amount": baht,
        "transactionId": transaction_id,
        "fastEasySlipNumber": slip_number,
        "transactionDateandTime": paid_at.astimezone(THAILAND).isoformat(timespec="milliseconds"),
        "billPaymentRef1": bill.ref1,
        "billPaymentRef2": bill.ref2,
        "billPaymentRef3": bill.ref3,
        "currencyCode": THAI_BAHT,
        "channelCode": CHANNEL_CODE,
        "equivalentAmount": baht,
        "equivalentCurrencyCode": THAI_BAHT,
        "exchangeRate": "",
        "partnerTransactionId": partner_transaction_id,
    }


def confirmation_record(record: dict[str, str]) -> dict[str, str]:
    """What the bank POSTs to the merchant's URL after a payment: the members its confirmation documents."""
    return {name: record[name] for name in CONFIRMATION_FIELDS}


def payment_date(record: dict[str, str]) -> str:
    """The day of the payment in Thailand, the day the bank files it under."""
    return record["transactionDateandTime"][:10]
