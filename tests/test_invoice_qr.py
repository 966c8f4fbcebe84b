"""The invoice QR flow: one QR per invoice at the bank, handed back from its intent afterwards."""

from __future__ import annotations

import json
import socket
from decimal import Decimal

import pytest

import halvenor_scb_lib as scb
from bank_helpers import bank_token, endpoints, envelope
from cabi import lib, take_text
from halvenor_scb_lib import _binding

BILLER = "123456789012345"


def raw_qr_for_invoice(invoice_id: int, bank_account_id: int, amount: float = 10.1) -> str | None:
    conn = lib.scb_db_connect(None)
    try:
        return take_text(lib.scb_create_qr_for_invoice(conn, invoice_id, 1, 1, b"INV0007",
                                                       str(bank_account_id).encode(), amount))
    finally:
        lib.scb_db_close(conn)


def c_qr_for_invoice(args: dict, ref3: str | None) -> dict:
    """The invoice QR through the C interface: the function without ref3 when none is given."""
    conn = lib.scb_db_connect(None)
    fixed = (conn, args["invoice_id"], args["company_id"], args["config_id"], args["reference"].encode(),
             args["bank_account_id"].encode(), args["amount"])
    try:
        if ref3 is None:
            return json.loads(take_text(lib.scb_create_qr_for_invoice(*fixed)))
        return json.loads(take_text(lib.scb_create_qr_for_invoice_with_ref3(*fixed, ref3.encode())))
    finally:
        lib.scb_db_close(conn)


@pytest.fixture
def account(erp) -> dict:
    config_id = erp.add_config()
    return {"config_id": config_id, "bank_account_id": str(erp.add_bank_account(config_id, biller_id=BILLER))}


def invoice_args(account: dict, **changes) -> dict:
    return {"invoice_id": 7, "company_id": 1, "config_id": account["config_id"], "reference": "INV0007",
            "amount": 10.1, "bank_account_id": account["bank_account_id"], **changes}


# The bank's v1 answer has no transactionId; the sandbox's option adds one, which the intent stores.
@pytest.mark.parametrize("transaction_ids", [False, True], ids=["bank-answer", "with-transaction-id"])
@pytest.mark.parametrize("by_keyword, amount, amount_text", [(False, 10.1, "10.10"), (True, 1234567.89, "1234567.89")])
def test_first_call_creates_qr_and_stores_pending_intent(erp, scb_sandbox, account, by_keyword, amount, amount_text,
                                                         transaction_ids):
    scb_sandbox.configure(qr_transaction_ids=transaction_ids)
    args = invoice_args(account, amount=amount)
    result = _binding.create_qr_for_invoice(**args) if by_keyword else _binding.create_qr_for_invoice(*args.values())
    assert endpoints(scb_sandbox) == ["token", "qr"]
    qr_request = scb_sandbox.requests[1]
    assert qr_request.header("Authorization") == f"Bearer {scb_sandbox.issued_tokens[-1]}"
    assert qr_request.json() == {"qrType": "PP", "ppType": "BILLERID", "ppId": BILLER, "amount": amount_text,
                                 "ref1": "INV0007", "ref2": "INVOICE", "ref3": "SCB"}
    (row,) = erp.intents()
    (qr,) = scb_sandbox.qr_codes
    transaction_id = [("transaction_id", qr["transactionId"])] if transaction_ids else []
    assert list(result.items()) == [
        ("intent_id", row["id"]), ("reference", "INV0007"), ("amount", amount), ("qr_payload", qr["payload"]),
        ("qr_image_base64", row["qr_image_base64"]), *transaction_id]
    assert (row["status"], row["channel"], row["amount"], row["qr_payload"], row["transaction_id"]) == (
        "pending", "invoice", Decimal(amount_text), qr["payload"], qr.get("transactionId", ""))
    assert (row["invoice_id"], row["company_id"], row["scb_api_config_id"]) == (7, 1, account["config_id"])
    # This flow takes a fresh token each time and leaves the cached one alone.
    assert erp.token_row(account["config_id"]) == (None, None)


TODAYS_REQUEST = '{{"qrType":"PP","ppType":"BILLERID","ppId":"{}","amount":"10.10","ref1":"INV0007","ref2":"INVOICE",' \
                 '"ref3":"{}"}}'


