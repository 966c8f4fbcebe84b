"""Thai QR bill-payment payloads (EMVCo merchant-presented, tag-length-value)."""

from __future__ import annotations

import base64
import io
import re
import struct
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
# Light modules around the symbol, as the QR standard asks and segno draws them.
QUIET_ZONE = 4
IMAGE_SCALE = 4
IMAGE_FORMATS = ("gif", "png")
# The smallest LZW code size GIF allows; two colours need one bit.
GIF_MIN_CODE_SIZE = 2
GIF_MAX_CODE = 4096


def qr_image_base64(payload: str, image_format: str) -> str:
    """The payload's QR as Base64 without a prefix: a GIF as in the bank's answers, or a PNG."""
    symbol = segno.make_qr(payload, error="m", mask=FIXED_MASK)
    if image_format == "gif":
        image = qr_gif(symbol.matrix)
    else:
        buffer = io.BytesIO()
        symbol.save(buffer, kind="png", scale=IMAGE_SCALE)
        image = buffer.getvalue()
    return base64.b64encode(image).decode("ascii")


def qr_gif(matrix: Any) -> bytes:
    """A two-colour GIF89a of a QR matrix (rows of 1 for dark): white and black, IMAGE_SCALE pixels a module."""
    side, pixels = _pixels(matrix)
    data = _lzw(pixels, GIF_MIN_CODE_SIZE)
    blocks = b"".join(bytes([len(data[at : at + 255])]) + data[at : at + 255] for at in range(0, len(data), 255))
    # Screen with a global table of two colours; one image covering it, not interlaced.
    return (b"GIF89a" + struct.pack("<HHBBB", side, side, 0x80, 0, 0) + b"\xff\xff\xff\x00\x00\x00"
            + b"," + struct.pack("<HHHHB", 0, 0, side, side, 0) + bytes([GIF_MIN_CODE_SIZE]) + blocks + b"\x00;")


def _pixels(matrix: Any) -> tuple[int, bytes]:
    """The side in pixels and the colour index of every pixel, row by row, quiet zone included."""
    side = (len(matrix) + 2 * QUIET_ZONE) * IMAGE_SCALE
    blank, margin = bytes(side), bytes(QUIET_ZONE * IMAGE_SCALE)
    rows = [blank] * (QUIET_ZONE * IMAGE_SCALE)
    for row in matrix:
        rows += [margin + bytes(module for module in row for _ in range(IMAGE_SCALE)) + margin] * IMAGE_SCALE
    rows += [blank] * (QUIET_ZONE * IMAGE_SCALE)
    return side, b"".join(rows)


def _lzw(pixels: bytes, min_code_size: int) -> bytes:
    """GIF's variable-width LZW, codes packed from the least significant bit; the table starts over when full."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    pending = pending_bits = 0
    width, next_code = min_code_size + 1, end + 1
    table: dict[int, int] = {}

    def emit(code: int) -> None:
        nonlocal pending, pending_bits
        pending |= code << pending_bits
        pending_bits += width
        while pending_bits >= 8:
            out.append(pending & 0xFF)
            pending >>= 8
            pending_bits -= 8

    emit(clear)
    prefix = pixels[0]
    for pixel in pixels[1:]:
        known = table.get(prefix << 8 | pixel)
        if known is not None:
            prefix = known
            continue
        emit(prefix)
        if next_code < GIF_MAX_CODE:
            table[prefix << 8 | pixel] = next_code
            next_code += 1
            # Wider codes once the newest entry no longer fits.
            if next_code - 1 == 1 << width and width < 12:
                width += 1
        else:
            emit(clear)
            width, next_code = min_code_size + 1, end + 1
            table.clear()
        prefix = pixel
    emit(prefix)
    emit(end)
    if pending_bits:
        out.append(pending)
    return bytes(out)
