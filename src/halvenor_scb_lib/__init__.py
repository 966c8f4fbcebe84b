"""Bill-payment QR codes, cached bank tokens and payment inquiry for an ERP
whose data lives in PostgreSQL, over the bank's partner API."""

from halvenor_scb_lib._binding import (
    create_qr_for_invoice,
    scb_api_check_payment,
    scb_api_create_qr,
    scb_api_create_qr_by_bank,
    scb_api_create_qr_full,
    scb_api_payment_inquiry,
    scb_api_refresh_token,
)

__all__ = [
    "create_qr_for_invoice",
    "scb_api_check_payment",
    "scb_api_create_qr",
    "scb_api_create_qr_by_bank",
    "scb_api_create_qr_full",
    "scb_api_payment_inquiry",
    "scb_api_refresh_token",
]