@pytest.mark.parametrize("through, ref3", [
    ("python", None), ("python", "ERP2024"), ("module", None), ("module", "SHOP1"), ("c", None), ("c", "SCB"),
    ("c", "POS77"),
])
def test_the_invoice_qr_carries_the_reference_3_prefix_the_bank_routes_its_confirmation_by(erp, scb_sandbox, account,
                                                                                          through, ref3):
    args = invoice_args(account)
    given = {} if ref3 is None else {"ref3": ref3}
    if through == "python":
        answer = scb.invoice_qr(**args, **given)
    elif through == "module":
        answer = _binding.create_qr_for_invoice(**args, **given)
    else:
        answer = c_qr_for_invoice(args, ref3)
    sent = ref3 or "SCB"
    (request,) = scb_sandbox.requests_to("qr")
    # Without a ref3 the request is the one always sent, byte for byte.
    assert request.body == TODAYS_REQUEST.format(BILLER, sent).encode()
    assert scb_sandbox.pay(answer["qr_payload"])["billPaymentRef3"] == sent
    assert erp.intents()[0]["qr_payload"] == answer["qr_payload"]


@pytest.mark.parametrize("changes, reused", [
    ({"amount": 99.0}, True),
    ({"reference": "OTHER"}, True),
    ({"bank_account_id": "999999", "config_id": 42}, True),
    ({"company_id": 2}, False),
    ({"invoice_id": 8}, False),
])
def test_later_call_returns_stored_intent_without_bank(erp, scb_sandbox, account, capfd, changes, reused):
    first = _binding.create_qr_for_invoice(**invoice_args(account))
    scb_sandbox.requests.clear()
    capfd.readouterr()
    second = _binding.create_qr_for_invoice(**invoice_args(account, **changes))
    if not reused:
        assert endpoints(scb_sandbox) == ["token", "qr"]
        assert second["intent_id"] != first["intent_id"] and len(erp.intents()) == 2
        return
    assert scb_sandbox.requests == []
    logged = capfd.readouterr().err
    assert "Found existing intent - returning cached QR" in logged
    asked = {"amount": "10.10", "reference": "INV0007", **changes}
    stale = (f"ERROR: Stored invoice QR differs from the call: intent {first['intent_id']}, amount 10.10 stored / "
             f"{float(asked['amount']):.2f} asked, reference INV0007 stored / {asked['reference']} asked; "
             "cancel it for a new QR")
    assert (stale in logged) == (asked["amount"] != "10.10" or asked["reference"] != "INV0007"), logged
    assert list(second.items()) == [
        ("intent_id", first["intent_id"]), ("reference", "INV0007"), ("qr_payload", first["qr_payload"]),
        ("qr_image_base64", first["qr_image_base64"]),
        ("amount", 10.1), ("status", "pending"), ("channel", "invoice")]
    assert len(erp.intents()) == 1


def test_expired_intent_is_overwritten_and_bank_called_again(erp, scb_sandbox, account):
    old = erp.add_intent(invoice_id=7, status="expired", reference="OLD", qr_payload="OLDQR", amount=1)
    result = _binding.create_qr_for_invoice(**invoice_args(account))
    (row,) = erp.intents()
    assert result["intent_id"] == old and "status" not in result
    assert (row["status"], row["reference"], row["qr_payload"]) == ("expired", "OLD", result["qr_payload"])
    _binding.create_qr_for_invoice(**invoice_args(account))
    assert endpoints(scb_sandbox) == ["token", "qr"] * 2


@pytest.mark.parametrize("status, body", [
    (200, '{"status": {"code": 1102, "description": "ref1 is wrong"},\n "data": null}'),
    (200, '{"status": {"code": "1000", "description": "Success"}, "data": {"qrRawData": "P", "qrImage": "I"}}'),
    (400, '{ "status" : { "code" : 1101, "description" : "Bad request" }, "data" : { } }'),
])
def test_bank_refusal_comes_back_compacted_and_nothing_is_stored(erp, scb_sandbox, account, status, body):
    scb_sandbox.script("qr", status=status, body=body)
    assert raw_qr_for_invoice(7, account["bank_account_id"]) == json.dumps(json.loads(body), separators=(",", ":"))
    assert erp.intents() == []
    # Nothing was stored, so the next call asks the bank again.
    assert "intent_id" in _binding.create_qr_for_invoice(**invoice_args(account))
    assert endpoints(scb_sandbox) == ["token", "qr"] * 2


