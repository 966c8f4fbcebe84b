"""The bank's payment confirmations: records that are not such records, matching, verification with
the bank's inquiry, confirming an invoice's intent exactly once, and reconciling pending intents."""

from __future__ import annotations

import datetime
import itertools
import json
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import SHOP_BILLER as BILLER
from bank_helpers import (INVOICE_AMOUNT, UNUSABLE_ENVELOPES, Shop, envelope, for_no_invoice, notified,
                          of_another_amount, replayed, second_payment)
from cabi import lib, take_text


def record(**changes: Any) -> dict[str, Any]:
    """A confirmation record as the bank sends it, with changes; a None value removes the member."""
    base = {
        "eventCode": "00300100", "transactionType": "Domestic Transfers", "reverseFlag": "N",
        "payeeProxyId": BILLER, "payeeProxyType": "BILLERID", "payeeAccountNumber": "0987654321",
        "payeeName": "DEMO COMPANY", "payerProxyId": "0812345678", "payerProxyType": "MSISDN",
        "payerAccountNumber": "1234567890", "payerName": "CUSTOMER", "sendingBankCode": "014",
        "receivingBankCode": "014", "amount": "250.50", "transactionId": "2026120812000000001",
        "fastEasySlipNumber": "20261208120000", "transactionDateandTime": "2026-12-08T12:00:00.000+07:00",
        "billPaymentRef1": "INV1001", "billPaymentRef2": "INVOICE", "billPaymentRef3": "SCB",
        "currencyCode": "764", "channelCode": "PMH", "equivalentAmount": "250.50",
        "equivalentCurrencyCode": "764", "exchangeRate": "1", "partnerTransactionId": "",
    }
    base.update(changes)
    return {name: value for name, value in base.items() if value is not None}


def invalid(why: str) -> dict[str, Any]:
    return envelope(9004, f"Invalid payment confirmation record: {why}")


@pytest.mark.parametrize("text, why", [
    (b"not json", "not JSON"),
    (b"", "not JSON"),
    (b'{"payeeProxyId": "\xff"}', "not UTF-8"),
    (json.dumps(record()).encode() + b"\x00{}", "not JSON"),
    (b'"a record"', "not a JSON object"),
    (b"[]", "not a JSON object"),
    (json.dumps(record(payeeProxyId=None)).encode(), "payeeProxyId missing or not a text"),
    (json.dumps(record(billPaymentRef1=7)).encode(), "billPaymentRef1 missing or not a text"),
    (json.dumps(record(billPaymentRef2=None)).encode(), "billPaymentRef2 missing or not a text"),
    (json.dumps(record(transactionId=None)).encode(), "transactionId missing or not a text"),
    (json.dumps(record(transactionId="")).encode(), "transactionId empty"),
    (json.dumps(record(transactionDateandTime=None)).encode(), "transactionDateandTime missing or not a text"),
    (json.dumps(record(amount=None)).encode(), "amount missing or not a number of satang"),
    (json.dumps(record(amount="abc")).encode(), "amount missing or not a number of satang"),
    (json.dumps(record(amount="-5.00")).encode(), "amount missing or not a number of satang"),
    (json.dumps(record(amount="10.005")).encode(), "amount missing or not a number of satang"),
    (json.dumps(record(amount=True)).encode(), "amount missing or not a number of satang"),
    (json.dumps(record(transactionDateandTime="2026-12-08T12:00:00.000")).encode(),
     "transactionDateandTime is not an ISO 8601 time with an offset"),
    (json.dumps(record(transactionDateandTime="08/12/2026 12:00")).encode(),
     "transactionDateandTime is not an ISO 8601 time with an offset"),
])
def test_a_text_that_is_not_a_record_gets_9004_and_touches_nothing(erp, pg, text, why):
    config_id = erp.add_config()
    erp.add_bank_account(config_id, biller_id=BILLER)
    erp.add_intent(invoice_id=1001, scb_api_config_id=config_id, reference="INV1001", amount=250.5, status="pending")
    before = erp.intents()

    assert scb.confirm_payment(text) == invalid(why)

    assert erp.sandbox.requests == [] and erp.intents() == before
    assert pg.wait_for_client_connections(0) == 0


