"""Offline stand-in for the bank's partner API, for ERP developers and this project's tests.

Needs the optional ``sandbox`` extra (cryptography, segno).
"""

from .bank import UnknownTransaction
from .messages import RecordedRequest
from .server import DEFAULT_APPLICATIONS, Sandbox

__all__ = ["DEFAULT_APPLICATIONS", "RecordedRequest", "Sandbox", "UnknownTransaction"]
