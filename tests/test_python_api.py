"""The keyword-friendly Python functions: argument handling, what reaches the bank, and their types."""

from __future__ import annotations

import ast
import datetime
import os
import re
import subprocess
import sys
from decimal import Decimal
from pathlib import Path
from urllib.parse import parse_qs

import pytest

import halvenor_scb_lib as scb
from halvenor_scb_lib import _binding

REPO = Path(__file__).resolve().parents[1]
BILLER = "123456789012345"


@pytest.fixture
def account(erp):
    config_id = erp.add_config()
    return config_id, erp.add_bank_account(config_id, biller_id=BILLER)


@pytest.mark.parametrize(
    "bank_account_form, amount, sent",
    [
        (int, 100.5, "100.50"),
        (str, 100, "100.00"),
        (int, Decimal("100.5"), "100.50"),
        (str, "1234567.89", "1234567.89"),
        (int, " 7.10 ", "7.10"),
        (str, Decimal("1E+2"), "100.00"),
        (int, 0.1 + 0.2, "0.30"),
        (str, 2**40, "1099511627776.00"),
    ],
)
def test_qr_by_bank_account_converts_ids_and_amounts(account, scb_sandbox, bank_account_form, amount, sent):
    _, bank_account_id = account
    answer = scb.create_qr_by_bank_account(bank_account_form(bank_account_id), amount, "INV1", "CUST1")
    body = scb_sandbox.requests_to("qr")[-1].json()
    assert (body["amount"], body["ref3"]) == (sent, "SCB")
    # Amounts beyond what the bank's QR payload holds are refused by the bank itself.
    assert scb.is_success(answer) == (len(sent) <= 13)


def _by_bank(amount=10, account_id=1):
    return scb.create_qr_by_bank_account(account_id, amount, "INV1", "CUST1")


def _full(amount=10, account_id=None):
    return scb.create_qr(
        api_key="K", access_token="T", qr_create_url="https://127.0.0.1:9/none", biller_id=BILLER,
        amount=amount, ref1="INV1", ref2="CUST1",
    )


def _invoice(amount=10, account_id=1, **ids):
    return scb.invoice_qr(**{"invoice_id": 1, "company_id": 1, "config_id": 1, **ids},
                          reference="INV1", amount=amount, bank_account_id=account_id)


def _inquiry(amount=10, account_id=None, config_id=1):
    return scb.payment_inquiry(config_id, biller_id=BILLER, reference1="INV1", amount=amount)