@pytest.mark.parametrize("given", ["dict", "str", "bytes"])
@pytest.mark.parametrize("changes, intent", [
    ({"billPaymentRef1": "INV9999"}, {}),
    ({"payeeProxyId": "999999999999999"}, {}),
    ({"payeeProxyId": "999999999999999"}, {"other_configuration": True}),
    ({"billPaymentRef2": "CUST42"}, {}),
    ({}, {"status": "expired"}),
    ({}, {"status": "cancelled"}),
    ({}, {"use_scb_qr": False}),
], ids=["other-reference", "other-biller", "other-configurations-biller", "not-an-invoice", "dead-intent",
        "cancelled-intent", "qr-disabled"])
def test_a_payment_for_no_live_intent_is_unmatched_and_logged(erp, pg, capfd, given, changes, intent):
    if intent.get("other_configuration"):
        erp.add_bank_account(erp.add_config(), biller_id="999999999999999")
    config_id = erp.add_config()
    erp.add_bank_account(config_id, biller_id=BILLER, use_scb_qr=intent.get("use_scb_qr", True))
    erp.add_intent(invoice_id=1001, scb_api_config_id=config_id, reference="INV1001", amount=250.5,
                   status=intent.get("status", "pending"))
    before = erp.intents()
    sent = record(**changes)
    form = {"dict": sent, "str": json.dumps(sent), "bytes": json.dumps(sent).encode()}[given]

    answer = scb.confirm_payment(form)

    assert answer == {"outcome": "unmatched", "intent_id": None, "invoice_id": None, "company_id": None,
                      "transaction_id": sent["transactionId"], "paid_amount": 250.5, "intent_amount": None}
    assert erp.sandbox.requests == [] and erp.intents() == before
    assert (f"ERROR: Payment for no known intent: transaction {sent['transactionId']}, "
            f"biller {sent['payeeProxyId']}, references {sent['billPaymentRef1']} / {sent['billPaymentRef2']}, "
            "amount 250.50") in capfd.readouterr().err


def check(outcome: str, shop: Shop, invoice_id: int, paid: dict[str, str] | None, **changes: Any) -> dict[str, Any]:
    row = shop.intent(invoice_id)
    return {"outcome": outcome, "intent_id": row["id"], "invoice_id": invoice_id, "company_id": 1,
            "transaction_id": paid and paid["transactionId"], "paid_amount": paid and float(paid["amount"]),
            "intent_amount": float(row["amount"]), **changes}


@pytest.mark.parametrize("given", ["dict", "str", "bytes"])
def test_a_paid_invoice_is_confirmed_once_after_the_bank_agrees(shop, pg, given):
    paid = shop.paid(1001)
    form = {"dict": paid, "str": json.dumps(paid), "bytes": json.dumps(paid).encode()}[given]

    answer = scb.confirm_payment(form)

    assert answer == check("confirmed", shop, 1001, paid)
    row = shop.intent(1001)
    assert (row["status"], row["transaction_id"]) == ("confirmed", paid["transactionId"])
    (inquiry,) = shop.sandbox.requests_to("inquiry")
    assert inquiry.query == (f"eventCode=00300100&billerId={BILLER}&reference1=INV1001&reference2=INVOICE"
                             f"&amount=250.50&transactionDate={paid['transactionDateandTime'][:10]}")
    assert pg.wait_for_client_connections(0) == 0


def test_a_replay_is_already_confirmed_and_a_second_payment_a_duplicate(shop, capfd):
    paid = shop.paid(1001)
    assert scb.confirm_payment(paid)["outcome"] == "confirmed"
    confirmed = shop.intent(1001)

    assert scb.confirm_payment(paid) == check("already_confirmed", shop, 1001, paid)
    second = shop.sandbox.pay(confirmed["qr_payload"])
    assert scb.confirm_payment(second) == check("duplicate_payment", shop, 1001, second)

    assert shop.intent(1001) == confirmed
    assert (f"ERROR: Second payment for a confirmed intent: transaction {second['transactionId']}, biller {BILLER}, "
            "references INV1001 / INVOICE, amount 250.50") in capfd.readouterr().err


