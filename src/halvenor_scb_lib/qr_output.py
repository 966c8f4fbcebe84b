"""The QR of an answer as a user sees it: its payload and image taken out of
a bank QR answer or an invoice QR document, the image saved under the suffix
of its real format (PNG, GIF or JPEG), a PNG drawn from the payload when the
bank sent another format, and the QR drawn in a terminal. Shared by the
command line and the demo."""

from __future__ import annotations

import base64
import binascii
import io
import sys
from collections.abc import Mapping
from pathlib import Path
from typing import Any, TextIO

__all__ = ["IMAGE_FORMATS", "decode_image", "draw_qr", "drawn_png", "image_format", "qr_payload_and_image",
           "save_image", "save_png"]


def qr_payload_and_image(answer: Mapping[str, Any]) -> tuple[str, str]:
    """The payload and Base64 image of a bank QR answer or of an invoice QR document ('' when absent)."""
    data = answer.get("data")
    if isinstance(data, Mapping):
        return str(data.get("qrRawData") or ""), str(data.get("qrImage") or "")
    return str(answer.get("qr_payload") or ""), str(answer.get("qr_image_base64") or "")


# The formats a bank's QR image comes in, told by their first bytes, with the file suffix of each.
IMAGE_FORMATS = (
    (b"\x89PNG\r\n\x1a\n", "PNG", ".png"),
    (b"GIF87a", "GIF", ".gif"),
    (b"GIF89a", "GIF", ".gif"),
    (b"\xff\xd8\xff", "JPEG", ".jpg"),
)


def decode_image(image_base64: str) -> bytes:
    if not image_base64:
        raise ValueError("the answer holds no QR image")
    try:
        return base64.b64decode(image_base64, validate=True)
    except binascii.Error as error:
        raise ValueError(f"the QR image is not valid Base64 ({error})") from None


def image_format(image: bytes) -> tuple[str, str] | None:
    """(name, file suffix) of a PNG, GIF or JPEG image; None for anything else."""
    return next(((name, suffix) for magic, name, suffix in IMAGE_FORMATS if image.startswith(magic)), None)


def save_image(image_base64: str, stem: Path) -> Path:
    """Write the answer's image under `stem` with the suffix of its format."""
    image = decode_image(image_base64)
    known = image_format(image)
    if known is None:
        raise ValueError("the QR image is neither PNG, GIF nor JPEG")
    path = stem.with_name(stem.name + known[1])
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(image)
    return path


def save_png(payload: str, image_base64: str, path: Path) -> str | None:
    """Write a PNG of the QR to `path`: the answer's image when it is a PNG, else one drawn from the payload.

    Returns None when the answer's image was written, else why it was not.
    """
    try:
        image = decode_image(image_base64)
        name = (image_format(image) or ("of an unknown format",))[0]
        redrawn = None if name == "PNG" else f"the QR image is {name}, not PNG"
    except ValueError as error:
        redrawn = str(error)
    if redrawn is not None:
        image = drawn_png(payload)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(image)
    return redrawn


def drawn_png(payload: str) -> bytes:
    if not payload:
        raise ValueError("the answer holds no PNG of the QR and no payload to draw one from")
    try:
        import segno
    except ImportError:
        raise ValueError("the answer holds no PNG of the QR; install segno to draw one (pip install segno)") from None
    png = io.BytesIO()
    segno.make_qr(payload, error="m").save(png, kind="png", scale=4)
    return png.getvalue()


def draw_qr(payload: str, out: TextIO) -> bool:
    """Draw the payload as a QR in the terminal; False when segno is not installed."""
    try:
        import segno
    except ImportError:
        print("halvenor-scb: install segno to draw QR codes in the terminal (pip install segno)", file=sys.stderr)
        return False
    segno.make(payload).terminal(out=out, compact=True)
    out.flush()
    return True
