"""Bill-payment QR codes, cached bank tokens and payment inquiry for an ERP
whose data lives in PostgreSQL, over the bank's partner API.

The methods of the native extension are re-exported unchanged. Next to
them stand keyword-friendly functions that take ids as ``int`` or ``str`` and
amounts as ``float``, ``int``, :class:`~decimal.Decimal` or ``str``, check
them before anything reaches the bank, and are typed with the answer shapes of
:mod:`halvenor_scb_lib.types`.

The database is reached through the standard ``PG*`` environment variables;
the bank hosts come from ``SCB_PRODUCTION_HOST`` / ``SCB_SANDBOX_HOST`` and the
CA file from ``CURL_CA_BUNDLE``. Bank, network and database failures come back
as answers whose ``status.code`` is not 1000 (see :func:`is_success`); only
internal failures raise ``RuntimeError``.

Log lines go to standard error; :func:`use_python_logging` sends them to the
``logging`` logger named ``halvenor_scb_lib`` instead.

With ``SCB_REUSE_CONNECTIONS=1`` each thread keeps its database connection and
its TLS connections to the bank open between calls; :func:`close_connections`
closes them, and they are closed at interpreter exit.
"""

from __future__ import annotations

import atexit
import datetime
import json
# Imported before the exit handlers below are registered, so that logging's
# own (which flushes and closes the handlers) runs after them.
import logging  # noqa: F401
from collections.abc import Generator, Mapping
from decimal import Decimal
from importlib import metadata
from typing import TYPE_CHECKING, Any, Union, cast

from halvenor_scb_lib._binding import (
    close_connections,
    close_payment_events,
    create_qr_for_invoice,
    scb_api_check_database,
    listen_payment_events,
    next_payment_event,
    scb_api_cancel_invoice_qr,
    scb_api_check_payment,
    scb_api_confirm_payment,
    scb_api_create_qr,
    scb_api_create_qr_by_bank,
    scb_api_create_qr_full,
    scb_api_payment_inquiry,
    scb_api_reconcile_intents,
    scb_api_refresh_token,
    use_python_logging,
)
from halvenor_scb_lib.arguments import (
    ID_MAX,
    amount_float,
    amount_text,
    check_id,
    check_text,
    inquiry_date,
    optional_text,
)
from halvenor_scb_lib.types import (
    SUCCESS_CODE,
    CancelAnswer,
    ConfirmationAnswer,
    DatabaseCheckAnswer,
    ErrorCode,
    InquiryAnswer,
    InvoiceQrAnswer,
    PaymentEvent,
    QrAnswer,
    ReconciliationAnswer,
    TokenAnswer,
)

if TYPE_CHECKING:
    from halvenor_scb_lib._binding import PaymentListener

try:
    __version__ = metadata.version("halvenor_scb_lib")
except metadata.PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "SUCCESS_CODE",
    "Amount",
    "ErrorCode",
    "Id",
    "__version__",
    "check_database",
    "cancel_invoice_qr",
    "close_connections",
    "close_payment_events",
    "confirm_payment",
    "create_qr",
    "create_qr_by_bank_account",
    "create_qr_for_invoice",
    "invoice_qr",
    "is_success",
    "listen_payment_events",
    "next_payment_event",
    "payment_events",
    "payment_inquiry",
    "reconcile_intents",
    "refresh_token",
    "scb_api_check_database",
    "scb_api_cancel_invoice_qr",
    "scb_api_check_payment",
    "scb_api_confirm_payment",
    "scb_api_create_qr",
    "scb_api_create_qr_by_bank",
    "scb_api_create_qr_full",
    "scb_api_payment_inquiry",
    "scb_api_reconcile_intents",
    "scb_api_refresh_token",
    "use_python_logging",
]

# Exit handlers run last registered first. Kept connections end with an
# orderly close rather than a dropped socket, their lines still logged as
# configured; then log lines go back to standard error, since threads left
# running cannot enter the interpreter once it shuts down.
atexit.register(use_python_logging, False)
atexit.register(close_connections)

Amount = Union[float, int, Decimal, str]
"""What the wrappers accept as an amount in baht."""

Id = Union[int, str]
"""What the wrappers accept as a database id: an int, or a str holding a decimal integer."""


def create_qr_by_bank_account(bank_account_id: Id, amount: Amount, ref1: str, ref2: str, ref3: str = "SCB") -> QrAnswer:
    """Create a bill-payment QR for one of the ERP's bank accounts.

    The bank configuration (credentials, biller id, environment) is read from
    the ERP database through the bank account; the access token cached there
    is reused while it is valid and renewed when it is stale or rejected.

    >>> answer = create_qr_by_bank_account(1, "100.50", "INV0001", "CUST42")
    >>> if is_success(answer): payload = answer["data"]["qrRawData"]  # doctest: +SKIP

    The references must be what the bank accepts (A-Z and 0-9, at most 20
    characters); the bank's refusal comes back as the answer.
    """
    account = str(check_id(bank_account_id, "bank_account_id"))
    money = amount_float(amount)
    answer = scb_api_create_qr_by_bank(
        account, money, check_text(ref1, "ref1"), check_text(ref2, "ref2"), check_text(ref3, "ref3")
    )
    return cast(QrAnswer, answer)