@pytest.mark.parametrize("forgery", [
    {"transactionId": "FORGED0000000000001"},
    {"amount": "2505.00"},
    {"transactionDateandTime": "2026-01-01T12:00:00.000+07:00"},
], ids=["unknown-transaction", "other-amount", "other-day"])
def test_a_record_the_bank_does_not_confirm_changes_nothing(shop, forgery):
    paid = shop.paid(1001)
    before = shop.intent(1001)
    forged = {**paid, **forgery}

    answer = scb.confirm_payment(forged)

    assert answer == check("not_verified", shop, 1001, forged)
    assert shop.intent(1001) == before and before["status"] == "pending"


@pytest.mark.parametrize("intent_amount", ["300", "250.99", "250.51", "250.49", "2505"])
def test_a_verified_payment_of_another_amount_is_a_mismatch(shop, capfd, intent_amount):
    paid = shop.paid(1001)
    shop.erp.pg.execute("UPDATE scb_payment_intent SET amount = %s WHERE invoice_id = 1001", (intent_amount,))
    before = shop.intent(1001)

    assert scb.confirm_payment(paid) == check("amount_mismatch", shop, 1001, paid)

    assert shop.intent(1001) == before
    assert (f"ERROR: Payment amount differs from the intent's: transaction {paid['transactionId']}, "
            f"biller {BILLER}, references INV1001 / INVOICE, amount 250.50") in capfd.readouterr().err


def test_two_deliveries_at_once_confirm_once(shop, notifications):
    paid = shop.paid(1001)
    # Both deliveries wait at the bank until each has asked it, then race to confirm.
    arrived = threading.Barrier(2, timeout=10)
    shop.sandbox.on_request("inquiry", lambda request: arrived.wait(), times=2)
    with ThreadPoolExecutor(2) as pool:
        answers = list(pool.map(scb.confirm_payment, [paid, paid]))

    assert sorted(answer["outcome"] for answer in answers) == ["already_confirmed", "confirmed"]
    assert shop.intent(1001)["transaction_id"] == paid["transactionId"]
    (confirmed,) = [answer for answer in answers if answer["outcome"] == "confirmed"]
    assert notifications.heard() == [notified(confirmed, paid)]


@pytest.mark.parametrize("failure, expected", [
    ("database", envelope(9002, "Failed to connect to database. Check credentials and network connectivity.")),
    ("bank", envelope(9102, "Network error: Failed to connect to payment inquiry endpoint")),
    ("token", envelope(9301, "Failed to parse access token")),
    *UNUSABLE_ENVELOPES.items(),
])
def test_a_database_token_or_bank_failure_answers_its_envelope_and_changes_nothing(shop, notifications, monkeypatch,
                                                                                    failure, expected):
    paid = shop.paid(1001)
    before = shop.intent(1001)
    shop.cannot_check(failure, monkeypatch)

    assert scb.confirm_payment(paid) == expected

    assert shop.intent(1001) == before
    assert notifications.heard() == []


BANK_FAILURE = {"status": {"code": 9700, "description": "Generic server error"}, "data": None}
NO_SUCH_RECORD = {"status": {"code": 1104, "description": "Record not found"}, "data": None}


@pytest.mark.parametrize("status, answer, expected", [
    (500, BANK_FAILURE, BANK_FAILURE),
    (400, {"status": {"code": 9004, "description": "Invalid configuration"}},
     {"status": {"code": 9004, "description": "Invalid configuration"}}),
    (404, NO_SUCH_RECORD, "not_verified"),
    (200, NO_SUCH_RECORD, "not_verified"),
], ids=["bank-failure", "bank-9004", "no-such-record-404", "no-such-record-200"])
def test_the_banks_own_answer_is_its_failure_and_no_such_record_is_no_payment(shop, status, answer, expected):
    paid = shop.paid(1001)
    before = shop.intent(1001)
    shop.sandbox.script("inquiry", status=status, body=answer)

    checked = scb.confirm_payment(paid)

    assert checked == (check(expected, shop, 1001, paid) if expected == "not_verified" else expected)
    assert shop.intent(1001) == before


