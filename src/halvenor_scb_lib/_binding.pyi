"""Halvenor SCB C Extension"""

from typing import Any, NewType

PaymentListener = NewType("PaymentListener", object)

def scb_api_create_qr(config_id: str, amount: float, reference: str, channel: str = "ecomm", /) -> str:
    """Create SCB QR code"""

def scb_api_create_qr_full(
    api_key: str,
    access_token: str,
    qr_create_url: str,
    biller_id: str,
    amount: float,
    ref1: str,
    ref2: str,
    ref3: str = "SCB",
    /,
) -> dict[str, Any]:
    """Create SCB QR code with full parameters"""

def scb_api_create_qr_by_bank(
    bank_account_id: str, amount: float, ref1: str, ref2: str, ref3: str = "SCB", /
) -> dict[str, Any]:
    """Create SCB QR code using bank account ID (fetches config from database)"""

def scb_api_check_payment(reference: str, /) -> str:
    """Check SCB payment status"""

def scb_api_refresh_token(config_id: str, /) -> dict[str, Any]:
    """Refresh SCB access token"""

def scb_api_payment_inquiry(
    config_id: str,
    transaction_ref: str | None = None,
    biller_id: str | None = None,
    reference1: str | None = None,
    reference2: str | None = None,
    amount: str | None = None,
    transaction_date: str | None = None,
) -> dict[str, Any]:
    """Check SCB payment status via payment inquiry API"""

def create_qr_for_invoice(
    invoice_id: int,
    company_id: int,
    config_id: int,
    reference: str,
    amount: float,
    bank_account_id: str,
    *,
    ref3: str = "SCB",
) -> dict[str, Any]:
    """Create QR for invoice with intent caching (returns cached QR if exists)"""

def scb_api_confirm_payment(record_json: bytes, /) -> dict[str, Any]:
    """Verify the bank's payment confirmation record and confirm the invoice's intent once"""

def scb_api_reconcile_intents(config_id: int, days: int, max_rate: int = 0, /) -> dict[str, Any]:
    """Check the pending intents of a configuration with the bank's inquiry and confirm the paid ones"""

def scb_api_check_database() -> dict[str, Any]:
    """Check the ERP database's tables, columns, indexes and privileges for the module, changing nothing"""

def close_connections() -> None:
    """Close the database and bank connections this process keeps (SCB_REUSE_CONNECTIONS)"""

def use_python_logging(enabled: bool = True) -> None:
    """Send the library's log lines to the logger 'halvenor_scb_lib' (True) or to standard error (False)"""

def scb_api_cancel_invoice_qr(invoice_id: int, company_id: int, /) -> dict[str, Any]:
    """Cancel the pending QR of an invoice (its intents cancelled); a confirmed intent is never cancelled"""

def listen_payment_events() -> PaymentListener:
    """Open a session of its own listening for payment notifications; ConnectionError when it cannot"""

def next_payment_event(listener: PaymentListener, timeout: float | None = None, /) -> dict[str, Any] | None:
    """The next payment notification as a dict, or None after timeout seconds without one"""

def close_payment_events(listener: PaymentListener, /) -> None:
    """Close a payment listener's session"""
