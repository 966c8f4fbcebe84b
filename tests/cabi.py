"""The library's C interface, loaded once with the prototype of every function in include/scb.h.

Returned texts are declared as c_void_p so they can be handed back to scb_free;
take_text and take_bytes read such a text and always release it.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_int64, c_size_t, c_uint64, c_void_p

import halvenor_scb_lib._binding

lib = ctypes.CDLL(halvenor_scb_lib._binding.__file__)

Texts = POINTER(c_char_p)
"""A const char *const * argument: an array of texts."""


class HttpResponse(ctypes.Structure):
    _fields_ = [("body", c_void_p), ("status_code", c_int64), ("body_size", c_uint64)]


Record = POINTER(HttpResponse)
"""What the http_* functions return: a pointer to one HttpResponse, released with http_response_free."""

_PROTOTYPES = {
    # name: (restype, argtypes)
    "scb_malloc": (c_void_p, [c_size_t]),
    "scb_free": (None, [c_void_p]),
    "scb_strdup": (c_void_p, [c_char_p]),
    "scb_log_info": (c_int, [c_char_p]),
    "scb_log_error": (c_int, [c_char_p]),
    "scb_log_debug": (c_int, [c_char_p]),
    "scb_create_error_response": (c_void_p, [c_int32, c_char_p]),
    "scb_generate_uuid": (c_void_p, []),
    "scb_hmac_sha256": (c_void_p, [c_char_p, c_char_p]),
    "http_post_json": (Record, [c_char_p, c_char_p, Texts, c_int32]),
    "http_get_with_params": (Record, [c_char_p, Texts, Texts, c_int32, Texts, c_int32]),
    "http_get": (Record, [c_char_p, Texts, c_int32]),
    "http_response_free": (None, [Record]),
    "scb_db_connect": (c_void_p, [c_char_p]),
    "scb_db_close": (None, [c_void_p]),
    "scb_db_acquire": (c_void_p, []),
    "scb_db_release": (None, [c_void_p]),
    "scb_close_connections": (None, []),
    "scb_db_get_config_by_bank": (c_void_p, [c_void_p, c_char_p]),
    "scb_db_get_config": (c_void_p, [c_void_p]),
    "scb_create_qr_impl": (c_void_p, [c_char_p, c_char_p, c_char_p, c_double]),
    "scb_check_payment_impl": (c_void_p, [c_char_p]),
    "scb_refresh_token": (c_void_p, [c_char_p, c_char_p, c_char_p]),
    "scb_refresh_token_by_config_id": (c_void_p, [c_char_p]),
    "scb_create_qr_full": (c_void_p, [c_char_p] * 7 + [c_double]),
    "scb_create_qr_by_bank_account": (c_void_p, [c_char_p] * 4 + [c_double]),
    "scb_payment_inquiry": (c_void_p, [c_char_p] * 7),
    "scb_intent_get_by_invoice": (c_void_p, [c_void_p, c_int32, c_int32]),
    "scb_intent_upsert": (
        c_int32, [c_void_p, c_int32, c_int32, c_int32] + [c_char_p] * 4 + [c_double, c_char_p]),
    "scb_intent_confirm": (c_int32, [c_void_p, c_int32]),
    "scb_confirm_payment": (c_void_p, [c_char_p]),
    "scb_reconcile_intents": (c_void_p, [c_int, c_int]),
    "scb_check_database": (c_void_p, []),
    "scb_reconcile_intents_paced": (c_void_p, [c_int, c_int, c_int]),
    "scb_create_qr_for_invoice": (
        c_void_p, [c_void_p, c_int32, c_int32, c_int32, c_char_p, c_char_p, c_double]),
    "scb_create_qr_for_invoice_with_ref3": (
        c_void_p, [c_void_p, c_int32, c_int32, c_int32, c_char_p, c_char_p, c_double, c_char_p]),
    "scb_cancel_invoice_qr": (c_void_p, [c_int32, c_int32]),
    "scb_payment_listener_open": (c_void_p, []),
    "scb_payment_listener_next": (c_int32, [c_void_p, c_int32, POINTER(c_void_p)]),
    "scb_payment_listener_close": (None, [c_void_p]),
}

for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes


def take_bytes(pointer: int | None) -> bytes | None:
    """The NUL-terminated text at pointer, which is then released; None for a null pointer."""
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer)
    finally:
        lib.scb_free(pointer)


def take_text(pointer: int | None) -> str | None:
    """take_bytes decoded as UTF-8."""
    raw = take_bytes(pointer)
    return None if raw is None else raw.decode()