@pytest.mark.parametrize("listed_amount", ["25.05", "250.49", 250.51])
def test_the_records_transaction_at_another_amount_does_not_verify_it(shop, listed_amount):
    paid = shop.paid(1001)
    shop.sandbox.script("inquiry", body={"status": {"code": 1000, "description": "Success"}, "data": [
        {**paid, "amount": listed_amount}]})

    assert scb.confirm_payment(paid) == check("not_verified", shop, 1001, paid)
    assert shop.intent(1001)["status"] == "pending"


THAILAND = datetime.timezone(datetime.timedelta(hours=7))


def created_days_ago(shop: Shop, invoice_id: int, days: int) -> None:
    """Moves the intent's creation back, keeping the time of day, by whole days in Thailand's time."""
    shop.erp.pg.execute("UPDATE scb_payment_intent SET created_at = created_at - %s * interval '1 day'"
                        " WHERE invoice_id = %s", (days, invoice_id))


def outcomes(answer: dict[str, Any]) -> list[tuple[int, str]]:
    assert answer["status"]["code"] == 1000, answer
    return [(entry["invoice_id"], entry["outcome"]) for entry in answer["data"]]


def test_reconciling_confirms_the_paid_intents_once_and_leaves_the_rest_pending(shop):
    yesterday = datetime.datetime.now(THAILAND) - datetime.timedelta(days=1)
    paid = shop.paid(1)
    shop.invoice(2)
    partial = shop.paid(3)
    shop.erp.pg.execute("UPDATE scb_payment_intent SET amount = 300 WHERE invoice_id = 3")
    late = shop.paid(4, paid_at=yesterday)
    created_days_ago(shop, 4, 2)
    shop.paid(5)
    created_days_ago(shop, 5, 3)

    first = scb.reconcile_intents(shop.config_id, days=3)

    assert outcomes(first) == [(1, "confirmed"), (2, "not_verified"), (3, "amount_mismatch"), (4, "confirmed")]
    assert first["data"][0] == check("confirmed", shop, 1, paid)
    assert first["data"][2]["transaction_id"] == partial["transactionId"]
    assert first["data"][3]["transaction_id"] == late["transactionId"]
    assert [(row["invoice_id"], row["status"]) for row in shop.erp.intents()] == [
        (1, "confirmed"), (2, "pending"), (3, "pending"), (4, "confirmed"), (5, "pending")]
    # Intent 4 was asked for on each Thai date from its creation to today, without an amount.
    asked = [r.query for r in shop.sandbox.requests_to("inquiry") if "reference1=INV4&" in r.query]
    assert len(asked) == 2 and all("amount=" not in query for query in asked)

    again = scb.reconcile_intents(shop.config_id, days=3)

    assert outcomes(again) == [(2, "not_verified"), (3, "amount_mismatch")]
    assert shop.intent(1)["transaction_id"] == paid["transactionId"]


@pytest.mark.parametrize("days", [1, 3])
def test_the_window_opens_at_midnight_in_thailand_on_its_first_day(shop, days):
    first_day = datetime.datetime.now(THAILAND).date() - datetime.timedelta(days=days - 1)
    opens = datetime.datetime.combine(first_day, datetime.time()) - datetime.timedelta(hours=7)  # naive UTC
    for invoice_id, created_at in [(1, opens - datetime.timedelta(microseconds=1)), (2, opens),
                                   (3, opens + datetime.timedelta(hours=1))]:
        shop.erp.add_intent(invoice_id=invoice_id, scb_api_config_id=shop.config_id, reference=f"INV{invoice_id}",
                            amount=INVOICE_AMOUNT, status="pending", created_at=created_at)

    assert outcomes(scb.reconcile_intents(shop.config_id, days=days)) == [(2, "not_verified"), (3, "not_verified")]


def test_two_reconcilers_at_once_check_each_intent_once(shop, notifications):
    for invoice_id in range(1, 21):
        shop.paid(invoice_id)
    with ThreadPoolExecutor(2) as pool:
        answers = list(pool.map(lambda _: scb.reconcile_intents(shop.config_id), range(2)))

    checked = [entry for answer in answers for entry in answer["data"]]
    assert sorted(entry["invoice_id"] for entry in checked) == list(range(1, 21))
    assert {entry["outcome"] for entry in checked} == {"confirmed"}
    assert {row["status"] for row in shop.erp.intents()} == {"confirmed"}
    heard = notifications.heard()
    assert sorted((event["outcome"], event["invoice_id"]) for event in heard) == [
        ("confirmed", invoice_id) for invoice_id in range(1, 21)]


