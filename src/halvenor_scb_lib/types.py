"""Shapes of the dictionaries the library returns, for editors and type checkers.

Bank operations answer with the bank's own document or with an error envelope
of the same outer shape: ``{"status": {"code": ..., "description": ...},
"data": ...}``. Code 1000 is success; the envelope codes the library produces
itself are listed in :class:`ErrorCode`. Invoice QR documents are different:
they describe a stored payment intent and carry no ``status`` object.
"""

from __future__ import annotations

import sys
from enum import IntEnum
from typing import Any, Generic, Literal, TypeVar, Union, final

# Generic TypedDicts and NotRequired came with Python 3.11.
if sys.version_info >= (3, 11):
    from typing import NotRequired, TypedDict
else:
    from typing_extensions import NotRequired, TypedDict

__all__ = [
    "SUCCESS_CODE",
    "TOKEN_REJECTED_CODE",
    "TOKEN_REJECTED_CODES",
    "BankAnswer",
    "CancelAnswer",
    "CancelledIntents",
    "ConfirmationAnswer",
    "DatabaseCheck",
    "DatabaseCheckAnswer",
    "DatabaseProblem",
    "ErrorCode",
    "InquiryAnswer",
    "InvoiceQr",
    "InvoiceQrAnswer",
    "Payment",
    "PaymentCheck",
    "PaymentEvent",
    "PaymentOutcome",
    "QrAnswer",
    "QrData",
    "ReconciliationAnswer",
    "Status",
    "TokenAnswer",
    "TokenData",
]

DataT = TypeVar("DataT")

SUCCESS_CODE = 1000
"""``status.code`` of a successful bank answer."""

TOKEN_REJECTED_CODE = 9500
"""The bank's "invalid credentials" code, one of :data:`TOKEN_REJECTED_CODES`; kept for callers that import it."""

TOKEN_REJECTED_CODES = frozenset({9300, 9500})
"""``status.code`` values of an answer that rejects the access token: 9300 (a temporary token invalid or
expired, what the bank documents for an expired, revoked or ended token) and 9500 (invalid credentials).

QR creation by bank account and the inquiry both clear the cached token, renew it and repeat the request
once on an answer with either code (the exact number: 93001 is not one); the inquiry does so on any 401
answer as well.
"""


class ErrorCode(IntEnum):
    """Codes of the error envelopes the library itself produces (never sent by the bank)."""

    DATABASE_ENVIRONMENT = 9001
    """Neither PGHOST nor PGDATABASE is set."""
    DATABASE = 9002
    """No database connection, a failed query, no active configuration, or an intent that could not be stored."""
    CONFIGURATION_NOT_FOUND = 9003
    """No usable bank configuration for the bank account or configuration id."""
    INVALID_CONFIGURATION = 9004
    """The stored configuration is incomplete or unreadable, or the call lacks required parameters."""
    TOKEN_ENDPOINT_UNREACHABLE = 9101
    """No HTTP answer from the bank's token endpoint."""
    BANK_UNREACHABLE = 9102
    """No HTTP answer from the QR or inquiry endpoint."""
    BANK_FAILURE = 9103
    """The bank failed without a status document of its own (for example an HTML error page), or a payment
    check met an inquiry answer that is not a bank answer."""
    TOKEN_NOT_OBTAINED = 9301
    """No access token could be obtained for a cached-token operation."""
    TOKEN_REFUSED = 9302
    """The token endpoint refused the credentials or its answer held no token."""


class Status(TypedDict):
    code: int
    description: str


# Final, so that a type checker narrows an InvoiceQrAnswer with `"intent_id" in answer`.
@final
class BankAnswer(TypedDict, Generic[DataT]):
    """A bank answer or an error envelope; ``data`` is None in envelopes and most failures."""

    status: Status
    data: DataT | None


class QrData(TypedDict, total=False):
    qrRawData: str
    """The Thai QR bill-payment payload to render as a QR code."""
    qrImage: str
    """The same QR as a Base64 image without a ``data:`` prefix: GIF in the bank's answers (and the sandbox's by
    default); tell the format from the bytes."""
    transactionId: str
    """Absent from the bank's v1 answer; stored with an invoice's intent when an answer has one."""


class TokenData(TypedDict, total=False):
    accessToken: str
    tokenType: str
    expiresIn: int
    expiresAt: int


