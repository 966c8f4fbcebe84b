"""Offline stand-in for the bank's partner API, for ERP developers and this project's tests.

Needs the optional ``sandbox`` extra (cryptography, segno).
"""

from .bank import BankOptions
from .callbacks import CallbackAttempt, CallbackDelivery
from .messages import RecordedRequest
from .payments import CONFIRMATION_FIELDS, InvalidPayment, confirmation_record
from .server import DEFAULT_APPLICATIONS, Sandbox

__all__ = [
    "CONFIRMATION_FIELDS",
    "DEFAULT_APPLICATIONS",
    "BankOptions",
    "CallbackAttempt",
    "CallbackDelivery",
    "InvalidPayment",
    "RecordedRequest",
    "Sandbox",
    "confirmation_record",
]