def create_qr(
    *,
    api_key: str,
    access_token: str,
    qr_create_url: str,
    biller_id: str,
    amount: Amount,
    ref1: str,
    ref2: str,
    ref3: str = "SCB",
) -> QrAnswer:
    """Create a bill-payment QR with credentials and a token the caller already holds.

    Nothing is read from or written to the database. ``qr_create_url`` is the
    bank's full QR creation URL and ``access_token`` a token it issued for
    ``api_key``.
    """
    answer = scb_api_create_qr_full(
        check_text(api_key, "api_key"),
        check_text(access_token, "access_token"),
        check_text(qr_create_url, "qr_create_url"),
        check_text(biller_id, "biller_id"),
        amount_float(amount),
        check_text(ref1, "ref1"),
        check_text(ref2, "ref2"),
        check_text(ref3, "ref3"),
    )
    return cast(QrAnswer, answer)


def refresh_token(config_id: Id) -> TokenAnswer:
    """Ask the bank for a new access token for a stored configuration.

    Useful to check credentials: the token is returned, not stored in the database.
    """
    return cast(TokenAnswer, scb_api_refresh_token(str(check_id(config_id, "config_id"))))


def payment_inquiry(
    config_id: Id,
    *,
    transaction_ref: str | None = None,
    biller_id: str | None = None,
    reference1: str | None = None,
    reference2: str | None = None,
    amount: Amount | None = None,
    transaction_date: str | datetime.date | None = None,
) -> InquiryAnswer:
    """Ask the bank which bill payments arrived, by transaction id or by biller id and references.

    Give either ``transaction_ref`` (a payment's ``partnerTransactionId``) or both
    ``biller_id`` and ``reference1``; ``reference2`` and ``amount`` narrow the
    search. ``transaction_date`` defaults to today's date in Thailand (UTC+07:00). The payments
    found are the list in ``data``.
    """
    answer = scb_api_payment_inquiry(
        str(check_id(config_id, "config_id")),
        transaction_ref=optional_text(transaction_ref, "transaction_ref"),
        biller_id=optional_text(biller_id, "biller_id"),
        reference1=optional_text(reference1, "reference1"),
        reference2=optional_text(reference2, "reference2"),
        amount=None if amount is None else amount_text(amount),
        transaction_date=inquiry_date(transaction_date),
    )
    return cast(InquiryAnswer, answer)


def invoice_qr(
    invoice_id: Id,
    company_id: Id,
    config_id: Id,
    reference: str,
    amount: Amount,
    bank_account_id: Id,
    *,
    ref3: str = "SCB",
) -> InvoiceQrAnswer:
    """The payment QR of an invoice: created at the bank once, then handed back from the database.

    The first call creates the QR through the bank account's configuration and
    stores it as the invoice's payment intent; later calls for the same invoice
    and company return that intent (with ``"status": "pending"``) without
    contacting the bank, whatever amount or reference they pass. ``config_id``
    is recorded on the intent. ``ref3`` is the QR's third reference: the bank
    sends the payment confirmation to the URL registered for the biller id and
    the Reference-3 prefix it starts with, so it must begin with the prefix
    registered for the ERP's webhook. Raises ``RuntimeError`` when the database
    cannot be reached.
    """
    answer = create_qr_for_invoice(
        invoice_id=check_id(invoice_id, "invoice_id"),
        company_id=check_id(company_id, "company_id"),
        config_id=check_id(config_id, "config_id"),
        reference=check_text(reference, "reference"),
        amount=amount_float(amount),
        bank_account_id=str(check_id(bank_account_id, "bank_account_id")),
        ref3=check_text(ref3, "ref3"),
    )
    return cast(InvoiceQrAnswer, answer)


def confirm_payment(record: Mapping[str, Any] | str | bytes) -> ConfirmationAnswer:
    """Take the bank's payment confirmation record and confirm the invoice it pays, exactly once.

    ``record`` is what the bank POSTed: a dict, or its JSON text as ``str`` or
    ``bytes``. The payment is matched to the newest live intent of the biller id
    and reference (``billPaymentRef2`` "INVOICE"), verified with the bank's
    inquiry, and the intent confirmed when the amount is the intent's to the
    satang. The answer's ``outcome`` says what happened (see
    :data:`~halvenor_scb_lib.types.PaymentOutcome`); a text that is not such a
    record gets the envelope 9004, and a database, token or bank failure its
    envelope, with nothing changed.
    """
    if isinstance(record, Mapping):
        text = json.dumps(record).encode()
    elif isinstance(record, str):
        # A lone surrogate passes through as the bytes that are not UTF-8.
        text = record.encode("utf-8", "surrogatepass")
    elif isinstance(record, (bytes, bytearray, memoryview)):
        text = bytes(record)
    else:
        raise TypeError(f"record must be a dict, str or bytes, not {type(record).__name__}")
    return cast(ConfirmationAnswer, scb_api_confirm_payment(text))


