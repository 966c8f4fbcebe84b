"""The error envelope every failing operation returns."""

from __future__ import annotations

import json

import pytest

from cabi import lib, take_text


def envelope(code, description):
    pointer = lib.scb_create_error_response(code, None if description is None else description.encode())
    assert pointer
    return take_text(pointer)


@pytest.mark.parametrize(
    ("code", "description", "text"),
    [
        (9001, None, '{"status":{"code":9001,"description":"Unknown error"},"data":null}'),
        (9001, "Hello", '{"status":{"code":9001,"description":"Hello"},"data":null}'),
        (9103, "", '{"status":{"code":9103,"description":""},"data":null}'),
        (-1, "x", '{"status":{"code":-1,"description":"x"},"data":null}'),
        (0, "x", '{"status":{"code":0,"description":"x"},"data":null}'),
        (2**31 - 1, "x", '{"status":{"code":2147483647,"description":"x"},"data":null}'),
        (-(2**31), "x", '{"status":{"code":-2147483648,"description":"x"},"data":null}'),
        (9302, 'say "hi"\nback\\slash', '{"status":{"code":9302,"description":"say \\"hi\\"\\nback\\\\slash"},"data":null}'),
    ],
)
def test_envelope_text(code, description, text):
    assert envelope(code, description) == text


@pytest.mark.parametrize(
    "description",
    [
        "\t\r\b\f\x01\x1f\x7f",
        "ภาษาไทย é 😀",
        "</script>/",
        "% s %d %n",
        '"},"data":{"injected":1}',
        "x" * 20000,
    ],
)
def test_any_description_survives_the_round_trip(description):
    text = envelope(9103, description)
    assert json.loads(text) == {"status": {"code": 9103, "description": description}, "data": None}
    assert text.startswith('{"status":{"code":9103,"description":"') and text.endswith('"},"data":null}')


def test_envelope_logs_nothing(capfd):
    envelope(9002, "quiet")
    assert capfd.readouterr().err == ""