@pytest.mark.parametrize("failure, error", [
    ("dropped", envelope(9102, "Network error: Failed to connect to payment inquiry endpoint")),
    ("bank-failure", BANK_FAILURE),
    *UNUSABLE_ENVELOPES.items(),
])
def test_a_failed_check_is_that_intents_error_and_the_run_goes_on(shop, monkeypatch, failure, error):
    shop.paid(1)
    shop.paid(2)
    if failure == "dropped":
        shop.sandbox.fault("inquiry", drop=True, times=1)
    elif failure == "bank-failure":
        shop.sandbox.script("inquiry", status=500, body=BANK_FAILURE)
    else:
        shop.cannot_check(failure, monkeypatch)

    answer = scb.reconcile_intents(shop.config_id)

    assert outcomes(answer) == [(1, "error"), (2, "confirmed")]
    assert answer["data"][0]["error"] == error
    assert shop.intent(1)["status"] == "pending"


@pytest.mark.parametrize("cause, expected", [
    ("unknown configuration", envelope(9003, "SCB configuration not found or inactive")),
    ("database down", envelope(9002, "Failed to connect to database. Check credentials and network connectivity.")),
])
def test_a_run_that_cannot_start_answers_its_envelope(shop, monkeypatch, cause, expected):
    shop.paid(1)
    config_id = shop.config_id
    if cause == "unknown configuration":
        config_id += 100
    else:
        monkeypatch.setenv("PGPORT", "9")

    assert scb.reconcile_intents(config_id) == expected
    assert shop.intent(1)["status"] == "pending"


def inquiry_dates(shop: Shop, invoice_id: int) -> list[str]:
    return [request.query.rsplit("transactionDate=", 1)[1] for request in shop.sandbox.requests_to("inquiry")
            if f"reference1=INV{invoice_id}&" in request.query]


@pytest.mark.parametrize("days_ago", [0, 1, 2])
def test_reconciling_asks_each_thai_date_from_the_intents_creation_to_today(shop, days_ago):
    shop.invoice(1)
    created_days_ago(shop, 1, days_ago)
    today = datetime.datetime.now(THAILAND).date()

    assert outcomes(scb.reconcile_intents(shop.config_id, days=3)) == [(1, "not_verified")]

    assert inquiry_dates(shop, 1) == [str(today - datetime.timedelta(days=n)) for n in range(days_ago, -1, -1)]


def listing(*payments: tuple[str, str]) -> dict[str, Any]:
    return {"status": {"code": 1000, "description": "Success"},
            "data": [{"transactionId": transaction_id, "amount": amount} for transaction_id, amount in payments]}


def test_an_earlier_partial_payment_does_not_end_the_search(shop):
    shop.invoice(1)
    created_days_ago(shop, 1, 1)
    shop.sandbox.script("inquiry", body=listing(("PARTIAL0000000001", "100.00")))
    shop.sandbox.script("inquiry", body=listing(("OTHER000000000001", "20.00"), ("FULL00000000000001", "250.50")))

    answer = scb.reconcile_intents(shop.config_id)

    assert outcomes(answer) == [(1, "confirmed")]
    assert answer["data"][0]["transaction_id"] == "FULL00000000000001"
    assert shop.intent(1)["transaction_id"] == "FULL00000000000001"


def test_a_reconciliation_passes_over_an_intent_another_session_holds(shop):
    shop.paid(1)
    shop.paid(2)
    with shop.erp.pg.connect(autocommit=False) as holder, ThreadPoolExecutor(1) as pool:
        holder.execute("SELECT id FROM scb_payment_intent WHERE invoice_id = 1 FOR UPDATE")
        running = pool.submit(scb.reconcile_intents, shop.config_id)
        try:
            answer = running.result(timeout=15)
        finally:
            holder.rollback()

    assert outcomes(answer) == [(2, "confirmed")]
    assert shop.intent(1)["status"] == "pending"