class Payment(TypedDict, total=False):
    """One bill payment found by an inquiry: the record the bank also sends as its payment confirmation."""

    eventCode: str
    transactionType: str
    reverseFlag: str
    payeeProxyId: str
    """The biller id."""
    payeeProxyType: str
    """``"BILLERID"``."""
    payeeAccountNumber: str
    payeeName: str
    payerProxyId: str
    payerProxyType: str
    payerAccountNumber: str
    payerName: str
    sendingBankCode: str
    receivingBankCode: str
    amount: str
    transactionId: str
    """The bank's id of the payment."""
    fastEasySlipNumber: str
    transactionDateandTime: str
    """ISO 8601 in Thailand's time, with milliseconds: ``2026-12-08T14:05:09.120+07:00``."""
    billPaymentRef1: str
    billPaymentRef2: str
    billPaymentRef3: str
    currencyCode: str
    """``"764"``, Thai baht."""
    channelCode: str
    equivalentAmount: str
    equivalentCurrencyCode: str
    exchangeRate: str
    partnerTransactionId: str
    """The partner's transaction id of a payment made with one, which the inquiry by ``transaction_ref`` finds."""


@final
class InvoiceQr(TypedDict):
    """The QR of an invoice's payment intent.

    A newly created intent has no ``status`` and no ``channel``; an intent
    handed back from the database has both, ``status`` being a string such as
    ``"pending"``. ``transaction_id`` is absent when the bank gave none.
    """

    intent_id: int
    reference: str
    amount: float
    qr_payload: NotRequired[str]
    qr_image_base64: NotRequired[str]
    transaction_id: NotRequired[str]
    status: NotRequired[str]
    channel: NotRequired[str]


PaymentOutcome = Literal[
    "confirmed", "already_confirmed", "duplicate_payment", "amount_mismatch", "unmatched", "not_verified", "error"
]
"""What a payment check found: ``confirmed`` (now, exactly once), ``already_confirmed`` (a replay),
``duplicate_payment`` (a second payment for a confirmed intent), ``amount_mismatch`` (verified, not
the intent's amount), ``unmatched`` (no live intent), ``not_verified`` (the bank does not know the
payment), ``error`` (reconciliation only: this intent's check failed)."""


class PaymentCheck(TypedDict):
    """The answer of a payment confirmation, and one entry of a reconciliation's ``data``."""

    outcome: PaymentOutcome
    intent_id: int | None
    invoice_id: int | None
    company_id: int | None
    transaction_id: str | None
    """The bank's id of the payment."""
    paid_amount: float | None
    intent_amount: float | None
    error: NotRequired[BankAnswer[Any]]
    """With outcome ``error``: the envelope of the failure."""


class PaymentEvent(TypedDict):
    """A payment notification, as :func:`halvenor_scb_lib.payment_events` yields it.

    Sent for the outcomes ``confirmed``, ``duplicate_payment``, ``amount_mismatch`` and ``unmatched`` only,
    and only once the change it reports is committed. An ``unmatched`` record was not checked with the bank
    (no intent, so no configuration to ask with): treat its values as what was received. Texts are cut to
    128 bytes.
    """

    outcome: PaymentOutcome
    intent_id: int | None
    invoice_id: int | None
    company_id: int | None
    transaction_id: str
    paid_amount: float
    intent_amount: float | None
    biller_id: str
    reference1: str
    reference2: str
    paid_at: str | None
    """The bank's time of the payment as it wrote it (``transactionDateandTime``), or None when it gave none."""


class CancelledIntents(TypedDict):
    cancelled: list[int]
    """The intents cancelled now."""
    confirmed: list[int]
    """The invoice's confirmed intents, which are never cancelled: the invoice is paid."""


QrAnswer = BankAnswer[QrData]
TokenAnswer = BankAnswer[TokenData]
InquiryAnswer = BankAnswer[list[Payment]]

ReconciliationAnswer = BankAnswer[list[PaymentCheck]]


class DatabaseProblem(TypedDict):
    """Something the module's statements need that an ERP database lacks."""

    kind: Literal["table", "column", "index", "privilege"]
    table: str
    name: str
    """The table, column or recommended index's name, or the privilege (``SELECT``, ``INSERT``, ``UPDATE``,
    ``USAGE`` on the id sequence)."""
    description: str
    mend: str
    """The statement that would mend it."""


class DatabaseCheck(TypedDict):
    """What :func:`~halvenor_scb_lib.check_database` found; ``ok`` when ``problems`` is empty."""

    ok: bool
    role: str
    server_time_zone: str
    """The ``TimeZone`` a session starts with; unless ``server_time_zone_is_utc``, every new session of the
    module sends ``SET TimeZone TO 'UTC'``."""
    server_time_zone_is_utc: bool
    problems: list[DatabaseProblem]


DatabaseCheckAnswer = BankAnswer[DatabaseCheck]

# A confirmation answers with its check, or with an error envelope (9004, 9002, 9301, 9102...).
ConfirmationAnswer = Union[PaymentCheck, BankAnswer[Any]]

# Cancelling an invoice's QR: code 1000 with the intents, or an error envelope (9001, 9002).
CancelAnswer = BankAnswer[CancelledIntents]

# An invoice call answers with an intent, or with the bank's refusal or an error envelope.
InvoiceQrAnswer = Union[InvoiceQr, BankAnswer[Any]]