@pytest.mark.parametrize("data, members, stored", [
    ({"qrRawData": "P", "qrImage": "I"}, {"qr_payload": "P", "qr_image_base64": "I"}, ("P", "I", "")),
    ({"qrImage": "I", "transactionId": "T"}, {"qr_payload": "", "qr_image_base64": "I", "transaction_id": "T"},
     ("", "I", "T")),
    ({"qrRawData": 5, "qrImage": None, "transactionId": 7}, {}, (None, None, "")),
])
def test_bank_values_missing_or_not_text(erp, scb_sandbox, account, data, members, stored):
    scb_sandbox.script("qr", body={"status": {"code": 1000, "description": "Success"}, "data": data})
    result = _binding.create_qr_for_invoice(**invoice_args(account))
    (row,) = erp.intents()
    assert result == {"intent_id": row["id"], "reference": "INV0007", "amount": 10.1, **members}
    assert (row["qr_payload"], row["qr_image_base64"], row["transaction_id"]) == stored


@pytest.mark.parametrize("data", [None, "QR", [], "absent"])
def test_success_without_qr_object_is_not_stored(erp, scb_sandbox, account, data):
    answer = {"status": {"code": 1000, "description": "Success"}}
    if data != "absent":
        answer["data"] = data
    scb_sandbox.script("qr", body=answer)
    assert _binding.create_qr_for_invoice(**invoice_args(account)) == envelope(9103, "No data in QR response")
    assert erp.intents() == []


@pytest.mark.parametrize("answer", [
    lambda token: {"access_token": token, "token_type": "Bearer"},
    lambda token: {"data": {"accessToken": token}},
])
def test_token_taken_from_either_member(erp, scb_sandbox, account, answer):
    token = bank_token(scb_sandbox)
    scb_sandbox.script("token", body=answer(token))
    result = _binding.create_qr_for_invoice(**invoice_args(account))
    assert scb_sandbox.requests_to("qr")[0].header("Authorization") == f"Bearer {token}"
    assert result["intent_id"] == 1


@pytest.mark.parametrize("status, body, description", [
    (200, {"access_token": 12345}, "No access token in response"),
    (200, {"access_token": None, "data": {"accessToken": "T"}}, "No access token in response"),
    (200, {"data": {"accessToken": ["T"]}}, "No access token in response"),
    (401, {"status": {"code": 9500, "description": "Invalid credentials"}, "data": None},
     "No access token in response"),
    (200, "not json", "Invalid token response"),
])
def test_unusable_token_answer(erp, scb_sandbox, account, status, body, description):
    scb_sandbox.script("token", status=status, body=body)
    assert _binding.create_qr_for_invoice(**invoice_args(account)) == envelope(9302, description)
    assert endpoints(scb_sandbox) == ["token"] and erp.intents() == []


def test_wrong_credentials(erp, scb_sandbox, account):
    erp.pg.execute("UPDATE scb_api_config SET api_secret = 'WRONG'")
    assert _binding.create_qr_for_invoice(**invoice_args(account)) == envelope(9302, "No access token in response")
    assert endpoints(scb_sandbox) == ["token"] and erp.intents() == []


@pytest.mark.parametrize("bank_account", [
    {"config_id": None},
    {"use_scb_qr": False},
    {"active": False},
])
def test_bank_account_without_usable_configuration(erp, scb_sandbox, bank_account):
    config_id = erp.add_config(active=bank_account.pop("active", True))
    bank_account_id = erp.add_bank_account(**{"config_id": config_id, **bank_account})
    result = _binding.create_qr_for_invoice(7, 1, config_id, "INV0007", 10.1, str(bank_account_id))
    assert result == envelope(9003, "SCB configuration not found")
    assert scb_sandbox.requests == [] and erp.intents() == []