def inquiry_starts(sandbox: Any) -> list[float]:
    return [request.received_at for request in sandbox.requests_to("inquiry")]


@pytest.mark.slow
def test_a_paced_reconciliation_meets_no_rate_limit_and_an_unpaced_one_leaves_refused_intents_to_the_next_run(erp):
    """The bank's sandbox takes 5 requests a second per API: 30 paid intents reconciled at most 5 inquiries a
    second, a retry after a rejected token counted too, are all confirmed; reconciled as fast as they come, the
    intents whose inquiry was refused for the rate are errors, and pending for the next run."""
    shop = Shop(erp)
    for invoice_id in range(1, 31):
        shop.paid(invoice_id)
    shop.sandbox.configure(rate_limit=5)
    inquiries = itertools.count(1)

    def revoke_at_the_tenth(request: Any) -> None:
        if next(inquiries) == 10:
            shop.sandbox.revoke_token(request.header("Authorization").split()[1])

    shop.sandbox.on_request("inquiry", revoke_at_the_tenth)

    paced = scb.reconcile_intents(shop.config_id, max_rate=5)

    assert outcomes(paced) == [(invoice_id, "confirmed") for invoice_id in range(1, 31)]
    starts = inquiry_starts(shop.sandbox)
    assert len(starts) == 31 and len(shop.sandbox.requests_to("token")) == 2
    # 31 starts at most 5 a second: 6 seconds from the first to the last, any 6 spanning a second, a little
    # less at the bank for the time a request takes to arrive.
    assert starts[-1] - starts[0] >= 6.0 - 0.1
    assert min(later - earlier for earlier, later in zip(starts, starts[5:])) >= 1.0 - 0.1
    assert min(later - earlier for earlier, later in zip(starts, starts[1:])) >= 0.2 - 0.1

    erp.pg.execute("UPDATE scb_payment_intent SET status = 'pending', transaction_id = NULL")
    unpaced = scb.reconcile_intents(shop.config_id)

    refused = [entry["invoice_id"] for entry in unpaced["data"] if entry["outcome"] == "error"]
    assert {entry["outcome"] for entry in unpaced["data"]} == {"confirmed", "error"}
    assert all(entry["error"] == envelope(9900, "Too many requests")
               for entry in unpaced["data"] if entry["outcome"] == "error")
    assert [row["invoice_id"] for row in erp.intents() if row["status"] == "pending"] == refused
    time.sleep(1.0)

    again = scb.reconcile_intents(shop.config_id)

    assert [entry["invoice_id"] for entry in again["data"]] == refused
    assert "confirmed" in {entry["outcome"] for entry in again["data"]}


@pytest.mark.parametrize("max_rate, spacing, environment", [
    (2, 0.5, "sandbox"), (2, 0.5, "production"), (0, 0.0, "sandbox"),
], ids=["paced-get", "paced-post", "unpaced"])
def test_the_c_interface_paces_a_reconciliation_or_not(erp, max_rate, spacing, environment):
    shop = Shop(erp)
    for invoice_id in (1, 2, 3):
        shop.paid(invoice_id)
    # A production configuration sends its inquiries as POST requests, the sandbox's as GET requests.
    erp.pg.execute("UPDATE scb_api_config SET environment = %s", (environment,))

    answer = json.loads(take_text(lib.scb_reconcile_intents_paced(shop.config_id, 3, max_rate)))

    assert outcomes(answer) == [(1, "confirmed"), (2, "confirmed"), (3, "confirmed")]
    starts = inquiry_starts(shop.sandbox)
    gaps = [later - earlier for earlier, later in zip(starts, starts[1:])]
    assert len(gaps) == 2 and (min(gaps) >= spacing - 0.1 if max_rate else max(gaps) < 0.4)


def test_a_negative_rate_is_refused_by_the_c_interface(erp):
    shop = Shop(erp)
    shop.paid(1)
    answer = json.loads(take_text(lib.scb_reconcile_intents_paced(shop.config_id, 3, -1)))
    assert answer == envelope(9004, "Invalid parameters: max_rate must not be negative")
    assert shop.sandbox.requests == [] and shop.intent(1)["status"] == "pending"


