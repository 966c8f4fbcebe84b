"""Payment intent rows through the C interface, on a connection the caller opened."""

from __future__ import annotations

import json
import re
from decimal import Decimal

import pytest

from cabi import lib, take_text

LINE = re.compile(r"\[CORVANE\] \[[^]]+\] (INFO|ERROR|DEBUG): (.*)")


def log_lines(capfd: pytest.CaptureFixture[str]) -> list[tuple[str, str]]:
    lines = capfd.readouterr().err.splitlines()
    parsed = [LINE.fullmatch(line) for line in lines]
    assert all(parsed), lines
    return [(m.group(1), m.group(2)) for m in parsed if m]


def lookup(conn: int | None, invoice_id: int, company_id: int = 1) -> str | None:
    return take_text(lib.scb_intent_get_by_invoice(conn, invoice_id, company_id))


def upsert(conn: int | None, amount: float = 10.1, invoice_id: int = 7, company_id: int = 1,
           qr_payload: bytes | None = b"PAYLOAD", transaction_id: bytes | None = b"TX1",
           reference: bytes = b"INV0007") -> int:
    return lib.scb_intent_upsert(conn, invoice_id, company_id, 3, reference, b"invoice", qr_payload, b"IMG==",
                                 amount, transaction_id)


@pytest.fixture
def conn(pg, capfd):
    handle = lib.scb_db_connect(None)
    assert handle, "no connection to the test database"
    capfd.readouterr()
    yield handle
    lib.scb_db_close(handle)


@pytest.mark.parametrize("statuses, winner", [
    (["pending", "expired"], 1),
    (["expired", "pending"], 2),
    (["pending", "pending"], 2),
    (["confirmed", "pending", "cancelled", "failed", None], 2),
    (["expired", "cancelled", "failed", None], None),
])
def test_lookup_returns_newest_live_intent_of_invoice_and_company(erp_db, conn, capfd, statuses, winner):
    for number, status in enumerate(statuses, start=1):
        erp_db.add_intent(invoice_id=7, reference=f"R{number}", status=status, amount=1)
    # Newer live rows of another invoice or company must not win.
    erp_db.add_intent(invoice_id=8, reference="OTHER", status="pending")
    erp_db.add_intent(invoice_id=7, company_id=2, reference="OTHER", status="pending")
    document = lookup(conn, 7)
    if winner is None:
        assert document is None
        assert log_lines(capfd) == []
        return
    assert json.loads(document)["intent_id"] == winner
    assert log_lines(capfd) == [
        ("INFO", f"Found existing intent: id={winner}, ref=R{winner}, status={statuses[winner - 1]}")]


@pytest.mark.parametrize("columns, members", [
    ({"transaction_id": "TX9", "amount": Decimal("100.00")}, '"transaction_id":"TX9","amount":100'),
    ({"transaction_id": "", "amount": Decimal("10.50")}, '"amount":10.5'),
    ({"transaction_id": None, "amount": Decimal("0.10")}, '"amount":0.1'),
    ({"reference": None, "qr_payload": None, "qr_image_base64": None, "channel": None},
     '"amount":0'),
])
def test_intent_document_is_compact_in_fixed_member_order(erp_db, conn, columns, members):
    row = {"reference": "INV/1", "qr_payload": "P1", "qr_image_base64": "I1", "channel": "invoice",
           "status": "pending", **columns}
    intent_id = erp_db.add_intent(invoice_id=7, **row)
    texts = {key: row[key] or "" for key in ("reference", "qr_payload", "qr_image_base64", "channel")}
    assert lookup(conn, 7) == (
        f'{{"intent_id":{intent_id},"reference":"{texts["reference"]}","qr_payload":"{texts["qr_payload"]}",'
        f'"qr_image_base64":"{texts["qr_image_base64"]}",{members},"status":"pending",'
        f'"channel":"{texts["channel"]}"}}')


