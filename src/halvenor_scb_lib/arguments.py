"""Checks of the arguments the keyword-friendly functions and the command line
take, before anything reaches the database or the bank: database ids as int or
str, texts, and amounts in baht as float, int, Decimal or str, exact to the
satang."""

from __future__ import annotations

import datetime
import math
import re
from decimal import Decimal, InvalidOperation
from typing import Optional

__all__ = ["ID_MAX", "ID_MIN", "amount_float", "amount_text", "check_id", "check_text", "exact_amount",
           "finite_float", "inquiry_date", "optional_text"]

# ERP ids are PostgreSQL integer columns; the extension takes them as C ints.
ID_MIN, ID_MAX = -(2**31), 2**31 - 1
_SATANG = Decimal("0.01")
_INTEGER = re.compile(r"[+-]?[0-9]+")


def check_id(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"{name} must be an int or a str holding an integer, not {type(value).__name__}")
    if isinstance(value, str):
        if not _INTEGER.fullmatch(value.strip()):
            raise ValueError(f"{name} must be an integer, got {value!r}")
        value = int(value)
    if not ID_MIN <= value <= ID_MAX:
        raise ValueError(f"{name} {value} is out of range for a database id")
    return value


def check_text(value: object, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def optional_text(value: object, name: str) -> Optional[str]:
    return None if value is None else check_text(value, name)


def finite_float(value: float, name: str) -> float:
    if not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return value


def exact_amount(value: object, name: str) -> Decimal:
    """An int, Decimal or str amount as a Decimal of exactly two decimals that a double carries unchanged."""
    if isinstance(value, bool) or not isinstance(value, (int, Decimal, str)):
        raise TypeError(f"{name} must be a number (float, int, Decimal or str), not {type(value).__name__}")
    if isinstance(value, str):
        try:
            number = Decimal(value.strip())
        except InvalidOperation:
            raise ValueError(f"{name} must be a number such as 100.50, got {value!r}") from None
    else:
        number = Decimal(value)
    if not number.is_finite():
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    try:
        exact = number.quantize(_SATANG)
    except InvalidOperation:
        raise ValueError(f"{name} {value!r} is too large") from None
    if exact != number:
        raise ValueError(f"{name} must not have more than two decimals, got {value!r}")
    # Beyond 2**53 satang a double no longer holds every amount: refuse rather than bill another one.
    if Decimal(format(float(exact), ".2f")) != exact:
        raise ValueError(f"{name} {value!r} is too large to be sent exactly")
    return exact


def amount_float(value: object, name: str = "amount") -> float:
    """The amount as the double the extension takes; floats pass as they are and are printed to satang."""
    if isinstance(value, float):
        return finite_float(value, name)
    return float(exact_amount(value, name))


def amount_text(value: object, name: str = "amount") -> str:
    if isinstance(value, float):
        return format(finite_float(value, name), ".2f")
    return str(exact_amount(value, name))


def inquiry_date(value: object) -> str | None:
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, datetime.date):
        return value.strftime("%Y-%m-%d")
    raise TypeError(f"transaction_date must be a str (YYYY-MM-DD) or a date, not {type(value).__name__}")
