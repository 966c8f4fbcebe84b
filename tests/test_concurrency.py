"""Calls from several Python threads at once: the interpreter stays free while the bank
and the database answer, every thread gets its own answer, and a paid intent is heard of once."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import ticking
from halvenor_scb_lib import _binding

THREADS = 8
LATENCY = 0.2
SUCCESS = 1000


def qr_account(erp: Any) -> str:
    return str(erp.add_bank_account(erp.add_config()))


def create_qr(bank_account: str, amount: float, ref1: str) -> dict[str, Any]:
    return _binding.scb_api_create_qr_by_bank(bank_account, amount, ref1, "CONC")


def in_threads(call: Callable[..., Any], argument_lists: Sequence[tuple[Any, ...]]) -> tuple[list[Any], float]:
    """Runs call(*arguments) for each list on its own thread, all released together.

    Returns the results in argument order and the wall time until the last one ended.
    """
    results: list[Any] = [None] * len(argument_lists)
    errors: list[BaseException] = []
    barrier = threading.Barrier(len(argument_lists) + 1)

    def run(index: int) -> None:
        barrier.wait()
        try:
            results[index] = call(*argument_lists[index])
        except BaseException as error:  # noqa: BLE001 - re-raised on the test's thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(argument_lists))]
    for thread in threads:
        thread.start()
    barrier.wait()
    started = time.perf_counter()
    for thread in threads:
        thread.join(timeout=60)
    elapsed = time.perf_counter() - started
    assert not any(thread.is_alive() for thread in threads), "a call never returned"
    if errors:
        raise errors[0]
    return results, elapsed


def codes(answers: list[dict[str, Any]]) -> list[int]:
    return [answer["status"]["code"] for answer in answers]


def test_other_threads_run_during_a_slow_bank_answer(erp, scb_sandbox):
    bank_account = qr_account(erp)
    scb_sandbox.fault("qr", latency=3 * LATENCY)
    with ticking() as ticks:
        started = time.monotonic()
        answer = create_qr(bank_account, 10.0, "SLOW")
        finished = time.monotonic()
    assert answer["status"]["code"] == SUCCESS
    assert finished - started >= 3 * LATENCY
    # Ticks from the middle of the call only: the edges can be reached before or after it.
    during = [t for t in ticks if started + LATENCY / 2 < t < finished - LATENCY / 2]
    assert len(during) >= 10, f"the ticker advanced {len(during)} times during a {finished - started:.2f} s call"


@pytest.mark.parametrize("primed", [True, False], ids=["token-cached", "cache-empty"])
def test_concurrent_qr_calls_get_their_own_answers(erp, scb_sandbox, primed):
    config_id = erp.add_config()
    bank_account = str(erp.add_bank_account(config_id))
    if primed:
        assert create_qr(bank_account, 1.0, "PRIME")["status"]["code"] == SUCCESS
    calls = [(bank_account, 100.25 + i, f"THREAD{i}") for i in range(THREADS)]

    answers, _ = in_threads(create_qr, calls)

    assert codes(answers) == [SUCCESS] * THREADS
    created = {qr["payload"]: qr for qr in scb_sandbox.qr_codes}
    for (_, amount, ref1), answer in zip(calls, answers):
        qr = created[answer["data"]["qrRawData"]]
        assert (qr["ref1"], qr["amount"]) == (ref1, f"{amount:.2f}")
    sent = [r for r in scb_sandbox.requests_to("qr") if r.json()["ref1"] != "PRIME"]
    assert sorted(r.json()["ref1"] for r in sent) == sorted(ref1 for _, _, ref1 in calls)
    assert len({r.header("requestUId") for r in sent}) == THREADS
    issued = scb_sandbox.issued_tokens
    if primed:
        assert len(scb_sandbox.requests_to("token")) == 1
        assert {r.header("Authorization") for r in sent} == {f"Bearer {issued[0]}"}
    else:
        # Threads that all find the cache empty each fetch a token; the row keeps one of them.
        assert 1 <= len(scb_sandbox.requests_to("token")) <= THREADS
        assert {r.header("Authorization") for r in sent} <= {f"Bearer {token}" for token in issued}
        assert erp.token_row(config_id)[0] in issued


def test_slow_concurrent_calls_overlap(erp, scb_sandbox):
    bank_account = qr_account(erp)
    assert create_qr(bank_account, 1.0, "PRIME")["status"]["code"] == SUCCESS
    calls = [(bank_account, 10.0 + i, f"OVERLAP{i}") for i in range(THREADS)]
    # Everything but the bank's wait: database, TLS and the sandbox's own work, one call after another.
    started = time.perf_counter()
    for call in calls:
        assert create_qr(*call)["status"]["code"] == SUCCESS
    unhurried = time.perf_counter() - started
    bound = 2 * LATENCY + unhurried
    assert bound < THREADS * LATENCY, f"the calls alone take {unhurried:.2f} s: too slow to tell overlap apart"

    scb_sandbox.fault("qr", latency=LATENCY)
    answers, elapsed = in_threads(create_qr, calls)

    assert codes(answers) == [SUCCESS] * THREADS
    assert elapsed < bound, f"{THREADS} calls with {LATENCY} s latency took {elapsed:.2f} s (bound {bound:.2f} s)"


def test_invoice_qr_and_inquiry_at_once(erp, scb_sandbox):
    config_id = erp.add_config()
    bank_account = str(erp.add_bank_account(config_id))
    half = THREADS // 2
    payloads = [create_qr(bank_account, 50.0 + i, f"PAID{i}")["data"]["qrRawData"] for i in range(half)]
    paid = [f"PTX{i}" for i in range(half)]
    paid_on = {ptx: scb_sandbox.pay(qr, partner_transaction_id=ptx)["transactionDateandTime"][:10]
               for qr, ptx in zip(payloads, paid)}

    def invoice(number: int) -> dict[str, Any]:
        return _binding.create_qr_for_invoice(
            invoice_id=number, company_id=1, config_id=config_id, reference=f"INV{number}", amount=number + 0.5,
            bank_account_id=bank_account,
        )

    def inquiry(partner_transaction_id: str) -> dict[str, Any]:
        return _binding.scb_api_payment_inquiry(
            str(config_id), transaction_ref=partner_transaction_id, transaction_date=paid_on[partner_transaction_id])

    numbers = [700 + i for i in range(half)]
    work = [(invoice, number) for number in numbers] + [(inquiry, ptx) for ptx in paid]
    answers, _ = in_threads(lambda function, argument: function(argument), work)

    invoices, inquiries = answers[:half], answers[half:]
    assert [(a["reference"], a["amount"]) for a in invoices] == [(f"INV{n}", n + 0.5) for n in numbers]
    rows = {row["invoice_id"]: row for row in erp.intents()}
    assert sorted(rows) == numbers
    for number, answer in zip(numbers, invoices):
        assert (rows[number]["id"], rows[number]["qr_payload"]) == (answer["intent_id"], answer["qr_payload"])
    assert codes(inquiries) == [SUCCESS] * half
    assert [[p["partnerTransactionId"] for p in a["data"]] for a in inquiries] == [[ptx] for ptx in paid]


PAID_INTENTS = 8
DELIVERIES = 3


def test_simultaneous_deliveries_and_two_reconcilers_are_heard_once_per_paid_intent(shop, notifications):
    records = [shop.paid(invoice_id) for invoice_id in range(1, PAID_INTENTS + 1)]
    shop.invoice(PAID_INTENTS + 1)
    work = [(scb.confirm_payment, record) for record in records for _ in range(DELIVERIES)]
    work += [(scb.reconcile_intents, shop.config_id)] * 2

    answers, _ = in_threads(lambda function, argument: function(argument), work)

    heard = notifications.heard(1.0)
    assert sorted((event["outcome"], event["invoice_id"]) for event in heard) == [
        ("confirmed", invoice_id) for invoice_id in range(1, PAID_INTENTS + 1)]
    checks = answers[:-2] + [check for run in answers[-2:] for check in run["data"]]
    confirmations = sorted(check["invoice_id"] for check in checks if check["outcome"] == "confirmed")
    assert confirmations == list(range(1, PAID_INTENTS + 1))
    assert {check["outcome"] for check in checks} <= {"confirmed", "already_confirmed", "not_verified"}
    assert [row["status"] for row in shop.erp.intents()] == ["confirmed"] * PAID_INTENTS + ["pending"]


def cancel_after(invoice_id: int, delay: float) -> dict[str, Any]:
    time.sleep(delay)
    return dict(scb.cancel_invoice_qr(invoice_id, 1))


def test_confirmations_and_cancels_at_once_leave_each_intent_confirmed_or_cancelled(shop, notifications):
    records = [shop.paid(invoice_id) for invoice_id in range(1, PAID_INTENTS + 1)]
    work = [(scb.confirm_payment, (record,)) for record in records]
    # Cancels spread over a confirmation's length, so that some land before it, some during and some after.
    work += [(cancel_after, (invoice_id, 0.03 * invoice_id)) for invoice_id in range(1, PAID_INTENTS + 1)]

    answers, _ = in_threads(lambda function, arguments: function(*arguments), work)

    heard = {event["transaction_id"]: event["outcome"] for event in notifications.heard(1.0)}
    for record, check, cancel, row in zip(records, answers, answers[PAID_INTENTS:], shop.erp.intents()):
        if row["status"] == "confirmed":
            assert (check["outcome"], cancel["data"]) == ("confirmed", {"cancelled": [], "confirmed": [row["id"]]})
            assert row["transaction_id"] == record["transactionId"]
        else:
            assert (row["status"], check["outcome"]) == ("cancelled", "unmatched")
            assert cancel["data"] == {"cancelled": [row["id"]], "confirmed": []}
        assert heard[record["transactionId"]] == check["outcome"]
    assert len(heard) == PAID_INTENTS
