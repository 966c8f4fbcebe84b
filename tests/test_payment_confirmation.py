"""The bank's payment confirmations: records that are not such records, matching, verification with
the bank's inquiry, confirming an invoice's intent exactly once, and reconciling pending intents."""

from __future__ import annotations

import json
from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import envelope

BILLER = "010556012345678"


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
    ({"billPaymentRef2": "CUST42"}, {}),
    ({}, {"status": "expired"}),
    ({}, {"use_scb_qr": False}),
], ids=["other-reference", "other-biller", "not-an-invoice", "dead-intent", "qr-disabled"])
def test_a_payment_for_no_live_intent_is_unmatched_and_logged(erp, pg, capfd, given, changes, intent):
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
