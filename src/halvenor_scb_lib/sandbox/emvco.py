"""Thai QR bill-payment payloads (EMVCo merchant-presented, tag-length-value)."""

from __future__ import annotations

import base64
import io
import re
from decimal import Decimal
from typing import Any

import segno

BILL_PAYMENT_AID = "A000000677010112"
THAI_BAHT = "764"
THAILAND = "TH"
MERCHANT_CITY = "BANGKOK"
# ISO 18245's catch-all "miscellaneous and specialty retail": the sandbox cannot know the
# category a biller registered with the bank, so tests that care set their own.
DEFAULT_MERCHANT_CATEGORY = "5999"
DEFAULT_MERCHANT_NAME = "SANDBOX BILLER"
MERCHANT_CATEGORY = re.compile(r"[0-9]{4}")
# Tag 59 holds at most 25 characters.
MAX_MERCHANT_NAME = 25
MERCHANT_NAME = re.compile(r"[ -~]{1,%d}" % MAX_MERCHANT_NAME)
# Baht with at most two decimals, as the bank takes it ("100", "100.5", "100.50"); tag 54 holds 13 characters.
AMOUNT = re.compile(r"(0|[1-9][0-9]*)(\.[0-9]{1,2})?")
MAX_AMOUNT_LENGTH = 13


def crc16_ccitt_false(data: bytes) -> int:
    """CRC-16 with polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def tlv(tag: str, value: str) -> str:
    if len(value) > 99:
        raise ValueError(f"value of tag {tag} is longer than 99 characters")
    return f"{tag}{len(value):02d}{value}"


def check_amount(value: Any) -> str:
    """The amount text as given, when the bank would take it: a string of at most 13 characters, more than zero."""
    if not isinstance(value, str) or not AMOUNT.fullmatch(value) or len(value) > MAX_AMOUNT_LENGTH:
        raise ValueError("must be a string of baht with at most two decimals and 13 characters, such as 100.50")
    if Decimal(value) <= 0:
        raise ValueError("must be greater than zero")
    return value


def check_merchant_category(code: str) -> str:
    if not isinstance(code, str) or not MERCHANT_CATEGORY.fullmatch(code):
        raise ValueError(f"merchant category must be 4 digits (ISO 18245), got {code!r}")
    return code


def check_merchant_name(name: str) -> str:
    if not isinstance(name, str) or not MERCHANT_NAME.fullmatch(name):
        raise ValueError(f"merchant name must be 1 to {MAX_MERCHANT_NAME} printable ASCII characters, got {name!r}")
    return name


def bill_payment_payload(
    biller_id: str,
    ref1: str,
    ref2: str,
    amount: str,
    ref3: str = "",
    *,
    merchant_category: str = DEFAULT_MERCHANT_CATEGORY,
    merchant_name: str = DEFAULT_MERCHANT_NAME,
) -> str:
    """Dynamic (point-of-initiation 12) payload, since it always carries an amount."""
    merchant_account = tlv("00", BILL_PAYMENT_AID) + tlv("01", biller_id) + tlv("02", ref1)
    if ref2:
        merchant_account += tlv("03", ref2)
    payload = (
        tlv("00", "01")
        + tlv("01", "12")
        + tlv("30", merchant_account)
        + tlv("52", merchant_category)
        + tlv("53", THAI_BAHT)
        + tlv("54", amount)
        + tlv("58", THAILAND)
        + tlv("59", merchant_name)
        + tlv("60", MERCHANT_CITY)
    )
    if ref3:
        payload += tlv("62", tlv("07", ref3))
    return with_checksum(payload)


def read_tlv(text: str) -> dict[str, str]:
    """Tag-length-value fields by tag; ValueError when the text is not a sequence of them."""
    fields: dict[str, str] = {}
    while text:
        tag, length = text[:2], text[2:4]
        if len(tag) < 2 or not length.isdigit() or len(text) < 4 + int(length) or tag in fields:
            raise ValueError(f"malformed tag-length-value field at {text[:8]!r}")
        fields[tag] = text[4 : 4 + int(length)]
        text = text[4 + int(length) :]
    return fields


def read_payload(payload: str) -> dict[str, str]:
    """The top-level fields of a payload whose checksum (tag 63, last) is right."""
    if not isinstance(payload, str) or not payload.isascii() or len(payload) < 8 or payload[-8:-4] != "6304":
        raise ValueError("the payload must end with its checksum, tag 63")
    if with_checksum(payload[:-8])[-4:] != payload[-4:].upper():
        raise ValueError("the payload's checksum (tag 63) is wrong")
    return read_tlv(payload[:-8])


def with_checksum(payload: str) -> str:
    # The checksum covers its own tag and length, so they are appended before computing it.
    body = payload + "6304"
    return f"{body}{crc16_ccitt_false(body.encode('ascii')):04X}"


# Any of the eight masks gives a valid symbol; scoring all eight to pick the best took
# about 4 ms of pure Python per QR, most of the sandbox's time for a QR request.
FIXED_MASK = 0


def qr_png_base64(payload: str, scale: int = 4) -> str:
    image = io.BytesIO()
    segno.make_qr(payload, error="m", mask=FIXED_MASK).save(image, kind="png", scale=scale)
    return base64.b64encode(image.getvalue()).decode("ascii")