def reconcile_intents(config_id: Id, days: int = 3, max_rate: int | None = None) -> ReconciliationAnswer:
    """Find the payments whose confirmation never arrived and confirm their invoices.

    Every pending intent of the configuration created within the last ``days``
    days in Thailand's time (today included) is checked with the bank's
    inquiry and confirmed as :func:`confirm_payment` would; ``data`` holds one
    document per intent checked, in intent id order. Several reconcilers may
    run at once: each intent is checked by one of them at a time.

    ``max_rate`` paces the run for a bank that limits its requests (its
    sandbox takes 5 a second per API): the inquiries, a retry included, start
    at most that many a second, evenly spaced. ``None`` sends them as they come;
    an intent whose inquiry the bank refused for the rate has outcome ``error``
    and is checked again by the next run.
    """
    return cast(ReconciliationAnswer, scb_api_reconcile_intents(
        check_id(config_id, "config_id"), _count(days, "days"), 0 if max_rate is None else _count(max_rate, "max_rate")
    ))


def _count(value: object, name: str) -> int:
    """A whole number of at least 1 that the extension takes as a C int."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    if value > ID_MAX:
        raise ValueError(f"{name} {value} is too large")
    return value


def check_database() -> DatabaseCheckAnswer:
    """Check, without changing anything, the ERP database the ``PG*`` variables name.

    ``data["problems"]`` lists each table or column the module uses that is missing or of
    another type, each recommended index no existing index covers, and each privilege the
    connecting role lacks, with the statement that would mend it; ``data["ok"]`` is true when
    there is none. A database that cannot be reached answers its envelope (9001, 9002).
    """
    return cast(DatabaseCheckAnswer, scb_api_check_database())


def cancel_invoice_qr(invoice_id: Id, company_id: Id) -> CancelAnswer:
    """Retire the QR of an invoice whose amount changed or which was cancelled.

    The invoice's pending intents are marked ``cancelled``, so the next
    :func:`invoice_qr` creates a new QR at the bank; a payment that still comes
    for a cancelled QR is ``unmatched``. A confirmed intent is never cancelled:
    the invoice is paid. ``data`` holds the ids: ``{"cancelled": [...],
    "confirmed": [...]}``. A cancel and a confirmation at once leave the intent
    either confirmed or cancelled, never both.
    """
    answer = scb_api_cancel_invoice_qr(check_id(invoice_id, "invoice_id"), check_id(company_id, "company_id"))
    return cast(CancelAnswer, answer)


def payment_events(timeout: float | None = None) -> Generator[PaymentEvent, None, None]:
    """The payment notifications of the module, as they come: a generator of dicts.

    Listening starts when this is called, on a database session of its own
    (the ``PG*`` variables; a direct or session-pooled connection, since a
    transaction-pooling PgBouncer cannot carry ``LISTEN``), so no event sent
    after the call is missed even if iteration starts later. Each event is a
    :class:`~halvenor_scb_lib.types.PaymentEvent`, heard only once the change
    it reports is committed. The generator ends when ``timeout`` seconds pass
    without an event (``None``: never); closing it closes the session. Raises
    ``ConnectionError`` when the database cannot be reached, and from the
    generator when the session is lost while waiting: listen again, then
    reconcile, since events sent meanwhile were not heard.
    """
    if timeout is not None:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
        if not timeout >= 0:
            raise ValueError(f"timeout must be at least 0 seconds, got {timeout}")
    return _events(listen_payment_events(), timeout)


def _events(listener: PaymentListener, timeout: float | None) -> Generator[PaymentEvent, None, None]:
    try:
        while (event := next_payment_event(listener, timeout)) is not None:
            yield cast(PaymentEvent, event)
    finally:
        close_payment_events(listener)


def is_success(answer: object) -> bool:
    """Whether an answer of this library reports success.

    Bank answers and error envelopes succeed when ``status.code`` is 1000.
    Invoice QR documents carry no status object (a stored intent has a status
    string such as ``"pending"``) and succeed when they hold an ``intent_id``.
    """
    if not isinstance(answer, Mapping):
        return False
    status: Any = answer.get("status")
    if isinstance(status, Mapping):
        code = status.get("code")
        return type(code) is int and code == SUCCESS_CODE
    return type(answer.get("intent_id")) is int