def test_unreachable_database(no_pg_env, monkeypatch, scb_sandbox):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    monkeypatch.setenv("PGHOST", "127.0.0.1")
    monkeypatch.setenv("PGPORT", str(port))
    with pytest.raises(RuntimeError, match="^Failed to connect to database$"):
        _binding.create_qr_for_invoice(7, 1, 1, "INV0007", 10.1, "1")
    assert scb_sandbox.requests == []


def test_null_handle(capfd):
    text = take_text(lib.scb_create_qr_for_invoice(None, 7, 1, 1, b"INV0007", b"1", 10.1))
    assert json.loads(text) == envelope(9002, "Database connection required")
    assert capfd.readouterr().err.count("ERROR: Database connection is NULL") == 1


def cancelled(description: str, cancelled: list[int], confirmed: list[int]) -> dict:
    return {"status": {"code": 1000, "description": description},
            "data": {"cancelled": cancelled, "confirmed": confirmed}}


def test_a_cancelled_qr_is_kept_and_the_next_call_makes_a_new_one(erp, scb_sandbox, account):
    first = _binding.create_qr_for_invoice(**invoice_args(account))
    others = [_binding.create_qr_for_invoice(**invoice_args(account, **changes))["intent_id"]
              for changes in ({"invoice_id": 8}, {"company_id": 2})]
    scb_sandbox.requests.clear()

    assert scb.cancel_invoice_qr(7, 1) == cancelled("Invoice QR cancelled", [first["intent_id"]], [])
    assert scb.cancel_invoice_qr("7", "1") == cancelled("No pending QR to cancel", [], [])
    new = _binding.create_qr_for_invoice(**invoice_args(account, amount=12.5))
    again = _binding.create_qr_for_invoice(**invoice_args(account, amount=12.5))

    assert endpoints(scb_sandbox) == ["token", "qr"]
    assert new["intent_id"] not in [first["intent_id"], *others] and again["intent_id"] == new["intent_id"]
    rows = {row["id"]: row for row in erp.intents()}
    assert (rows[first["intent_id"]]["status"], rows[first["intent_id"]]["qr_payload"]) == (
        "cancelled", first["qr_payload"])
    assert (rows[new["intent_id"]]["status"], rows[new["intent_id"]]["amount"]) == ("pending", Decimal("12.50"))
    assert [rows[intent_id]["status"] for intent_id in others] == ["pending", "pending"]


@pytest.mark.parametrize("statuses, description, cancelled_at, confirmed_at", [
    (["confirmed"], "Invoice already paid: a confirmed intent is not cancelled", [], [0]),
    (["confirmed", "pending"], "Invoice QR cancelled", [1], [0]),
    (["expired", "failed", "pending", "pending"], "Invoice QR cancelled", [2, 3], []),
    (["cancelled", "expired"], "No pending QR to cancel", [], []),
])
def test_only_pending_intents_are_cancelled_and_confirmed_ones_are_told(erp_db, statuses, description, cancelled_at,
                                                                        confirmed_at):
    ids = [erp_db.add_intent(invoice_id=7, reference="INV0007", status=status, amount=1) for status in statuses]

    answer = scb.cancel_invoice_qr(7, 1)

    assert answer == cancelled(description, [ids[i] for i in cancelled_at], [ids[i] for i in confirmed_at])
    assert [row["status"] for row in erp_db.intents()] == [
        "cancelled" if i in cancelled_at else status for i, status in enumerate(statuses)]


def test_cancel_through_the_c_interface_and_without_a_database(erp_db, monkeypatch):
    intent_id = erp_db.add_intent(invoice_id=7, reference="INV0007", status="pending", amount=1)

    assert json.loads(take_text(lib.scb_cancel_invoice_qr(7, 1))) == cancelled(
        "Invoice QR cancelled", [intent_id], [])
    monkeypatch.setenv("PGPORT", "9")
    assert scb.cancel_invoice_qr(7, 1) == envelope(
        9002, "Failed to connect to database. Check credentials and network connectivity.")
    for name in ("PGHOST", "PGDATABASE"):
        monkeypatch.delenv(name)
    assert scb.cancel_invoice_qr(7, 1)["status"]["code"] == 9001
    with pytest.raises(ValueError, match="invoice_id"):
        scb.cancel_invoice_qr("seven", 1)