RECORDS = {
    "confirmed": lambda shop: shop.paid(1001),
    "duplicate_payment": second_payment,
    "amount_mismatch": of_another_amount,
    "unmatched": for_no_invoice,
    "already_confirmed": replayed,
    "not_verified": lambda shop: {**shop.paid(1001), "transactionId": "FORGED0000000000001"},
}
NOTIFIED = ("confirmed", "duplicate_payment", "amount_mismatch", "unmatched")


@pytest.mark.parametrize("outcome", RECORDS)
def test_a_check_notifies_once_the_outcomes_the_erp_acts_on_with_the_payment(shop, notifications, outcome):
    record = RECORDS[outcome](shop)
    notifications.heard(0.2)

    answer = scb.confirm_payment(record)

    assert answer["outcome"] == outcome
    assert notifications.heard() == ([notified(answer, record)] if outcome in NOTIFIED else [])


def test_reconciling_notifies_confirmations_and_mismatches_with_the_banks_records(shop, notifications):
    paid = shop.paid(1)
    shop.invoice(2)
    partial = shop.paid(3)
    shop.erp.pg.execute("UPDATE scb_payment_intent SET amount = 300 WHERE invoice_id = 3")

    first = scb.reconcile_intents(shop.config_id)

    assert outcomes(first) == [(1, "confirmed"), (2, "not_verified"), (3, "amount_mismatch")]
    assert notifications.heard() == [notified(first["data"][0], paid), notified(first["data"][2], partial)]
    # Still pending, the partial payment is found and told again; the confirmation is not.
    again = scb.reconcile_intents(shop.config_id)
    assert notifications.heard() == [notified(again["data"][1], partial)]


class Refusal:
    """Makes the confirming transaction fail at its "notification" (a pg_notify of the test's own, found first
    on the module's search path) or at its "commit" (a deferred trigger); undone by undo() or after the test."""

    def __init__(self, pg: Any, monkeypatch: pytest.MonkeyPatch) -> None:
        self.pg, self.monkeypatch, self.undoing = pg, monkeypatch, []

    def make(self, at: str) -> None:
        if at == "notification":
            self.pg.execute("CREATE FUNCTION public.pg_notify(text, text) RETURNS void LANGUAGE plpgsql"
                            " AS $$ BEGIN RAISE EXCEPTION 'notifications refused'; END $$")
            self.monkeypatch.setenv("PGOPTIONS", "-c search_path=public,pg_catalog")
            self.undoing.append("DROP FUNCTION public.pg_notify(text, text)")
        else:
            self.pg.execute("CREATE FUNCTION refuse_commit() RETURNS trigger LANGUAGE plpgsql"
                            " AS $$ BEGIN RAISE EXCEPTION 'commit refused'; END $$")
            self.pg.execute("CREATE CONSTRAINT TRIGGER refuse_commit AFTER UPDATE ON scb_payment_intent"
                            " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION refuse_commit()")
            self.undoing.append("DROP FUNCTION refuse_commit() CASCADE")

    def undo(self) -> None:
        self.monkeypatch.delenv("PGOPTIONS", raising=False)
        while self.undoing:
            self.pg.execute(self.undoing.pop())


@pytest.fixture
def refusal(pg, monkeypatch):
    made = Refusal(pg, monkeypatch)
    yield made
    made.undo()


@pytest.mark.parametrize("at, description", [
    ("notification", "Failed to send the payment notification"),
    ("commit", "Failed to commit the confirmation"),
])
@pytest.mark.parametrize("through", ["confirmation", "reconciliation"])
def test_a_confirmation_whose_transaction_fails_is_neither_kept_nor_heard(shop, notifications, refusal, at,
                                                                          description, through):
    paid = shop.paid(1001)
    before = shop.intent(1001)
    refusal.make(at)

    if through == "confirmation":
        assert scb.confirm_payment(paid) == envelope(9002, description)
    else:
        (checked,) = scb.reconcile_intents(shop.config_id)["data"]
        assert (checked["outcome"], checked["error"]) == ("error", envelope(9002, description))

    assert shop.intent(1001) == before and notifications.heard() == []
    refusal.undo()
    answer = scb.confirm_payment(paid)
    assert answer["outcome"] == "confirmed"
    assert notifications.heard() == [notified(answer, paid)]