@pytest.mark.parametrize("call", [_by_bank, _full, _invoice, _inquiry])
@pytest.mark.parametrize(
    "amount, error, message",
    [
        (True, TypeError, "not bool"),
        (b"10", TypeError, "not bytes"),
        ([10], TypeError, "not list"),
        (float("nan"), ValueError, "finite"),
        (float("-inf"), ValueError, "finite"),
        (Decimal("NaN"), ValueError, "finite"),
        ("Infinity", ValueError, "finite"),
        ("ten baht", ValueError, "such as 100.50"),
        ("", ValueError, "such as 100.50"),
        ("12.345", ValueError, "more than two decimals"),
        (Decimal("0.001"), ValueError, "more than two decimals"),
        ("1e30", ValueError, "too large"),
        (2**60 + 1, ValueError, "too large to be sent exactly"),
    ],
)
def test_bad_amounts_are_refused_before_any_request(no_pg_env, scb_sandbox, call, amount, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(amount=amount)
    assert scb_sandbox.requests == []


@pytest.mark.parametrize(
    "call",
    [
        lambda bad: _by_bank(account_id=bad),
        lambda bad: _invoice(account_id=bad),
        lambda bad: _invoice(invoice_id=bad),
        lambda bad: _invoice(company_id=bad),
        lambda bad: _invoice(config_id=bad),
        lambda bad: _inquiry(config_id=bad),
        lambda bad: scb.refresh_token(bad),
    ],
)
@pytest.mark.parametrize(
    "bad, error, message",
    [
        (True, TypeError, "not bool"),
        (1.0, TypeError, "not float"),
        ("12a", ValueError, "must be an integer, got '12a'"),
        ("", ValueError, "must be an integer"),
        (2**31, ValueError, "out of range"),
        ("-2147483649", ValueError, "out of range"),
    ],
)
def test_bad_ids_are_refused_before_any_request(no_pg_env, scb_sandbox, call, bad, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(bad)
    assert scb_sandbox.requests == []


def test_references_must_be_text(no_pg_env, scb_sandbox):
    with pytest.raises(TypeError, match="ref2 must be a str, not int"):
        scb.create_qr_by_bank_account(1, 10, "INV1", 42)
    with pytest.raises(TypeError, match="ref3 must be a str, not NoneType"):
        scb.invoice_qr(1, 1, 1, "INV1", 10, 1, ref3=None)  # type: ignore[arg-type]
    assert scb_sandbox.requests == []


@pytest.mark.parametrize("arguments, error, message", [
    ({"days": 0}, ValueError, "days must be at least 1, got 0"),
    ({"max_rate": 0}, ValueError, "max_rate must be at least 1, got 0"),
    ({"max_rate": -5}, ValueError, "max_rate must be at least 1, got -5"),
    ({"max_rate": 2**31}, ValueError, "max_rate 2147483648 is too large"),
    ({"max_rate": 2.5}, TypeError, "max_rate must be an int, not float"),
    ({"max_rate": True}, TypeError, "max_rate must be an int, not bool"),
    ({"max_rate": "5"}, TypeError, "max_rate must be an int, not str"),
])
def test_reconciliation_arguments_are_checked_before_anything_runs(no_pg_env, scb_sandbox, arguments, error,
                                                                    message):
    with pytest.raises(error, match=re.escape(message)):
        scb.reconcile_intents(1, **arguments)
    assert scb_sandbox.requests == []


def test_invoice_qr_takes_str_ids_and_decimal_amounts(account, erp, scb_sandbox):
    config_id, bank_account_id = account
    first = scb.invoice_qr("7", " 1 ", str(config_id), "INV7", Decimal("10.10"), str(bank_account_id))
    assert scb.is_success(first) and "status" not in first
    assert scb_sandbox.requests_to("qr")[-1].json()["amount"] == "10.10"
    (row,) = erp.intents(7)
    assert (row["company_id"], row["scb_api_config_id"], row["amount"]) == (1, config_id, Decimal("10.10"))

    again = scb.invoice_qr(7, 1, config_id, "INV7", "10.10", bank_account_id)
    assert again["status"] == "pending" and again["intent_id"] == first["intent_id"]
    assert scb.is_success(again)
    assert len(scb_sandbox.requests) == 2


@pytest.mark.parametrize("amount", [250, 250.0, "250", Decimal("250.00")])
def test_inquiry_sends_amount_with_two_decimals_and_date_as_iso(account, scb_sandbox, amount):
    config_id, _ = account
    answer = scb.payment_inquiry(
        str(config_id), biller_id=BILLER, reference1="INV1", amount=amount, transaction_date=datetime.date(2026, 1, 31)
    )
    assert scb.is_success(answer) and answer["data"] == []
    query = parse_qs(scb_sandbox.requests_to("inquiry")[-1].query)
    assert (query["amount"], query["transactionDate"]) == (["250.00"], ["2026-01-31"])


@pytest.mark.parametrize("config_form", [int, str])
def test_refresh_token_reports_success_and_failure(erp, config_form):
    config_id = erp.add_config()
    assert scb.is_success(scb.refresh_token(config_form(config_id)))
    failed = scb.refresh_token(config_form(config_id + 1))
    assert failed["status"]["code"] == scb.ErrorCode.DATABASE and not scb.is_success(failed)


@pytest.mark.parametrize(
    "answer, success",
    [
        ({"status": {"code": 1000, "description": "Success"}, "data": {}}, True),
        ({"status": {"code": 9003, "description": "SCB configuration not found"}, "data": None}, False),
        ({"status": {"code": "1000", "description": "Success"}, "data": None}, False),
        ({"status": {"description": "no code"}, "data": None}, False),
        ({"intent_id": 4, "reference": "INV1", "amount": 10.5}, True),
        ({"intent_id": 4, "reference": "INV1", "amount": 10.5, "status": "pending", "channel": "invoice"}, True),
        ({"intent_id": "4", "status": "pending"}, False),
        ({}, False),
        ('{"status": "pending", "reference": "ABC"}', False),
        (None, False),
    ],
)
def test_is_success(answer, success):
    assert scb.is_success(answer) is success


def test_extension_methods_are_re_exported_unchanged_and_all_stubbed():
    methods = {name for name in dir(_binding) if not name.startswith("_")}
    assert len(methods) == 16
    assert all(getattr(scb, name) is getattr(_binding, name) for name in methods)
    stub = ast.parse((REPO / "src/halvenor_scb_lib/_binding.pyi").read_text())
    assert {node.name for node in stub.body if isinstance(node, ast.FunctionDef)} == methods


MISUSE = """\
import halvenor_scb_lib as scb
scb.create_qr_by_bank_account(1, [10], "INV1", "CUST1")  # wrong
scb.payment_inquiry(1, "TX1")  # wrong
scb.scb_api_refresh_token(config_id="1")  # wrong
scb.invoice_qr(1, 1, 1, "INV1", 10)  # wrong
scb.invoice_qr(1, 1, 1, "INV1", 10, 1, "SHOP1")  # wrong
scb.reconcile_intents(1, 3, 2.5)  # wrong
count: int = scb.scb_api_create_qr("7", 100.5, "INV1")  # wrong
answer = scb.refresh_token(1)
expires: str = answer["data"]["expiresIn"] if answer["data"] else ""  # wrong
found = scb.payment_inquiry(1, transaction_ref="PTX1")["data"] or []
paid_on = [payment["transactionDate"] for payment in found]  # wrong
ok: bool = scb.check_database()["data"]["ok"]  # wrong
"""


def test_type_checker_accepts_the_example_and_catches_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         str(REPO / "tests/typing_example.py"), str(misuse)],
        capture_output=True, text=True, timeout=120, cwd=REPO,
        # The checker reads the stubs, never the extension: keep a sanitizer preload out of it.
        env={**{k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}, "MYPYPATH": str(REPO / "src")},
        check=False,
    )
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    flagged = {int(line.split(":")[1]) for line in errors if line.startswith(str(misuse))}
    expected = {number for number, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# wrong")}
    assert (flagged, len(errors)) == (expected, len(expected)), checked.stdout