@pytest.mark.parametrize("amount, stored, qr_payload, transaction_id", [
    (10.1, "10.10", b"PAYLOAD", None),
    (1234567.89, "1234567.89", None, b"TX1"),
    # The widest amount whose two-decimal text still fits 31 characters.
    (1e27, "1000000000000000013287555072.00", b"PAYLOAD", b"TX1"),
])
def test_write_inserts_pending_intent(erp_db, conn, capfd, amount, stored, qr_payload, transaction_id):
    erp_db.add_intent(invoice_id=7, company_id=2, status="expired")
    intent_id = upsert(conn, amount, qr_payload=qr_payload, transaction_id=transaction_id)
    assert intent_id == 2
    assert log_lines(capfd) == [("INFO", "Intent created: id=2, ref=INV0007")]
    (row,) = erp_db.intents(7)[1:]
    assert str(row["amount"]) == stored
    assert (row["status"], row["channel"], row["reference"], row["scb_api_config_id"]) == (
        "pending", "invoice", "INV0007", 3)
    assert row["qr_payload"] == (qr_payload and qr_payload.decode())
    # A missing transaction id is stored as empty text, which the lookup leaves out.
    assert row["transaction_id"] == (transaction_id or b"").decode()
    assert ("transaction_id" in json.loads(lookup(conn, 7))) == (transaction_id is not None)


@pytest.mark.parametrize("status", ["expired", "pending"])
def test_write_overwrites_the_invoices_row_in_place(erp_db, conn, capfd, status):
    old = erp_db.add_intent(invoice_id=7, status=status, reference="OLD", channel="pos", scb_api_config_id=9,
                            qr_payload="OLDQR", transaction_id="OLDTX", amount=Decimal("5.00"))
    assert upsert(conn, 12.5, reference=b"NEW", transaction_id=None) == old
    assert log_lines(capfd) == [("INFO", "Intent updated in database")]
    (row,) = erp_db.intents()
    assert (row["qr_payload"], row["qr_image_base64"], row["transaction_id"], row["amount"]) == (
        "PAYLOAD", "IMG==", "", Decimal("12.50"))
    assert (row["status"], row["reference"], row["channel"], row["scb_api_config_id"]) == (status, "OLD", "pos", 9)
    # A dead row stays dead: it is overwritten but never handed out again.
    assert (lookup(conn, 7) is None) == (status == "expired")


@pytest.mark.parametrize("amount", [-1e27, 1e29, float("nan"), float("inf"), float("-inf")])
@pytest.mark.parametrize("existing", [False, True])
def test_write_refuses_an_amount_it_cannot_store(erp_db, conn, capfd, amount, existing):
    if existing:
        erp_db.add_intent(invoice_id=7, status="pending", qr_payload="OLDQR", amount=Decimal("5.00"))
    before = erp_db.intents()
    assert upsert(conn, amount) == -1
    assert erp_db.intents() == before
    assert [level for level, _ in log_lines(capfd)] == ["ERROR"]


def test_confirm_marks_intent_and_accepts_unknown_id(erp_db, conn, capfd):
    intent_id = erp_db.add_intent(invoice_id=7, status="pending")
    assert lib.scb_intent_confirm(conn, intent_id) == 0
    assert lib.scb_intent_confirm(conn, 999) == 0
    assert log_lines(capfd) == [("INFO", f"Intent confirmed: id={intent_id}"), ("INFO", "Intent confirmed: id=999")]
    (row,) = erp_db.intents()
    assert row["status"] == "confirmed" and row["write_date"] is not None
    assert json.loads(lookup(conn, 7))["status"] == "confirmed"


@pytest.mark.parametrize("call, failed", [
    (lambda: lookup(None, 7), None),
    (lambda: upsert(None), -1),
    (lambda: lib.scb_intent_confirm(None, 1), -1),
])
def test_null_handle_writes_one_error_line_and_touches_nothing(erp_db, capfd, call, failed):
    erp_db.add_intent(invoice_id=7, status="pending", qr_payload="OLDQR")
    before = erp_db.intents()
    capfd.readouterr()
    assert call() == failed
    assert log_lines(capfd) == [("ERROR", "Database connection is NULL")]
    assert erp_db.intents() == before


@pytest.mark.parametrize("call, failed, message", [
    (lambda conn: lookup(conn, 7), None, "Intent query failed: "),
    (lambda conn: upsert(conn), -1, "Intent insert failed: "),
    (lambda conn: lib.scb_intent_confirm(conn, 1), -1, "Intent confirm failed: "),
])
def test_failed_statement_is_reported(pg, conn, capfd, call, failed, message):
    pg.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
               " WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()")
    assert call(conn) == failed
    errors = [text for level, text in log_lines(capfd) if level == "ERROR"]
    assert len(errors) == 1 and errors[0].startswith(message) and len(errors[0]) > len(message)