def test_an_unmatched_payment_whose_notification_fails_is_asked_for_again(shop, notifications, refusal):
    record = {**shop.paid(1001), "billPaymentRef1": "INV9999"}
    refusal.make("notification")

    assert scb.confirm_payment(record) == envelope(9002, "Failed to send the payment notification")

    refusal.undo()
    assert scb.confirm_payment(record)["outcome"] == "unmatched"
    assert [event["outcome"] for event in notifications.heard()] == ["unmatched"]


@pytest.mark.parametrize("new_amount, late_outcome", [("300.00", "unmatched"), ("250.51", "unmatched"),
                                                      ("250.50", "confirmed")])
def test_a_late_payment_for_a_cancelled_qr_does_not_pay_the_invoices_new_qr(shop, notifications, new_amount,
                                                                             late_outcome):
    """The new QR keeps the invoice's reference; only a payment of the new QR's own amount settles it."""
    old = shop.invoice(1001)
    scb.cancel_invoice_qr(1001, 1)
    new = shop.invoice(1001, amount=new_amount)
    late = shop.sandbox.pay(old["qr_payload"])

    answer = scb.confirm_payment(late)

    assert answer == {"outcome": late_outcome, "intent_id": new["intent_id"], "invoice_id": 1001, "company_id": 1,
                      "transaction_id": late["transactionId"], "paid_amount": 250.5,
                      "intent_amount": float(new_amount)}
    assert [event["outcome"] for event in notifications.heard()] == [late_outcome]
    statuses = ["cancelled", "confirmed" if late_outcome == "confirmed" else "pending"]
    assert [row["status"] for row in shop.erp.intents()] == statuses
    if late_outcome == "unmatched":
        assert outcomes(scb.reconcile_intents(shop.config_id)) == [(1001, "unmatched")]
        assert [row["status"] for row in shop.erp.intents()] == statuses


def test_a_cancel_while_the_bank_is_asked_leaves_the_payment_unmatched(shop, notifications):
    paid = shop.paid(1001)
    intent_id = shop.intent(1001)["id"]
    cancels: list[dict[str, Any]] = []
    shop.sandbox.on_request("inquiry", lambda request: cancels.append(scb.cancel_invoice_qr(1001, 1)), times=1)

    answer = scb.confirm_payment(paid)

    assert cancels[0]["data"] == {"cancelled": [intent_id], "confirmed": []}
    assert answer == check("unmatched", shop, 1001, paid)
    assert (shop.intent(1001)["status"], shop.intent(1001)["transaction_id"]) == ("cancelled", "")
    assert notifications.heard() == [notified(answer, paid)]


def waiting_on_a_lock(pg: Any, statement_start: str, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pg.execute("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND query LIKE %s",
                      (statement_start + "%",))[0][0]:
            return True
        time.sleep(0.02)
    return False


def test_a_cancel_waits_for_the_reconciliation_holding_the_intent_and_finds_it_paid(shop, notifications):
    paid = shop.paid(1)
    intent_id = shop.intent(1)["id"]
    with ThreadPoolExecutor(1) as pool:
        cancels = []

        def cancel_while_claimed(request: Any) -> None:
            cancels.append(pool.submit(scb.cancel_invoice_qr, 1, 1))
            assert waiting_on_a_lock(shop.erp.pg, "WITH cancelled AS (UPDATE scb_payment_intent")

        shop.sandbox.on_request("inquiry", cancel_while_claimed, times=1)
        answer = scb.reconcile_intents(shop.config_id)
        cancelled = cancels[0].result(timeout=15)

    assert outcomes(answer) == [(1, "confirmed")]
    assert cancelled["data"] == {"cancelled": [], "confirmed": [intent_id]}
    assert (shop.intent(1)["status"], shop.intent(1)["transaction_id"]) == ("confirmed", paid["transactionId"])
    assert notifications.heard() == [notified(answer["data"][0], paid)]
