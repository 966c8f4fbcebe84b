"""Every operation through a real PgBouncer, in transaction and in session pooling, in front of
a server whose time zone is Asia/Bangkok: no startup option the pooler refuses, and sessions
kept in UTC so that token expiry holds."""

from __future__ import annotations

from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import Notifications, Shop, notified
from halvenor_scb_lib import _binding
from halvenor_scb_lib.devdb import ThrowawayPgBouncer

SUCCESS = 1000


def qr(bank_account: str, ref1: str) -> int:
    code: int = _binding.scb_api_create_qr_by_bank(bank_account, 25.0, ref1, "POOLED")["status"]["code"]
    return code


def invoice(config_id: int, bank_account: str) -> dict[str, Any]:
    answer: dict[str, Any] = _binding.create_qr_for_invoice(
        invoice_id=7001, company_id=1, config_id=config_id, reference="INV7001", amount=25.0,
        bank_account_id=bank_account,
    )
    return answer


def token_count(sandbox: Any) -> int:
    return len(sandbox.requests_to("token"))


@pytest.mark.parametrize("reuse", ["0", "1"], ids=["own-sessions", "kept-sessions"])
@pytest.mark.parametrize("pool_mode", ThrowawayPgBouncer.POOL_MODES)
def test_every_operation_works_through_the_pooler(bouncer_erp, scb_sandbox, monkeypatch, pool_mode, reuse):
    monkeypatch.setenv("SCB_REUSE_CONNECTIONS", reuse)
    erp = bouncer_erp(pool_mode)
    config_id = erp.add_config()
    bank_account = str(erp.add_bank_account(config_id))
    try:
        assert qr(bank_account, "FIRST") == SUCCESS
        token, seconds_left = erp.token_row(config_id)
        assert token == scb_sandbox.issued_tokens[-1] and 1790 < seconds_left <= 1800

        # Near its expiry by the UTC clock, however the server's zone reads it: renewed.
        erp.pg.execute("UPDATE scb_api_config SET token_expires_at = (now() AT TIME ZONE 'UTC')"
                       " + interval '100 seconds' WHERE id = %s", (config_id,))
        assert qr(bank_account, "EXPIRING") == SUCCESS
        assert token_count(scb_sandbox) == 2
        token, seconds_left = erp.token_row(config_id)
        assert token == scb_sandbox.issued_tokens[-1] and 1790 < seconds_left <= 1800

        scb_sandbox.revoke_token(token)
        assert qr(bank_account, "REJECTED") == SUCCESS
        assert token_count(scb_sandbox) == 3
        assert [r.json()["ref1"] for r in scb_sandbox.requests_to("qr")][-2:] == ["REJECTED", "REJECTED"]
        assert erp.token_row(config_id)[0] == scb_sandbox.issued_tokens[-1]

        first = invoice(config_id, bank_account)
        requests_before = len(scb_sandbox.requests)
        second = invoice(config_id, bank_account)
        assert "intent_id" in first and second["intent_id"] == first["intent_id"]
        assert second["status"] == "pending" and second["qr_payload"] == first["qr_payload"]
        assert len(scb_sandbox.requests) == requests_before

        inquiry = _binding.scb_api_payment_inquiry(str(config_id), transaction_ref="T1")
        assert inquiry["status"]["code"] == SUCCESS
        refreshed = _binding.scb_api_refresh_token(str(config_id))
        assert refreshed["status"]["code"] == SUCCESS
    finally:
        _binding.close_connections()
    assert "unsupported startup parameter" not in erp.pg.server_log()


@pytest.mark.parametrize("pool_mode", ThrowawayPgBouncer.POOL_MODES)
def test_a_confirmation_through_the_pooler_is_heard_by_a_direct_listener(bouncer_erp, pool_mode):
    shop = Shop(bouncer_erp(pool_mode))
    paid = shop.paid(1001)
    listener = Notifications(shop.erp.pg)
    try:
        answer = scb.confirm_payment(paid)
        cancel = scb.cancel_invoice_qr(1001, 1)
        heard = listener.heard()
    finally:
        listener.close()
    assert answer["outcome"] == "confirmed" and heard == [notified(answer, paid)]
    assert cancel["data"] == {"cancelled": [], "confirmed": [answer["intent_id"]]}
